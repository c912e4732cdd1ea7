#include "ui/WispRemotePage.h"

WispRemotePage::WispRemotePage(QWidget* parent) : WispPropertyPage(parent) {
    setObjectName("WispRemotePage");
}

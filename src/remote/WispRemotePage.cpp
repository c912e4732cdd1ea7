#include "remote/WispRemotePage.h"

WispRemotePage::WispRemotePage(QWidget* parent) : WispPropertyPage(parent) {
    setObjectName("WispRemotePage");
}

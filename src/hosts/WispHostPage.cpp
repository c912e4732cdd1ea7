#include "hosts/WispHostPage.h"

WispHostPage::WispHostPage(QWidget* parent) : WispPropertyPage(parent) {
    setObjectName("WispHostPage");
}

#pragma once
// One page of the main window's tabs. A page's member values follow its controls when the user leaves
// the page and are pushed back into the controls when it is shown again; the sheet calls these two
// hooks on every change of tab.
#include <QWidget>

class WispPropertyPage : public QWidget {
    Q_OBJECT
  public:
    explicit WispPropertyPage(QWidget* parent = nullptr) : QWidget(parent) {}

    // The page's tab was chosen: push the members into the controls.
    virtual void PageActivated() {}
    // Another tab was chosen (or the program is closing): read the controls into the members.
    virtual void PageDeactivated() {}
};

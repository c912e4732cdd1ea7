#pragma once
// The About tab: the program's name, maker, version and terms, and the maker's web page and e-mail
// address in read-only boxes the user can select and copy from.
#include <QString>

#include "ui/WispPropertyPage.h"

class QLineEdit;

class WispAboutPage : public WispPropertyPage {
    Q_OBJECT
  public:
    static constexpr const char* kMaker = "Tarn";
    static constexpr const char* kVersion = "1.0";
    static constexpr const char* kWebPage = "https://wisp.example";
    static constexpr const char* kEMail = "wisp@example.org";

    explicit WispAboutPage(QWidget* parent = nullptr);

    // The boxes are filled the first time the user opens the tab.
    void PageActivated() override;

  private:
    QLineEdit* webPageBox_ = nullptr;
    QLineEdit* emailBox_ = nullptr;
    QString webPage_;
    QString email_;
};

#pragma once
// The Options tab: the e-mail address given as the anonymous password, the passive-mode, upload-time and
// keep-alive switches, the reload of the built-in FTP sites and the confirmed removal of everything the
// program stores.
#include <QString>
#include <functional>
#include <string>

#include "ui/WispPropertyPage.h"

class QCheckBox;
class QLineEdit;

class WispOptionsPage : public WispPropertyPage {
    Q_OBJECT
  public:
    explicit WispOptionsPage(QWidget* parent = nullptr);

    // At start-up: sets the members and shows them in the controls.
    void SetValues(const std::string& email, bool passive, bool keepUploadTimes = true,
                   bool keepAlive = true);
    std::string Email() const;
    bool Passive() const { return passive_; }
    bool KeepUploadTimes() const { return keepUploadTimes_; }
    bool KeepAlive() const { return keepAlive_; }

    // What "&Reload Default FTP Sites" does; nothing until the saved-site store is wired in.
    void SetReloadDefaults(std::function<void()> reload) { reloadDefaults_ = std::move(reload); }
    // What happens once the user has confirmed the removal (the sheet sets its flag and closes).
    void SetRemoveConfirmed(std::function<void()> remove) { removeConfirmed_ = std::move(remove); }

    void PageActivated() override;
    void PageDeactivated() override;

  private:
    void ConfirmRemoval();

    QLineEdit* emailBox_ = nullptr;
    QCheckBox* passiveBox_ = nullptr;
    QCheckBox* keepTimesBox_ = nullptr;
    QCheckBox* keepAliveBox_ = nullptr;
    QString email_;
    bool passive_ = false;
    bool keepUploadTimes_ = true;
    bool keepAlive_ = true;
    std::function<void()> reloadDefaults_;
    std::function<void()> removeConfirmed_;
};

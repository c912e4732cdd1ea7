#pragma once
// The Host page's operations as the session worker and the ping thread call them: each call runs on the
// user-interface thread through the main window's bridge while the calling thread waits. One object per
// page, kept until the process ends, so a thread that outlives the window never calls freed storage; once
// the bridge is fenced at close, calls return at once without touching the page.
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "views/HostView.h"

class UiBridge;
class WispHostPage;

class HostPageView final : public HostView {
  public:
    // UI thread. The page must stay alive until `bridge` is fenced.
    static HostPageView& Create(std::shared_ptr<UiBridge> bridge, WispHostPage* page);

    void ShowConnected(std::string_view connectionText) override;
    void ResetAfterSession() override;
    void PingFinished() override;
    void ShowFailure(SessionFailure what, std::string_view reason) override;
    void AskCertificateTrust(const CertificateQuestion& question,
                             std::function<void(CertificateTrust)> answer) override;
    void AskHostKey(const SshHostKey& key, std::function<void(HostKeyAnswer)> answer) override;
    void AskPassphrase(const std::string& keyPath,
                       std::function<void(std::optional<std::string>)> answer) override;

    HostPageView(std::shared_ptr<UiBridge> bridge, WispHostPage* page);

  private:
    // Runs `work` with the page on the UI thread and waits; nothing runs once the bridge is fenced
    // (false).
    template <typename Work>
    bool OnPage(const Work& work);

    const std::shared_ptr<UiBridge> bridge_;
    WispHostPage* const page_;
};

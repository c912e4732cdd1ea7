#include "ui/HostPageView.h"

#include <deque>
#include <mutex>
#include <string>
#include <utility>

#include "ui/UiBridge.h"
#include "ui/WispHostPage.h"

HostPageView& HostPageView::Create(std::shared_ptr<UiBridge> bridge, WispHostPage* page) {
    // Never freed: a worker that is still ending when its window has gone may call its view late. A
    // program has one page; a test program one per window it opens.
    static std::mutex mutex;
    static std::deque<HostPageView> views;
    std::lock_guard lock(mutex);
    return views.emplace_back(std::move(bridge), page);
}

HostPageView::HostPageView(std::shared_ptr<UiBridge> bridge, WispHostPage* page)
    : bridge_(std::move(bridge)), page_(page) {}

template <typename Work>
bool HostPageView::OnPage(const Work& work) {
    return bridge_->RunAndWait([this, &work] { work(*page_); });
}

void HostPageView::ShowConnected(std::string_view connectionText) {
    OnPage([connectionText](WispHostPage& page) { page.ShowConnected(connectionText); });
}

void HostPageView::ResetAfterSession() {
    OnPage([](WispHostPage& page) { page.ResetAfterSession(); });
}

void HostPageView::AskCertificateTrust(const CertificateQuestion& question,
                                       std::function<void(CertificateTrust)> answer) {
    // Waits only until the dialog is open; the user's answer comes later, from the dialog.
    const bool asked = OnPage(
        [&question, &answer](WispHostPage& page) { page.AskCertificateTrust(question, std::move(answer)); });
    if (!asked) {
        // The window is closing: no one is left to answer.
        answer(CertificateTrust::Cancel);
    }
}

void HostPageView::AskHostKey(const SshHostKey& key, std::function<void(HostKeyAnswer)> answer) {
    // As the certificate question: waits only until the dialog is open.
    const bool asked =
        OnPage([&key, &answer](WispHostPage& page) { page.AskHostKey(key, std::move(answer)); });
    if (!asked) {
        answer(HostKeyAnswer::Cancel);
    }
}

void HostPageView::AskPassphrase(const std::string& keyPath,
                                 std::function<void(std::optional<std::string>)> answer) {
    const bool asked =
        OnPage([&keyPath, &answer](WispHostPage& page) { page.AskPassphrase(keyPath, std::move(answer)); });
    if (!asked) {
        answer(std::nullopt);
    }
}

void HostPageView::PingFinished() {
    OnPage([](WispHostPage& page) { page.PingFinished(); });
}

void HostPageView::ShowFailure(SessionFailure what, std::string_view reason) {
    OnPage([what, reason](WispHostPage& page) { page.ShowFailure(what, reason); });
}

#pragma once
// Every view a session reports to, doing nothing: for programs that drive the engine without a user
// interface (benchmarks, fuzz targets). Override only what a program wants to see.
#include <cstdint>
#include <optional>
#include <string_view>

#include "views/SessionViews.h"
#include "listing/RemoteEntry.h"

class NullViews : public StatusView, public LogView, public HostView, public RemoteView, public TransferView {
  public:
    void SetStatus(std::optional<std::string_view>) override {}
    void SetProgress(int) override {}
    void LogTraffic(std::string_view) override {}
    void LogMessage(std::string_view) override {}
    void ShowConnected(std::string_view) override {}
    void ResetAfterSession() override {}
    void PingFinished() override {}
    // No one to ask: an unverified certificate is refused.
    void AskCertificateTrust(const CertificateQuestion&, std::function<void(CertificateTrust)> answer) override {
        answer(CertificateTrust::Cancel);
    }
    void ResetForSession(std::shared_ptr<FtpSessionHandle>) override {}
    bool EnterDirectory(std::string_view) override { return false; }
    void AddListingLine(std::string_view) override {}
    void FinishListing(bool) override {}
    RemoteEntry EntryAt(int) override { return RemoteEntry(); }
    void RemoveEntry(int) override {}
    void UploadedFile(std::string_view, std::int64_t, std::int32_t) override {}
    void TransferStarted(std::uint64_t, std::int64_t, std::int64_t) override {}
    void TransferProgress(std::uint64_t, std::int64_t) override {}
    void TransferRetrying(std::uint64_t, int, int, std::string_view) override {}
    void TransferEnded(std::uint64_t, TransferEnd, std::string_view) override {}

    SessionViews Views() { return SessionViews{*this, *this, *this, *this, *this}; }
};

#pragma once
// Test doubles of the four session views that record every call in order (from any thread), let a test
// wait for a call, preload the Remote page's entries and cached directories, and run a hook inside a call.
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "listing/RemoteEntry.h"
#include "views/SessionViews.h"

struct RecordedCall {
    // The operation's name: "SetStatus", "ClearStatus" (SetStatus with none), "SetProgress", "LogTraffic",
    // "LogMessage", "ShowConnected", "HostResetAfterSession", "PingFinished", "ResetForSession",
    // "RemoteResetAfterSession", "EnterDirectory", "AddListingLine", "FinishListing", "EntryAt",
    // "RemoveEntry", "UploadedFile", "AskCertificateTrust".
    std::string op;
    // Its argument as text: the line or status, the number in decimal, "1"/"0" for FinishListing,
    // "name size time" for UploadedFile, "host:port problem" for AskCertificateTrust (with " (changed)"
    // when a stored fingerprint no longer matched), empty when there is none.
    std::string text;
    bool operator==(const RecordedCall&) const = default;
};

class RecordingViews {
  public:
    using Ms = std::chrono::milliseconds;

    RecordingViews();
    RecordingViews(const RecordingViews&) = delete;
    RecordingViews& operator=(const RecordingViews&) = delete;

    SessionViews Views();

    std::vector<RecordedCall> Calls() const;
    // The texts of the calls of one operation, in order.
    std::vector<std::string> Texts(std::string_view op) const;
    std::vector<std::string> Traffic() const { return Texts("LogTraffic"); }
    std::vector<std::string> Messages() const { return Texts("LogMessage"); }
    int Count(std::string_view op) const;
    // Both log channels merged in call order, traffic lines as they are, messages as they are.
    std::vector<std::string> LogLines() const;

    // True once a call of `op` (with exactly `text`, when given) has been recorded.
    bool WaitFor(std::string_view op, std::string_view text = {}, Ms timeout = Ms(5000)) const;
    bool WaitForCount(std::string_view op, int n, Ms timeout = Ms(5000)) const;

    // Entries EntryAt answers with (a blank entry outside the list); RemoveEntry blanks a slot.
    void SetEntries(std::vector<RemoteEntry> entries);
    RemoteEntry Entry(int index) const;
    // Directories EnterDirectory answers true for (a cached listing is shown).
    void SetCachedDirectories(std::set<std::string> directories);
    // The handle given to ResetForSession; null before it and after RemoteResetAfterSession.
    std::shared_ptr<FtpSessionHandle> Session() const;
    // Runs after every recorded call, on the calling thread, outside the recorder's lock.
    void SetHook(std::function<void(const RecordedCall&)> hook);
    // How AskCertificateTrust answers (at once, on the worker): Cancel unless set.
    void SetCertificateAnswer(CertificateTrust answer);
    // The questions asked so far.
    std::vector<CertificateQuestion> CertificateQuestions() const;
    // The failures the pages were told of, in order, apart from Calls() so that sequences stay as they
    // were: "Connect: reason", "Login: reason", "Lost: reason" (Host page) and "Remote: reason".
    std::vector<std::string> Failures() const;
    // What the transfer view was told, in order, apart from Calls(): "started ROW OFFSET SIZE",
    // "progress ROW BYTES", "retrying ROW ATTEMPT DELAY reason", "done ROW", "failed ROW reason",
    // "skipped ROW reason", "stopped ROW reason".
    std::vector<std::string> TransferEvents() const;
    // The plan the last DeletePlanReady posted, or null.
    std::shared_ptr<DeletePlan> LastDeletePlan() const;
    // The plan the last TransferPlanReady posted, or null.
    std::shared_ptr<TransferPlan> LastTransferPlan() const;
    // True once TransferEvents() holds a line that starts with `prefix`.
    bool WaitForTransferEvent(std::string_view prefix, Ms timeout = Ms(5000)) const;

  private:
    class Status;
    class Log;
    class Host;
    class Remote;
    class Transfers;
    friend class Status;
    friend class Log;
    friend class Host;
    friend class Remote;
    friend class Transfers;

    void Record(std::string op, std::string text);
    bool WaitUntil(Ms timeout, const std::function<bool()>& done) const;

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<RecordedCall> calls_;
    std::vector<RemoteEntry> entries_;
    std::set<std::string> cached_;
    std::shared_ptr<FtpSessionHandle> session_;
    std::function<void(const RecordedCall&)> hook_;
    CertificateTrust certificateAnswer_ = CertificateTrust::Cancel;
    std::vector<CertificateQuestion> questions_;
    std::vector<std::string> failures_;
    void RecordFailure(std::string text);
    std::vector<std::string> transferEvents_;
    std::shared_ptr<DeletePlan> deletePlan_;
    std::shared_ptr<TransferPlan> transferPlan_;
    void RecordTransferEvent(std::string text);

    class Status : public StatusView {
      public:
        explicit Status(RecordingViews& owner) : owner_(owner) {}
        void SetStatus(std::optional<std::string_view> text) override;
        void SetProgress(int percent) override;

      private:
        RecordingViews& owner_;
    };
    class Log : public LogView {
      public:
        explicit Log(RecordingViews& owner) : owner_(owner) {}
        void LogTraffic(std::string_view line) override;
        void LogMessage(std::string_view line) override;

      private:
        RecordingViews& owner_;
    };
    class Host : public HostView {
      public:
        explicit Host(RecordingViews& owner) : owner_(owner) {}
        void ShowConnected(std::string_view connectionText) override;
        void ResetAfterSession() override;
        void PingFinished() override;
        void ShowFailure(SessionFailure what, std::string_view reason) override;
        void AskCertificateTrust(const CertificateQuestion& question,
                                 std::function<void(CertificateTrust)> answer) override;

      private:
        RecordingViews& owner_;
    };
    class Remote : public RemoteView {
      public:
        explicit Remote(RecordingViews& owner) : owner_(owner) {}
        void ResetForSession(std::shared_ptr<FtpSessionHandle> session) override;
        void ResetAfterSession() override;
        bool EnterDirectory(std::string_view directory) override;
        void AddListingLine(std::string_view line) override;
        void FinishListing(bool complete) override;
        RemoteEntry EntryAt(int index) override;
        void RemoveEntry(int index) override;
        void UploadedFile(std::string_view name, std::int64_t size, std::int32_t modifiedTime) override;
        void ShowFailure(std::string_view reason) override;
        void FolderMade(std::string_view name) override;
        void EntryRenamed(int index, std::string_view oldName, std::string_view newName) override;
        void DeletePlanReady(std::shared_ptr<DeletePlan> plan) override;
        void TransferPlanReady(std::shared_ptr<TransferPlan> plan) override;

      private:
        RecordingViews& owner_;
    };

    class Transfers : public TransferView {
      public:
        explicit Transfers(RecordingViews& owner) : owner_(owner) {}
        void TransferStarted(std::uint64_t row, std::int64_t offset, std::int64_t size) override;
        void TransferProgress(std::uint64_t row, std::int64_t bytes) override;
        void TransferRetrying(std::uint64_t row, int attempt, int delaySeconds,
                              std::string_view reason) override;
        void TransferEnded(std::uint64_t row, TransferEnd end, std::string_view reason) override;

      private:
        RecordingViews& owner_;
    };

    Status status_{*this};
    Log log_{*this};
    Host host_{*this};
    Remote remote_{*this};
    Transfers transfers_{*this};
};

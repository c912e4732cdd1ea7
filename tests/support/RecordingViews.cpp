#include "support/RecordingViews.h"

#include <algorithm>

#include "engine/DeletePlan.h"
#include "engine/TransferPlan.h"

RecordingViews::RecordingViews() = default;

SessionViews RecordingViews::Views() {
    return SessionViews{status_, log_, host_, remote_, transfers_};
}

void RecordingViews::Record(std::string op, std::string text) {
    RecordedCall call{std::move(op), std::move(text)};
    std::function<void(const RecordedCall&)> hook;
    {
        // Notified under the lock: a test that saw this call may destroy the recorder at once.
        std::lock_guard lock(mutex_);
        calls_.push_back(call);
        hook = hook_;
        changed_.notify_all();
    }
    if (hook) {
        hook(call);
    }
}

std::vector<RecordedCall> RecordingViews::Calls() const {
    std::lock_guard lock(mutex_);
    return calls_;
}

std::vector<std::string> RecordingViews::Texts(std::string_view op) const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> texts;
    for (const auto& call : calls_) {
        if (call.op == op) {
            texts.push_back(call.text);
        }
    }
    return texts;
}

int RecordingViews::Count(std::string_view op) const {
    return static_cast<int>(Texts(op).size());
}

std::vector<std::string> RecordingViews::LogLines() const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> lines;
    for (const auto& call : calls_) {
        if (call.op == "LogTraffic" || call.op == "LogMessage") {
            lines.push_back(call.text);
        }
    }
    return lines;
}

bool RecordingViews::WaitUntil(Ms timeout, const std::function<bool()>& done) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, done);
}

bool RecordingViews::WaitFor(std::string_view op, std::string_view text, Ms timeout) const {
    return WaitUntil(timeout, [&] {
        return std::any_of(calls_.begin(), calls_.end(), [&](const RecordedCall& call) {
            return call.op == op && (text.empty() || call.text == text);
        });
    });
}

bool RecordingViews::WaitForCount(std::string_view op, int n, Ms timeout) const {
    return WaitUntil(timeout, [&] {
        return std::count_if(calls_.begin(), calls_.end(),
                             [&](const RecordedCall& call) { return call.op == op; }) >= n;
    });
}

void RecordingViews::SetEntries(std::vector<RemoteEntry> entries) {
    std::lock_guard lock(mutex_);
    entries_ = std::move(entries);
}

RemoteEntry RecordingViews::Entry(int index) const {
    std::lock_guard lock(mutex_);
    if (index < 0 || static_cast<std::size_t>(index) >= entries_.size()) {
        return RemoteEntry();
    }
    return entries_[static_cast<std::size_t>(index)];
}

void RecordingViews::SetCachedDirectories(std::set<std::string> directories) {
    std::lock_guard lock(mutex_);
    cached_ = std::move(directories);
}

std::shared_ptr<FtpSessionHandle> RecordingViews::Session() const {
    std::lock_guard lock(mutex_);
    return session_;
}

void RecordingViews::SetHook(std::function<void(const RecordedCall&)> hook) {
    std::lock_guard lock(mutex_);
    hook_ = std::move(hook);
}

void RecordingViews::Status::SetStatus(std::optional<std::string_view> text) {
    if (text) {
        owner_.Record("SetStatus", std::string(*text));
    } else {
        owner_.Record("ClearStatus", "");
    }
}

void RecordingViews::Status::SetProgress(int percent) {
    owner_.Record("SetProgress", std::to_string(percent));
}

void RecordingViews::Log::LogTraffic(std::string_view line) {
    owner_.Record("LogTraffic", std::string(line));
}

void RecordingViews::Log::LogMessage(std::string_view line) {
    owner_.Record("LogMessage", std::string(line));
}

void RecordingViews::Host::ShowConnected(std::string_view connectionText) {
    owner_.Record("ShowConnected", std::string(connectionText));
}

void RecordingViews::Host::ResetAfterSession() {
    owner_.Record("HostResetAfterSession", "");
}

void RecordingViews::Host::PingFinished() {
    owner_.Record("PingFinished", "");
}

void RecordingViews::Host::AskCertificateTrust(const CertificateQuestion& question,
                                               std::function<void(CertificateTrust)> answer) {
    CertificateTrust given = CertificateTrust::Cancel;
    {
        std::lock_guard lock(owner_.mutex_);
        owner_.questions_.push_back(question);
        given = owner_.certificateAnswer_;
    }
    owner_.Record("AskCertificateTrust", question.host + ":" + std::to_string(question.port) + " " +
                                             question.certificate.problem +
                                             (question.changed ? " (changed)" : ""));
    answer(given);
}

void RecordingViews::SetCertificateAnswer(CertificateTrust answer) {
    std::lock_guard lock(mutex_);
    certificateAnswer_ = answer;
}

std::vector<CertificateQuestion> RecordingViews::CertificateQuestions() const {
    std::lock_guard lock(mutex_);
    return questions_;
}

void RecordingViews::Remote::ResetForSession(std::shared_ptr<FtpSessionHandle> session) {
    {
        std::lock_guard lock(owner_.mutex_);
        owner_.session_ = std::move(session);
    }
    owner_.Record("ResetForSession", "");
}

void RecordingViews::Remote::ResetAfterSession() {
    {
        std::lock_guard lock(owner_.mutex_);
        owner_.session_.reset();
    }
    owner_.Record("RemoteResetAfterSession", "");
}

bool RecordingViews::Remote::EnterDirectory(std::string_view directory) {
    bool cached = false;
    {
        std::lock_guard lock(owner_.mutex_);
        cached = owner_.cached_.count(std::string(directory)) > 0;
    }
    owner_.Record("EnterDirectory", std::string(directory));
    return cached;
}

void RecordingViews::Remote::AddListingLine(std::string_view line) {
    owner_.Record("AddListingLine", std::string(line));
}

void RecordingViews::Remote::FinishListing(bool complete) {
    owner_.Record("FinishListing", complete ? "1" : "0");
}

RemoteEntry RecordingViews::Remote::EntryAt(int index) {
    owner_.Record("EntryAt", std::to_string(index));
    return owner_.Entry(index);
}

void RecordingViews::Remote::RemoveEntry(int index) {
    {
        std::lock_guard lock(owner_.mutex_);
        if (index >= 0 && static_cast<std::size_t>(index) < owner_.entries_.size()) {
            owner_.entries_[static_cast<std::size_t>(index)].MakeBlank();
        }
    }
    owner_.Record("RemoveEntry", std::to_string(index));
}

void RecordingViews::Remote::UploadedFile(std::string_view name, std::int64_t size,
                                          std::int32_t modifiedTime) {
    owner_.Record("UploadedFile",
                  std::string(name) + " " + std::to_string(size) + " " + std::to_string(modifiedTime));
}

void RecordingViews::RecordFailure(std::string text) {
    {
        std::lock_guard lock(mutex_);
        failures_.push_back(std::move(text));
    }
    changed_.notify_all();
}

std::vector<std::string> RecordingViews::Failures() const {
    std::lock_guard lock(mutex_);
    return failures_;
}

void RecordingViews::Host::ShowFailure(SessionFailure what, std::string_view reason) {
    static constexpr const char* kNames[] = {"Connect: ", "Login: ", "Lost: "};
    owner_.RecordFailure(kNames[static_cast<int>(what)] + std::string(reason));
}

void RecordingViews::Remote::ShowFailure(std::string_view reason) {
    owner_.RecordFailure("Remote: " + std::string(reason));
}

void RecordingViews::Remote::FolderMade(std::string_view name) {
    owner_.Record("FolderMade", std::string(name));
}

void RecordingViews::Remote::EntryRenamed(int index, std::string_view oldName, std::string_view newName) {
    owner_.Record("EntryRenamed",
                  std::to_string(index) + " " + std::string(oldName) + " " + std::string(newName));
}

void RecordingViews::Remote::DeletePlanReady(std::shared_ptr<DeletePlan> plan) {
    const std::string counts = plan == nullptr ? std::string()
                                               : std::to_string(plan->selectedFolders) + " " +
                                                     std::to_string(plan->filesBelow) + " " +
                                                     std::to_string(plan->selectedFiles);
    {
        std::lock_guard lock(owner_.mutex_);
        owner_.deletePlan_ = std::move(plan);
    }
    owner_.Record("DeletePlanReady", counts);
}

std::shared_ptr<DeletePlan> RecordingViews::LastDeletePlan() const {
    std::lock_guard lock(mutex_);
    return deletePlan_;
}

void RecordingViews::Remote::TransferPlanReady(std::shared_ptr<TransferPlan> plan) {
    const std::string counts = plan == nullptr ? std::string()
                                               : std::to_string(plan->folders.size()) + " " +
                                                     std::to_string(plan->files.size()) +
                                                     (plan->stopped ? " stopped" : "");
    {
        std::lock_guard lock(owner_.mutex_);
        owner_.transferPlan_ = std::move(plan);
    }
    owner_.Record("TransferPlanReady", counts);
}

std::shared_ptr<TransferPlan> RecordingViews::LastTransferPlan() const {
    std::lock_guard lock(mutex_);
    return transferPlan_;
}

void RecordingViews::RecordTransferEvent(std::string text) {
    {
        std::lock_guard lock(mutex_);
        transferEvents_.push_back(std::move(text));
    }
    changed_.notify_all();
}

std::vector<std::string> RecordingViews::TransferEvents() const {
    std::lock_guard lock(mutex_);
    return transferEvents_;
}

bool RecordingViews::WaitForTransferEvent(std::string_view prefix, Ms timeout) const {
    return WaitUntil(timeout, [&] {
        return std::any_of(transferEvents_.begin(), transferEvents_.end(),
                           [&](const std::string& event) { return event.starts_with(prefix); });
    });
}

void RecordingViews::Transfers::TransferStarted(std::uint64_t row, std::int64_t offset, std::int64_t size) {
    owner_.RecordTransferEvent("started " + std::to_string(row) + " " + std::to_string(offset) + " " +
                               std::to_string(size));
}

void RecordingViews::Transfers::TransferProgress(std::uint64_t row, std::int64_t bytes) {
    owner_.RecordTransferEvent("progress " + std::to_string(row) + " " + std::to_string(bytes));
}

void RecordingViews::Transfers::TransferRetrying(std::uint64_t row, int attempt, int delaySeconds,
                                                 std::string_view reason) {
    owner_.RecordTransferEvent("retrying " + std::to_string(row) + " " + std::to_string(attempt) + " " +
                               std::to_string(delaySeconds) + " " + std::string(reason));
}

void RecordingViews::Transfers::TransferEnded(std::uint64_t row, TransferEnd end, std::string_view reason) {
    static constexpr const char* kNames[] = {"done ", "failed ", "skipped ", "stopped "};
    std::string text = kNames[static_cast<int>(end)] + std::to_string(row);
    if (end != TransferEnd::Done) {
        text += " " + std::string(reason);
    }
    owner_.RecordTransferEvent(std::move(text));
}

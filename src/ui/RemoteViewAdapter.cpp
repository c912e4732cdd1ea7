#include "ui/RemoteViewAdapter.h"

#include "engine/TransferPlan.h"

#include <QTimer>

#include "engine/FtpSessionHandle.h"
#include "listing/RemoteEntry.h"
#include "remote/SessionRequestQueue.h"
#include "ui/UiBridge.h"
#include "ui/WispRemotePage.h"

namespace {

// Every adapter ever made; a worker may keep calling one until the process ends.
std::vector<std::unique_ptr<RemoteViewAdapter>>& Adapters() {
    static std::vector<std::unique_ptr<RemoteViewAdapter>> adapters;
    return adapters;
}

}  // namespace

RemoteViewAdapter& RemoteViewAdapter::Create(std::shared_ptr<UiBridge> bridge, WispRemotePage* page) {
    Adapters().push_back(std::unique_ptr<RemoteViewAdapter>(new RemoteViewAdapter(std::move(bridge), page)));
    return *Adapters().back();
}

RemoteViewAdapter::RemoteViewAdapter(std::shared_ptr<UiBridge> bridge, WispRemotePage* page)
    : bridge_(std::move(bridge)), page_(page) {}

void RemoteViewAdapter::Detach() {
    page_ = nullptr;
}

template <typename Work>
bool RemoteViewAdapter::OnPage(Work&& work) {
    SendLines();
    bool ran = false;
    bridge_->RunAndWait([this, &work, &ran] {
        if (page_ != nullptr) {
            work(*page_);
            ran = true;
        }
    });
    return ran;
}

void RemoteViewAdapter::ResetForSession(std::shared_ptr<FtpSessionHandle> session) {
    OnPage([&session](WispRemotePage& page) { page.ResetForSession(std::move(session)); });
}

void RemoteViewAdapter::ResetAfterSession() {
    OnPage([](WispRemotePage& page) { page.ResetAfterSession(); });
}

bool RemoteViewAdapter::EnterDirectory(std::string_view directory) {
    bool cached = false;
    OnPage([&](WispRemotePage& page) { cached = page.State().EnterDirectory(directory); });
    return cached;
}

void RemoteViewAdapter::AddListingLine(std::string_view line) {
    bool first = false;
    bool full = false;
    {
        const std::lock_guard lock(linesMutex_);
        const auto now = std::chrono::steady_clock::now();
        first = lines_.empty();
        if (first) {
            batchStarted_ = now;
        }
        lines_.emplace_back(line);
        full = lines_.size() >= kBatchLines || now - batchStarted_ >= kBatchAge;
    }
    if (full) {
        SendLines();
    } else if (first) {
        // A listing that pauses still shows what came: the UI thread picks the lines up itself.
        bridge_->Post([this] { QTimer::singleShot(kBatchAge, [this] { ShowWaitingLines(); }); });
    }
}

void RemoteViewAdapter::FinishListing(bool complete) {
    OnPage([complete](WispRemotePage& page) { page.State().FinishListing(complete); });
}

RemoteEntry RemoteViewAdapter::EntryAt(int index) {
    RemoteEntry entry;
    OnPage([&](WispRemotePage& page) { entry = page.State().EntryAt(index); });
    return entry;
}

void RemoteViewAdapter::RemoveEntry(int index) {
    OnPage([index](WispRemotePage& page) { page.State().RemoveEntry(index); });
}

void RemoteViewAdapter::UploadedFile(std::string_view name, std::int64_t size, std::int32_t modifiedTime) {
    OnPage([&](WispRemotePage& page) { page.State().UploadedFile(name, size, modifiedTime); });
}

void RemoteViewAdapter::ShowFailure(std::string_view reason) {
    // Not through OnPage: this also comes from the UI thread (the user's abort), which must not hand on
    // listing lines while the worker may be handing on earlier ones.
    bridge_->RunAndWait([this, reason] {
        if (page_ != nullptr) {
            page_->State().ShowFailure(reason);
        }
    });
}

std::vector<std::string> RemoteViewAdapter::TakeLines() {
    std::vector<std::string> lines;
    const std::lock_guard lock(linesMutex_);
    lines.swap(lines_);
    return lines;
}

void RemoteViewAdapter::SendLines() {
    // Only the worker adds lines, so once taken here nothing newer can overtake them: the UI thread
    // shows them before it runs the call that follows.
    const std::vector<std::string> lines = TakeLines();
    if (lines.empty()) {
        return;
    }
    // Parsed here, so the UI thread only appends.
    std::vector<RemoteEntry> entries = RemotePageState::EntriesFromLines(lines);
    bridge_->RunAndWait([this, &entries] {
        if (page_ != nullptr) {
            page_->State().AddListingEntries(std::move(entries));
        }
    });
}

void RemoteViewAdapter::ShowWaitingLines() {
    if (page_ == nullptr || bridge_->IsFenced()) {
        return;
    }
    const std::vector<std::string> lines = TakeLines();
    if (!lines.empty()) {
        page_->State().AddListingLines(lines);
    }
}

void RemoteViewAdapter::FolderMade(std::string_view name) {
    OnPage([&](WispRemotePage& page) { page.State().FolderMade(name); });
}

void RemoteViewAdapter::EntryRenamed(int index, std::string_view oldName, std::string_view newName) {
    OnPage([&](WispRemotePage& page) { page.State().EntryRenamed(index, oldName, newName); });
}

void RemoteViewAdapter::TransferPlanReady(std::shared_ptr<TransferPlan> plan) {
    OnPage([&](WispRemotePage& page) { page.State().TransferPlanReady(std::move(plan)); });
}

void RemoteViewAdapter::DeletePlanReady(std::shared_ptr<DeletePlan> plan) {
    OnPage([&](WispRemotePage& page) { page.State().DeletePlanReady(std::move(plan)); });
}

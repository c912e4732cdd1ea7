#pragma once
// The Remote page as the session worker sees it: every call runs on the UI thread through the bridge,
// and listing lines cross in batches (sent when full or a few tens of milliseconds old, and always
// before any other call), so the page sees the same operations in the same order as line by line.
// It lives as long as the process: a worker may hold it after the page is gone, and then it does nothing.
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "views/RemoteView.h"

class UiBridge;
class WispRemotePage;

class RemoteViewAdapter final : public RemoteView {
  public:
    static constexpr std::size_t kBatchLines = 2048;
    static constexpr std::chrono::milliseconds kBatchAge{30};

    // A new adapter for `page`, kept until the process ends. UI thread.
    static RemoteViewAdapter& Create(std::shared_ptr<UiBridge> bridge, WispRemotePage* page);
    // UI thread, when the page goes: later calls do nothing (EnterDirectory false, blank entries).
    void Detach();

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
    RemoteViewAdapter(std::shared_ptr<UiBridge> bridge, WispRemotePage* page);
    friend struct std::default_delete<RemoteViewAdapter>;
    ~RemoteViewAdapter() override = default;

    // The one way onto the page: sends the lines waiting, then runs `work` on the UI thread with the page.
    // False when it did not run (page gone, bridge fenced).
    template <typename Work>
    bool OnPage(Work&& work);
    // Worker: hands the waiting lines to the UI thread and waits until they are shown.
    void SendLines();
    // UI thread: shows the lines waiting now (the timer's pick-up for a listing that pauses).
    void ShowWaitingLines();
    std::vector<std::string> TakeLines();

    std::shared_ptr<UiBridge> bridge_;
    WispRemotePage* page_;  // read and cleared on the UI thread only

    std::mutex linesMutex_;
    std::vector<std::string> lines_;
    std::chrono::steady_clock::time_point batchStarted_;
};

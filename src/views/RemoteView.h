#pragma once
// What the session worker asks of and tells the Remote page: directory changes, listing lines, the
// entries that requests refer to by slot index, deletions and uploads.
#include <cstdint>
#include <memory>
#include <string_view>

class DeletePlan;
class TransferPlan;
class FtpSessionHandle;
class RemoteEntry;

class RemoteView {
  public:
    virtual ~RemoteView() = default;
    // After a successful login: the session's handle, the page's only way to reach the session (Enqueue,
    // Abort). The page drops it at ResetAfterSession; the handle refuses once the session has ended.
    virtual void ResetForSession(std::shared_ptr<FtpSessionHandle> session) = 0;
    virtual void ResetAfterSession() = 0;
    // True when a cached listing of exactly this directory is now shown; false when an empty listing
    // waits to be filled by AddListingLine / FinishListing.
    virtual bool EnterDirectory(std::string_view directory) = 0;
    virtual void AddListingLine(std::string_view line) = 0;
    virtual void FinishListing(bool complete) = 0;
    // A copy of the entry in slot `index` of the current listing.
    virtual RemoteEntry EntryAt(int index) = 0;
    virtual void RemoveEntry(int index) = 0;
    // After a STOR: the local file's length and modification time (seconds since 1970, UTC).
    virtual void UploadedFile(std::string_view name, std::int64_t size, std::int32_t modifiedTime) = 0;
    // Why the user's last request failed or stopped, in words ("Could not open /x: 550 No such folder.");
    // also from the user-interface thread when the user's abort stopped something.
    virtual void ShowFailure(std::string_view /*reason*/) {}
    // After an accepted MKD: the folder `name` now exists in the current directory.
    virtual void FolderMade(std::string_view /*name*/) {}
    // After an accepted RNFR/RNTO: slot `index`, named `oldName` when asked for, is now `newName`.
    virtual void EntryRenamed(int /*index*/, std::string_view /*oldName*/, std::string_view /*newName*/) {}
    // The walk of a Delete holding folders is done: what the removal would do, for the user to agree to.
    virtual void DeletePlanReady(std::shared_ptr<DeletePlan> /*plan*/) {}
    // The walk of a Get or a Put holding folders is done: the page asks about conflicts and queues it.
    virtual void TransferPlanReady(std::shared_ptr<TransferPlan> /*plan*/) {}
};

#pragma once
// Request handlers that move data: the listing of the current directory, downloads (Get) and uploads
// (Put), with the transfer type selection they share. Worker thread; each returns the request's last
// reply code (421 ends the session).
#include <string>
#include <string_view>
#include <vector>

class FtpContext;
class RemoteEntry;
struct FtpRequest;

class FtpTransfers {
  public:
    // What an entry gets when its local file cannot be made: a name that is not safe in the download
    // folder, or a file that cannot be opened.
    static constexpr int kOpenFailed = 299;
    // What a transfer gets when the local side failed (a write to the downloaded file, a read of the
    // uploaded one) while the server saw nothing wrong: "local error in processing".
    static constexpr int kLocalFailure = 451;
    static constexpr int kListBufferSize = 4096;
    static constexpr int kListLineSize = 512;
    // A machine listing's lines carry facts before the name: room for both.
    static constexpr int kMachineLineSize = 4096;
    // What a transfer gets when its data connection failed (reset, time-out) while the server's final
    // reply said nothing was wrong: "connection closed; transfer aborted".
    static constexpr int kDataFailure = 426;
    // Downloads read in large blocks: fewer system calls per byte. Uploads read the file in 16384-byte
    // blocks (in ASCII type a block may grow on the way out, each LF gaining a CR).
    static constexpr int kTransferBufferSize = 256 * 1024;
    static constexpr int kUploadBufferSize = 16384;

    // Sends the type command for `index` unless the server already has it; 200 when nothing was sent.
    static int SelectType(FtpContext& session, int index);
    // LIST of the current directory, line by line into the Remote view; FinishListing only when the
    // server accepted LIST.
    static int ListDirectory(FtpContext& session, std::string_view path);
    // Lists the folder `path` (absolute; MLSD when offered, else LIST) into `entries`, leaving the Remote
    // view and the current directory alone. `whole` is false for a listing cut short or aborted; the
    // result is the listing's reply (421 ends the session). An abort stays requested for the caller.
    // `uniques`, when given, gets each entry's MLSD "unique" fact ("" when the line has none).
    static int ListFolder(FtpContext& session, std::string_view path, std::vector<RemoteEntry>& entries,
                          bool& whole, std::vector<std::string>* uniques = nullptr);
    // The "unique" fact of a machine listing's line (MLSD, MLST): what tells one folder from another
    // whatever the path (a server that follows links lists a link to a folder as a folder). "" for none.
    static std::string UniqueFact(std::string_view line);
    // request.text: local folder; request.Selection(): slot indexes; request.value: transfer type (ASCII
    // stores the text with LF line ends).
    // The selection is released before returning.
    static int GetFiles(FtpContext& session, FtpRequest& request);
    // request.Dropped(): local paths; request.value: transfer type (ASCII sends CR LF line ends).
    // Released before returning.
    static int PutFiles(FtpContext& session, FtpRequest& request);
};

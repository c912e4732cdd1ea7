#include "transfers/TransferQueueStore.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <system_error>
#include <utility>

#include "views/LogView.h"

namespace {

constexpr std::string_view kHeader = "wisp-transfers 1";
constexpr std::string_view kEnd = "end ";

// Closes the descriptor it holds.
class FileDescriptor {
  public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int Get() const { return fd_; }
    // Closes now; false when the close reported a write error.
    bool Close() {
        const int fd = std::exchange(fd_, -1);
        return fd < 0 || ::close(fd) == 0;
    }

  private:
    int fd_;
};

// Names and reasons are any bytes: the separators and '%' are written as %XX.
void AppendEscaped(std::string& out, std::string_view text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f || byte == '%') {
            out += '%';
            out += kHex[byte >> 4];
            out += kHex[byte & 0x0f];
        } else {
            out += c;
        }
    }
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

bool Unescape(std::string_view text, std::string& out) {
    out.clear();
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out += text[i];
            continue;
        }
        if (i + 2 >= text.size()) {
            return false;
        }
        const int high = HexValue(text[i + 1]);
        const int low = HexValue(text[i + 2]);
        if (high < 0 || low < 0) {
            return false;
        }
        out += static_cast<char>(high * 16 + low);
        i += 2;
    }
    return true;
}

template <typename Number>
bool ParseNumber(std::string_view text, Number& value) {
    const char* end = text.data() + text.size();
    const auto [next, error] = std::from_chars(text.data(), end, value);
    return error == std::errc() && next == end && !text.empty();
}

std::vector<std::string_view> SplitFields(std::string_view line) {
    std::vector<std::string_view> fields;
    std::size_t start = 0;
    while (true) {
        const std::size_t tab = line.find('\t', start);
        fields.push_back(
            line.substr(start, tab == std::string_view::npos ? std::string_view::npos : tab - start));
        if (tab == std::string_view::npos) {
            return fields;
        }
        start = tab + 1;
    }
}

bool ParseRow(std::string_view line, TransferRow& row) {
    const std::vector<std::string_view> f = SplitFields(line);
    if (f.size() != 14) {
        return false;
    }
    int direction = 0;
    int state = 0;
    int exact = 0;
    if (!ParseNumber(f[0], row.id) || row.id == 0 || !ParseNumber(f[1], direction) || direction < 0 ||
        direction > 1 || !Unescape(f[2], row.site) || !Unescape(f[3], row.localPath) ||
        !Unescape(f[4], row.remoteFolder) || !Unescape(f[5], row.remoteName) ||
        !ParseNumber(f[6], row.type) || !ParseNumber(f[7], row.size) || !ParseNumber(f[8], row.time) ||
        !ParseNumber(f[9], exact) || exact < 0 || exact > 1 || !ParseNumber(f[10], row.bytesDone) ||
        !ParseNumber(f[11], state) || state < 0 || state > 5 || !ParseNumber(f[12], row.attempt) ||
        !Unescape(f[13], row.reason)) {
        return false;
    }
    row.direction = static_cast<TransferDirection>(direction);
    row.state = static_cast<TransferState>(state);
    row.exactTime = exact == 1;
    return true;
}

bool WriteAll(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t written = ::write(fd, data.data(), data.size());
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        data.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

}  // namespace

TransferQueueStore::TransferQueueStore(std::filesystem::path file, LogView& log, TransferClock clock)
    : file_(std::move(file)), log_(log), clock_(std::move(clock)) {}

TransferQueueStore::~TransferQueueStore() {
    if (queue_) {
        Flush();
        queue_->RemoveObserver(this);
    }
}

std::filesystem::path TransferQueueStore::DefaultFile() {
    const char* dataHome = std::getenv("XDG_DATA_HOME");
    std::filesystem::path folder;
    if (dataHome && *dataHome == '/') {
        folder = dataHome;
    } else {
        const char* home = std::getenv("HOME");
        folder = std::filesystem::path(home && *home ? home : ".") / ".local" / "share";
    }
    return folder / "wisp" / "transfers.queue";
}

std::string TransferQueueStore::Format(const std::vector<TransferRow>& rows) {
    std::string text;
    text.reserve(64 + rows.size() * 160);
    text += kHeader;
    text += '\n';
    for (const TransferRow& row : rows) {
        text += std::to_string(row.id);
        text += '\t';
        text += std::to_string(static_cast<int>(row.direction));
        text += '\t';
        // The site never holds a password, even if a caller handed one in.
        AppendEscaped(text, SiteWithoutPassword(row.site));
        text += '\t';
        AppendEscaped(text, row.localPath);
        text += '\t';
        AppendEscaped(text, row.remoteFolder);
        text += '\t';
        AppendEscaped(text, row.remoteName);
        text += '\t';
        text += std::to_string(row.type) + '\t' + std::to_string(row.size) + '\t' + std::to_string(row.time) +
                '\t' + (row.exactTime ? "1" : "0") + '\t' + std::to_string(row.bytesDone) + '\t' +
                std::to_string(static_cast<int>(row.state)) + '\t' + std::to_string(row.attempt) + '\t';
        AppendEscaped(text, row.reason);
        text += '\n';
    }
    text += kEnd;
    text += std::to_string(rows.size());
    text += '\n';
    return text;
}

bool TransferQueueStore::Parse(const std::string& text, std::vector<TransferRow>& rows, int& badLine) {
    rows.clear();
    std::string_view rest = text;
    int lineNumber = 0;
    bool ended = false;
    while (!rest.empty()) {
        const std::size_t newline = rest.find('\n');
        ++lineNumber;
        badLine = lineNumber;
        if (newline == std::string_view::npos || ended) {
            return false;  // cut short, or something after the end
        }
        const std::string_view line = rest.substr(0, newline);
        rest.remove_prefix(newline + 1);
        if (lineNumber == 1) {
            if (line != kHeader) {
                return false;
            }
            continue;
        }
        if (line.starts_with(kEnd)) {
            std::size_t count = 0;
            if (!ParseNumber(line.substr(kEnd.size()), count) || count != rows.size()) {
                return false;
            }
            ended = true;
            continue;
        }
        TransferRow row;
        if (!ParseRow(line, row)) {
            return false;
        }
        rows.push_back(std::move(row));
    }
    badLine = lineNumber + 1;
    return ended;
}

std::vector<TransferRow> TransferQueueStore::Load() {
    std::vector<TransferRow> rows;
    std::error_code error;
    if (!std::filesystem::exists(file_, error)) {
        return rows;
    }
    std::ifstream in(file_, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    int badLine = 0;
    if (in.good() && Parse(content.str(), rows, badLine)) {
        return rows;
    }
    rows.clear();
    std::filesystem::path aside = file_;
    aside += ".bad";
    std::filesystem::rename(file_, aside, error);
    log_.LogMessage("... The saved transfer queue " + file_.string() + " cannot be read (line " +
                    std::to_string(badLine) + "); it was moved to " + aside.string() +
                    " and the queue starts empty");
    return rows;
}

bool TransferQueueStore::Save(const std::vector<TransferRow>& rows) {
    const std::filesystem::path folder = file_.parent_path();
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    std::filesystem::path temporary = file_;
    temporary += ".tmp";
    const std::string text = Format(rows);
    bool saved = false;
    {
        FileDescriptor out(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
        saved = out.Get() >= 0 && WriteAll(out.Get(), text) && ::fsync(out.Get()) == 0 && out.Close();
    }
    // Renamed only once its bytes are on the disk; the folder's entry is then made lasting too.
    saved = saved && ::rename(temporary.c_str(), file_.c_str()) == 0;
    if (saved) {
        FileDescriptor folderFd(
            ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (folderFd.Get() >= 0) {
            ::fsync(folderFd.Get());
        }
    }
    if (!saved && !failing_) {
        log_.LogMessage("... The transfer queue cannot be saved to " + file_.string() + ": " +
                        std::strerror(errno));
    }
    failing_ = !saved;
    return saved;
}

void TransferQueueStore::Follow(TransferQueue& queue) {
    if (queue_) {
        queue_->RemoveObserver(this);
    }
    queue_ = &queue;
    queue.AddObserver(this);
    // The first change is written at once.
    lastSaveMs_ = clock_() - kProgressIntervalMs;
}

void TransferQueueStore::RemoveFile() {
    if (queue_) {
        queue_->RemoveObserver(this);
        queue_ = nullptr;
    }
    pending_ = false;
    std::error_code error;
    std::filesystem::remove(file_, error);
    // The folder too, unless something else lives there.
    std::filesystem::remove(file_.parent_path(), error);
}

void TransferQueueStore::QueueChanged(bool states) {
    pending_ = true;
    pendingStates_ = pendingStates_ || states;
    SaveIfDue();
}

void TransferQueueStore::SaveIfDue() {
    if (!pending_) {
        return;
    }
    const std::int64_t sinceSave = clock_() - lastSaveMs_;
    if (sinceSave >= kProgressIntervalMs || (pendingStates_ && sinceSave >= kStateIntervalMs)) {
        SaveQueue();
    }
}

void TransferQueueStore::Flush() {
    if (pending_) {
        SaveQueue();
    }
}

void TransferQueueStore::SaveQueue() {
    if (queue_ && Save(queue_->Rows())) {
        pending_ = false;
        pendingStates_ = false;
    }
    lastSaveMs_ = clock_();
}

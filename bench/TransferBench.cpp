// Download, upload and listing speed of the engine against curl and lftp, on the same vsftpd on 127.0.0.1
// (download and listing again on ::1),
// over plain FTP and over explicit TLS.
//
// Run (RelWithDebInfo):
//   cmake --build build-dir-rel --target TransferBench && build-dir-rel/TransferBench [MiB [entries [runs]]]
// Defaults: a 1024 MiB download, an upload of half that, a directory of 100000 entries, 5 runs. The same
// three numbers may come from WISP_BENCH_MIB, WISP_BENCH_ENTRIES and WISP_BENCH_RUNS; e.g.
//   WISP_BENCH_MIB=64 WISP_BENCH_ENTRIES=5000 build-dir-rel/TransferBench
// The plain part measures the download, the upload and the listing; the TLS part (a second vsftpd that
// requires AUTH TLS and protected data, whose certificate the clients trust through the tests' CA) the
// download and the upload. WISP_BENCH_TLS=no runs only the plain part, WISP_BENCH_TLS=only only the TLS one.
// The clients run interleaved (engine, curl, lftp in each run), all with PASV (curl with --disable-epsv), a
// new connection and login for every run, and the downloads go to a tmpfs folder (/dev/shm) so the disk
// does not count. Prints each run, then the medians and the ratios engine/curl and engine/lftp. Goals:
// download and upload at most the fastest other client's time, listing ratio engine/curl <= 1.5; over TLS,
// the download at most lftp's time. Needs root (vsftpd) and curl (exits with 2 when either is missing); lftp
// is left out, with a message, when it is not installed.
//
// The servers come from the tests' launcher (tests/support/RealFtpServer); the bench target then links
// wisp_test_support. Without it the bench builds but only says so.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/FtpRequest.h"
#include "engine/FtpSession.h"
#include "listing/RemoteEntry.h"
#include "views/NullViews.h"
#include "views/SessionViews.h"

#if __has_include("support/RealFtpServer.h")
#include "support/RealFtpServer.h"
#define WISP_BENCH_HAS_SERVER 1
#else
#define WISP_BENCH_HAS_SERVER 0
#endif

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
// The served folder that anonymous users may write (the launcher's).
constexpr const char* kWritableFolder = "upload";

// The served folder and port of a running vsftpd, and the CA its clients trust when it requires TLS; stops
// the server when it goes away.
class BenchServer {
  public:
    virtual ~BenchServer() = default;
    virtual std::uint16_t Port() const = 0;
    virtual fs::path Root() const = 0;
    // Empty for plain FTP.
    virtual std::string CaFile() const = 0;
    // Where it listens: "127.0.0.1" or "::1".
    virtual std::string Address() const = 0;
    bool UsesTls() const { return !CaFile().empty(); }
    // The address as a URL's host: an IPv6 address in brackets.
    std::string UrlHost() const {
        return Address().find(':') != std::string::npos ? "[" + Address() + "]" : Address();
    }
};

#if WISP_BENCH_HAS_SERVER
class LaunchedServer : public BenchServer {
  public:
    LaunchedServer(bool tls, const char* address)
        : server_(RealFtpServer::Kind::Vsftpd, tls ? RealFtpServer::Tls::Explicit : RealFtpServer::Tls::None,
                  TestCertificates::Which::Server, address) {}
    std::string Address() const override { return server_.Address(); }
    bool Running() const { return server_.Running(); }
    const std::string& Error() const { return server_.Error(); }
    std::uint16_t Port() const override { return server_.Port(); }
    fs::path Root() const override { return server_.Root(); }
    std::string CaFile() const override {
        return server_.GetTls() == RealFtpServer::Tls::None ? std::string()
                                                            : TestCertificates::Shared().CaFile().string();
    }

  private:
    RealFtpServer server_;
};
#endif

// Starts vsftpd on `address` (127.0.0.1 or ::1), with explicit TLS required or without; null (with the
// reason printed) when it cannot.
std::unique_ptr<BenchServer> StartServer(bool tls, const char* address) {
#if WISP_BENCH_HAS_SERVER
    auto server = std::make_unique<LaunchedServer>(tls, address);
    if (!server->Running()) {
        std::fprintf(stderr, "vsftpd%s on %s did not start: %s\n", tls ? " (explicit TLS)" : "", address,
                     server->Error().c_str());
        return nullptr;
    }
    return server;
#else
    (void)tls;
    (void)address;
    std::fprintf(stderr,
                 "TransferBench was built without the server launcher; its target needs\n"
                 "  target_link_libraries(TransferBench PRIVATE wisp_test_support)\n");
    return nullptr;
#endif
}

// The views of one engine session: listing lines go to a file (as curl's do), everything else is
// counted; the bench waits on the two events that end its requests.
class BenchViews : public NullViews {
  public:
    void LogTraffic(std::string_view line) override { Keep(line); }
    void LogMessage(std::string_view line) override {
        Keep(line);
        if (line.rfind("... TLS 1.", 0) == 0) {
            std::lock_guard lock(mutex_);
            tlsLine_ = line.substr(4);
        }
        if (line.rfind("... using cached copy of ", 0) == 0) {
            Signal(cachedEntered_);
        }
    }
    void ResetAfterSession() override { Signal(ended_); }
    bool EnterDirectory(std::string_view) override { return cached_; }
    void AddListingLine(std::string_view line) override {
        if (listing_ != nullptr) {
            std::fwrite(line.data(), 1, line.size(), listing_);
            std::fputc('\n', listing_);
        }
        ++lines_;
    }
    void FinishListing(bool) override { Signal(finished_); }
    RemoteEntry EntryAt(int index) override {
        return index >= 0 && static_cast<std::size_t>(index) < entries_.size()
                   ? entries_[static_cast<std::size_t>(index)]
                   : RemoteEntry();
    }

    // Before the session starts.
    void AnswerCached(bool cached) { cached_ = cached; }
    void SetListingFile(std::FILE* file) { listing_ = file; }
    void SetEntries(std::vector<RemoteEntry> entries) { entries_ = std::move(entries); }

    bool WaitCached(int n) { return WaitFor(cachedEntered_, n); }
    bool WaitFinished(int n) { return WaitFor(finished_, n); }
    bool WaitEnded() { return WaitFor(ended_, 2); }  // Host and Remote
    long Lines() const { return lines_; }
    // The protocol and cipher of the newest TLS connection ("" without TLS).
    std::string TlsLine() {
        std::lock_guard lock(mutex_);
        return tlsLine_;
    }
    std::string Recent() {
        std::lock_guard lock(mutex_);
        std::string text;
        for (const auto& line : recent_) {
            text += "  " + line + "\n";
        }
        return text;
    }

  private:
    void Keep(std::string_view line) {
        std::lock_guard lock(mutex_);
        recent_.emplace_back(line);
        if (recent_.size() > 20) {
            recent_.erase(recent_.begin());
        }
    }
    void Signal(int& counter) {
        {
            std::lock_guard lock(mutex_);
            ++counter;
        }
        changed_.notify_all();
    }
    bool WaitFor(int& counter, int n) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::minutes(10), [&] { return counter >= n; });
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    int cachedEntered_ = 0;
    int finished_ = 0;
    int ended_ = 0;
    std::atomic<long> lines_{0};
    bool cached_ = false;
    std::FILE* listing_ = nullptr;
    std::vector<RemoteEntry> entries_;
    std::vector<std::string> recent_;
    std::string tlsLine_;
};

long Setting(int argc, char** argv, int position, const char* variable, long fallback) {
    if (argc > position) {
        return std::strtol(argv[position], nullptr, 10);
    }
    if (const char* value = std::getenv(variable)) {
        return std::strtol(value, nullptr, 10);
    }
    return fallback;
}

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

bool WriteBigFile(const fs::path& path, std::size_t bytes) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        return false;
    }
    std::vector<char> block(1 << 20);
    std::uint32_t state = 12345;
    for (char& c : block) {
        state = state * 1664525u + 1013904223u;
        c = static_cast<char>(state >> 24);
    }
    bool ok = true;
    for (std::size_t left = bytes; left > 0 && ok;) {
        const std::size_t n = std::min(left, block.size());
        block[0] = static_cast<char>(left);  // no two blocks alike
        ok = ::write(fd, block.data(), n) == static_cast<ssize_t>(n);
        left -= n;
    }
    return ::close(fd) == 0 && ok;
}

bool MakeManyEntries(const fs::path& folder, long entries) {
    std::error_code error;
    fs::create_directories(folder, error);
    char name[32];
    for (long i = 0; i < entries; ++i) {
        std::snprintf(name, sizeof name, "entry-%07ld.dat", i);
        const int fd = ::open((folder / name).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0) {
            return false;
        }
        ::close(fd);
    }
    return !error;
}

std::uintmax_t FileSize(const fs::path& path) {
    std::error_code error;
    const auto size = fs::file_size(path, error);
    return error ? 0 : size;
}

// Runs a shell command; its wall time, or nullopt (with a line naming `tool`) when it failed.
std::optional<Clock::duration> TimeCommand(const char* tool, const std::string& command) {
    const auto start = Clock::now();
    const int status = std::system(command.c_str());
    const auto elapsed = Clock::now() - start;
    if (status != 0) {
        std::fprintf(stderr, "%s failed (%d): %s\n", tool, status, command.c_str());
        return std::nullopt;
    }
    return elapsed;
}

// The engine's URL: ftpes:// when the server requires TLS.
std::string EngineUrl(const BenchServer& server, const std::string& path) {
    return std::string(server.UsesTls() ? "ftpes" : "ftp") + "://" + server.UrlHost() + ":" +
           std::to_string(server.Port()) + "/" + path;
}

// The other clients' URL: they are told to use TLS by their options.
std::string Url(const BenchServer& server, const std::string& path) {
    return "ftp://" + server.UrlHost() + ":" + std::to_string(server.Port()) + "/" + path;
}

std::string Quoted(const std::string& text) {
    return "'" + text + "'";
}

// Runs curl (PASV, no EPSV, on IPv4; over IPv6 it always uses EPSV; with TLS required on control and data
// when the server wants it) with the transfer's `arguments`; its wall time, or nullopt when it failed.
// --globoff keeps the brackets of an IPv6 URL from being read as a range.
std::optional<Clock::duration> TimeCurl(const BenchServer& server, const std::string& arguments) {
    const std::string tls = server.UsesTls() ? " --ssl-reqd --cacert " + Quoted(server.CaFile()) : "";
    return TimeCommand("curl", "curl -s -S --globoff --disable-epsv --max-time 600" + tls + " " + arguments);
}

std::optional<Clock::duration> TimeCurlDownload(const BenchServer& server, const std::string& path,
                                                const fs::path& output) {
    return TimeCurl(server, "-o " + Quoted(output.string()) + " " + Quoted(Url(server, path)));
}

std::optional<Clock::duration> TimeCurlUpload(const BenchServer& server, const fs::path& input,
                                              const std::string& path) {
    return TimeCurl(server, "-T " + Quoted(input.string()) + " " + Quoted(Url(server, path)));
}

FtpSessionOptions EngineOptions(const BenchServer& server) {
    FtpSessionOptions options;
    options.passive = true;
    options.tlsTrustFile = server.CaFile();
    return options;
}

// The cipher of the engine's last TLS connection, shown once per server.
void ShowTls(BenchViews& views, bool& shown) {
    if (!shown && !views.TlsLine().empty()) {
        std::printf("engine's data connection: %s\n", views.TlsLine().c_str());
        shown = true;
    }
}

// One engine session: login, CWD into the folder (shown as cached, so no listing), GET the file, log off.
std::optional<Clock::duration> TimeEngineDownload(const BenchServer& server, const std::string& folder,
                                                  const RemoteEntry& entry, const fs::path& localFolder,
                                                  bool& tlsShown) {
    BenchViews views;
    views.AnswerCached(true);
    views.SetEntries({entry});
    const auto start = Clock::now();
    auto handle = FtpSession::Start(EngineUrl(server, folder), views.Views(), EngineOptions(server));
    std::unique_ptr<FtpRequestObject> selection =
        std::make_unique<SelectionIndexes>(std::vector<std::int32_t>{0});
    if (!handle->Enqueue(FtpRequestKind::Get, localFolder.string(), selection, kImageType) ||
        !handle->Enqueue(FtpRequestKind::ChangeDir, "", 0) || !views.WaitCached(2)) {
        std::fprintf(stderr, "engine download failed:\n%s", views.Recent().c_str());
        return std::nullopt;
    }
    const auto elapsed = Clock::now() - start;
    handle->Enqueue(FtpRequestKind::Logoff);
    handle->WaitEnded(std::chrono::seconds(10));
    ShowTls(views, tlsShown);
    return elapsed;
}

// One engine session: login, CWD into the folder, PWD and a fresh LIST written to `output`.
std::optional<Clock::duration> TimeEngineListing(const BenchServer& server, const std::string& folder,
                                                 const fs::path& output, long& lines) {
    BenchViews views;
    std::FILE* file = std::fopen(output.c_str(), "w");
    if (file == nullptr) {
        return std::nullopt;
    }
    views.SetListingFile(file);
    const auto start = Clock::now();
    auto handle = FtpSession::Start(EngineUrl(server, folder), views.Views(), EngineOptions(server));
    const bool finished = views.WaitFinished(1);
    std::fclose(file);
    const auto elapsed = Clock::now() - start;
    handle->Enqueue(FtpRequestKind::Logoff);
    handle->WaitEnded(std::chrono::seconds(10));
    lines = views.Lines();
    if (!finished) {
        std::fprintf(stderr, "engine listing failed:\n%s", views.Recent().c_str());
        return std::nullopt;
    }
    return elapsed;
}

bool HaveLftp() {
    return std::system("lftp --version >/dev/null 2>&1") == 0;
}

// Runs lftp (PASV, anonymous; with TLS forced on control and data when the server wants it) with
// `commands` against the server; its wall time, or nullopt on failure.
std::optional<Clock::duration> TimeLftp(const BenchServer& server, const std::string& commands) {
    const std::string tls = server.UsesTls() ? "set ftp:ssl-force true; set ftp:ssl-protect-data true; "
                                               "set ssl:ca-file " +
                                                   server.CaFile() + "; "
                                             : "";
    const std::string command =
        "lftp -c 'set ftp:passive-mode on; set ftp:prefer-epsv no; set net:max-retries 1; " + tls +
        "open -u anonymous,bench@ ftp://" + server.UrlHost() + ":" + std::to_string(server.Port()) + "; " +
        commands + "' >/dev/null";
    return TimeCommand("lftp", command);
}

// One engine session: login, CWD into the writable folder (cached), PUT the file, log off.
std::optional<Clock::duration> TimeEngineUpload(const BenchServer& server, const std::string& folder,
                                                const fs::path& input) {
    BenchViews views;
    views.AnswerCached(true);
    const auto start = Clock::now();
    auto handle = FtpSession::Start(EngineUrl(server, folder), views.Views(), EngineOptions(server));
    std::unique_ptr<FtpRequestObject> dropped =
        std::make_unique<DroppedFiles>(std::vector<std::string>{input.string()});
    // The session first enters the URL's folder; the file goes there.
    if (!views.WaitCached(1) || !handle->Enqueue(FtpRequestKind::Put, "", dropped, kImageType) ||
        !handle->Enqueue(FtpRequestKind::ChangeDir, "", 0) || !views.WaitCached(2)) {
        std::fprintf(stderr, "engine upload failed:\n%s", views.Recent().c_str());
        return std::nullopt;
    }
    const auto elapsed = Clock::now() - start;
    handle->Enqueue(FtpRequestKind::Logoff);
    handle->WaitEnded(std::chrono::seconds(10));
    if (std::getenv("WISP_BENCH_VERBOSE") != nullptr) {
        std::fprintf(stderr, "%s", views.Recent().c_str());
    }
    return elapsed;
}

double Median(std::vector<double> values) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    const std::size_t mid = values.size() / 2;
    return values.size() % 2 == 1 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

// The times of the clients of one measurement, run by run.
struct Times {
    std::vector<double> engine, curl, lftp;
    void Print(const char* what) const {
        const double e = Median(engine);
        const double c = Median(curl);
        std::printf("%-12s median: engine %.3f s, curl %.3f s", what, e, c);
        if (!lftp.empty()) {
            std::printf(", lftp %.3f s; ratio engine/curl %.3f, engine/lftp %.3f\n", Median(lftp), e / c,
                        e / Median(lftp));
        } else {
            std::printf("; ratio engine/curl %.3f\n", e / c);
        }
    }
    // One run's line.
    void Add(const char* what, long run, Clock::duration e, Clock::duration c,
             std::optional<Clock::duration> l) {
        std::printf("%-12s run %ld: engine %.3f s, curl %.3f s", what, run + 1, Seconds(e), Seconds(c));
        engine.push_back(Seconds(e));
        curl.push_back(Seconds(c));
        if (l) {
            std::printf(", lftp %.3f s", Seconds(*l));
            lftp.push_back(Seconds(*l));
        }
        std::printf("\n");
        std::fflush(stdout);
    }
    // The engine's median is at most every other client's.
    bool Fastest() const {
        const double e = Median(engine);
        return e <= Median(curl) && (lftp.empty() || e <= Median(lftp));
    }
    // The engine's median is at most lftp's (true without lftp).
    bool AtMostLftp() const { return lftp.empty() || Median(engine) <= Median(lftp); }
};

// What every part shares: the sizes, the runs, whether lftp takes part, the tmpfs folder and the file
// that is uploaded.
struct Plan {
    std::size_t bytes = 0;
    long runs = 0;
    bool lftp = false;
    fs::path scratch;
    fs::path upFile;
};

// big.bin from the server's root with each client, interleaved run by run; false (with a message) when
// one failed.
bool MeasureDownload(const BenchServer& server, const Plan& plan, const char* what, Times& times) {
    // The entry as the Remote page would hold it after listing the root.
    const RemoteEntry big("big.bin", static_cast<std::int32_t>(plan.bytes), 0);
    const fs::path engineFile = plan.scratch / "engine" / "big.bin";
    const fs::path curlFile = plan.scratch / "curl-big.bin";
    const fs::path lftpFile = plan.scratch / "lftp-big.bin";
    std::error_code error;
    bool tlsShown = false;
    bool ok = true;
    for (long run = 0; run < plan.runs && ok; ++run) {
        for (const auto& file : {engineFile, curlFile, lftpFile}) {
            fs::remove(file, error);
        }
        const auto engine = TimeEngineDownload(server, "", big, plan.scratch / "engine", tlsShown);
        const auto curl = TimeCurlDownload(server, "big.bin", curlFile);
        const auto other = plan.lftp ? TimeLftp(server, "get big.bin -o " + lftpFile.string())
                                     : std::optional<Clock::duration>();
        ok = engine && curl && FileSize(engineFile) == plan.bytes && FileSize(curlFile) == plan.bytes &&
             (!plan.lftp || (other && FileSize(lftpFile) == plan.bytes));
        if (ok) {
            times.Add(what, run, *engine, *curl, other);
        } else {
            std::fprintf(stderr, "%s run %ld failed (engine %ju bytes, curl %ju bytes, lftp %ju bytes)\n",
                         what, run + 1, FileSize(engineFile), FileSize(curlFile), FileSize(lftpFile));
        }
    }
    for (const auto& file : {engineFile, curlFile, lftpFile}) {
        fs::remove(file, error);
    }
    return ok;
}

// The upload file into the server's writable folder with each client, interleaved run by run; false (with
// a message) when one failed.
bool MeasureUpload(const BenchServer& server, const Plan& plan, const char* what, Times& times) {
    const std::uintmax_t upBytes = FileSize(plan.upFile);
    const fs::path upServed = server.Root() / kWritableFolder / "up.bin";
    std::error_code error;
    bool ok = true;
    for (long run = 0; run < plan.runs && ok; ++run) {
        fs::remove(upServed, error);
        const auto engine = TimeEngineUpload(server, kWritableFolder, plan.upFile);
        const std::uintmax_t engineSize = FileSize(upServed);
        const auto curl = TimeCurlUpload(server, plan.upFile, std::string(kWritableFolder) + "/up.bin");
        const std::uintmax_t curlSize = FileSize(upServed);
        const auto other = plan.lftp ? TimeLftp(server, "cd " + std::string(kWritableFolder) + "; put " +
                                                            plan.upFile.string() + " -o up.bin")
                                     : std::optional<Clock::duration>();
        ok = engine && curl && engineSize == upBytes && curlSize == upBytes &&
             (!plan.lftp || (other && FileSize(upServed) == upBytes));
        if (ok) {
            times.Add(what, run, *engine, *curl, other);
        } else {
            std::fprintf(stderr, "%s run %ld failed (engine %ju bytes, curl %ju bytes)\n", what, run + 1,
                         engineSize, curlSize);
        }
    }
    fs::remove(upServed, error);
    return ok;
}

// A fresh listing of the folder "many" with the engine and curl, interleaved run by run.
bool MeasureListing(const BenchServer& server, const Plan& plan, long entries, Times& times,
                    const char* what = "listing") {
    for (long run = 0; run < plan.runs; ++run) {
        long lines = 0;
        const auto engine = TimeEngineListing(server, "many", plan.scratch / "engine-list.txt", lines);
        const auto curl = TimeCurlDownload(server, "many/", plan.scratch / "curl-list.txt");
        if (!engine || !curl || lines != entries) {
            std::fprintf(stderr, "listing run %ld failed (engine %ld lines)\n", run + 1, lines);
            return false;
        }
        times.Add(what, run, *engine, *curl, std::nullopt);
    }
    return true;
}

// Starts a server (plain or TLS, on 127.0.0.1 or ::1) serving big.bin; null when it cannot.
std::unique_ptr<BenchServer> StartServing(bool tls, const Plan& plan, const char* address = "127.0.0.1") {
    std::unique_ptr<BenchServer> server = StartServer(tls, address);
    if (!server) {
        return nullptr;
    }
    if (!WriteBigFile(server->Root() / "big.bin", plan.bytes)) {
        std::fprintf(stderr, "cannot prepare the served file\n");
        return nullptr;
    }
    std::printf("vsftpd%s on %s port %u\n", tls ? " (explicit TLS)" : "", address, server->Port());
    return server;
}

}  // namespace

int main(int argc, char** argv) {
    const long mib = Setting(argc, argv, 1, "WISP_BENCH_MIB", 1024);
    const long entries = Setting(argc, argv, 2, "WISP_BENCH_ENTRIES", 100000);
    const long runs = std::max(1L, Setting(argc, argv, 3, "WISP_BENCH_RUNS", 5));
    const char* tlsSetting = std::getenv("WISP_BENCH_TLS");
    const std::string tlsPart = tlsSetting != nullptr ? tlsSetting : "";
    if (mib < 2 || mib > 2047 || entries < 1 || (!tlsPart.empty() && tlsPart != "no" && tlsPart != "only")) {
        std::fprintf(stderr,
                     "usage: [WISP_BENCH_TLS=no|only] TransferBench [MiB (2..2047) [entries [runs]]]\n");
        return 2;
    }
    const bool plainPart = tlsPart != "only";
    const bool tlsPartToo = tlsPart != "no";
    if (std::system("curl --version >/dev/null 2>&1") != 0) {
        std::fprintf(stderr, "curl is missing\n");
        return 2;
    }
    Plan plan;
    plan.bytes = static_cast<std::size_t>(mib) << 20;
    plan.runs = runs;
    plan.lftp = HaveLftp();
    if (!plan.lftp) {
        std::fprintf(stderr, "lftp is missing: measuring the engine against curl only\n");
    }
    std::printf("download %ld MiB, upload %ld MiB, directory of %ld entries, %ld runs; parts: %s\n", mib,
                mib / 2, entries, runs,
                plainPart && tlsPartToo ? "plain and TLS"
                : plainPart             ? "plain"
                                        : "TLS");

    // Downloads land on tmpfs, so only the network path and the clients count.
    plan.scratch = fs::path("/dev/shm") / ("wisp-bench-" + std::to_string(::getpid()));
    plan.upFile = plan.scratch / "up.bin";
    std::error_code error;
    fs::create_directories(plan.scratch / "engine", error);
    if (!WriteBigFile(plan.upFile, plan.bytes / 2)) {
        std::fprintf(stderr, "cannot prepare the upload in %s\n", plan.scratch.c_str());
        return 1;
    }

    Times download, upload, listing, tlsDownload, tlsUpload, ipv6Download, ipv6Listing;
    bool ipv6Measured = false;
    int status = 0;
    if (plainPart) {
        // One server at a time: each holds its own copy of the big file.
        const std::unique_ptr<BenchServer> server = StartServing(false, plan);
        if (!server) {
            status = 2;
        } else if (!MakeManyEntries(server->Root() / "many", entries)) {
            std::fprintf(stderr, "cannot prepare the served directory\n");
            status = 1;
        } else if (!MeasureDownload(*server, plan, "download", download) ||
                   !MeasureUpload(*server, plan, "upload", upload) ||
                   !MeasureListing(*server, plan, entries, listing)) {
            status = 1;
        }
    }
    // The same download and listing over ::1: EPSV instead of PASV, IPv6 instead of IPv4.
    if (plainPart && status == 0) {
        const std::unique_ptr<BenchServer> server = StartServing(false, plan, "::1");
        if (!server) {
            std::fprintf(stderr, "no measurement over ::1\n");
        } else if (!MakeManyEntries(server->Root() / "many", entries)) {
            std::fprintf(stderr, "cannot prepare the served directory\n");
            status = 1;
        } else if (!MeasureDownload(*server, plan, "IPv6 download", ipv6Download) ||
                   !MeasureListing(*server, plan, entries, ipv6Listing, "IPv6 listing")) {
            status = 1;
        } else {
            ipv6Measured = true;
        }
    }
    if (tlsPartToo && status == 0) {
        const std::unique_ptr<BenchServer> server = StartServing(true, plan);
        if (!server) {
            status = 2;
        } else if (!MeasureDownload(*server, plan, "TLS download", tlsDownload) ||
                   !MeasureUpload(*server, plan, "TLS upload", tlsUpload)) {
            status = 1;
        }
    }
    fs::remove_all(plan.scratch, error);
    if (status != 0) {
        return status;
    }
    if (plainPart) {
        download.Print("download");
        upload.Print("upload");
        listing.Print("listing");
        std::printf("goals: download fastest (%s), upload fastest (%s), listing ratio <= 1.5 (%s)\n",
                    download.Fastest() ? "met" : "NOT met", upload.Fastest() ? "met" : "NOT met",
                    Median(listing.engine) <= 1.5 * Median(listing.curl) ? "met" : "NOT met");
    }
    if (ipv6Measured) {
        ipv6Download.Print("IPv6 download");
        ipv6Listing.Print("IPv6 listing");
        std::printf("engine over 127.0.0.1 / ::1: download %.3f s / %.3f s, listing %.3f s / %.3f s\n",
                    Median(download.engine), Median(ipv6Download.engine), Median(listing.engine),
                    Median(ipv6Listing.engine));
    }
    if (tlsPartToo) {
        tlsDownload.Print("TLS download");
        tlsUpload.Print("TLS upload");
        std::printf("goals: TLS download at most lftp's time (%s)\n",
                    tlsDownload.AtMostLftp() ? "met" : "NOT met");
    }
    return 0;
}

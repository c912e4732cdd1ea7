// Download and upload speed of the SFTP layer against OpenSSH's own clients (`sftp -b` and `scp`), on the
// same sshd on 127.0.0.1 (the tests' launcher, tests/support/RealSshServer).
//
// Run (RelWithDebInfo):
//   cmake --build build --target SftpBench && build/SftpBench [MiB [runs [one-way delay ms]]]
// Defaults: a 1024 MiB download and an upload of half that, 5 runs, no delay; WISP_BENCH_MIB,
// WISP_BENCH_RUNS and WISP_BENCH_DELAY_MS give the same numbers. With a delay every client goes through a
// relay of the bench's own that holds each chunk that long in each direction (a long link: the round
// trip is twice the delay), which works where the kernel has no netem and needs no privileges. The clients
// run interleaved (ours with each upload write size and read depth tried, then sftp, then scp, in each run),
// each with a new connection and login, with every file in a tmpfs folder (/dev/shm) so that the disk does
// not count. Prints each run and the medians. Exits with 2 when sshd is not installed.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "sftp/SftpClient.h"
#include "sftp/SshConnection.h"
#include "support/DelayingRelay.h"
#include "support/RealSshServer.h"
#include "support/SshTestKit.h"
#include "support/TempDir.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

struct Variant {
    std::string name;
    SftpClient::Tuning tuning;
};

double Seconds(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// One transfer with the SFTP layer on a new connection; negative on failure.
double OurTransfer(const RealSshServer& server, std::uint16_t port, const std::string& key,
                   const SftpClient::Tuning& tuning, bool download, const fs::path& remote,
                   const fs::path& local) {
    ScriptedPrompts prompts;
    TwoChannelLog log;
    SshConnectOptions options = OptionsFor(server);
    options.keyFiles = {key};
    options.port = port;
    const auto start = Clock::now();
    SshConnection connection(log, prompts);
    if (!connection.Open(options)) {
        std::fprintf(stderr, "%s", log.Messages().c_str());
        return -1;
    }
    SftpClient client(connection);
    client.SetTuning(tuning);
    if (!client.Open()) {
        return -1;
    }
    SftpTransferResult result = download ? client.Download(remote.string(), local.string(), 0)
                                         : client.Upload(local.string(), remote.string(), 0);
    if (!result.result) {
        std::fprintf(stderr, "%s\n", result.result.reason.c_str());
        return -1;
    }
    return Seconds(start);
}

std::vector<std::string> SshOptions(const RealSshServer& server, const std::string& key) {
    return {"-i", key,
            "-o", "StrictHostKeyChecking=no",
            "-o", "UserKnownHostsFile=" + (server.Dir() / "known_hosts").string(),
            "-o", "BatchMode=yes",
            "-o", "IdentitiesOnly=yes"};
}

double OpenSshSftp(const RealSshServer& server, std::uint16_t port, const std::string& key, bool download,
                   const fs::path& remote, const fs::path& local) {
    const fs::path batch = server.Dir() / "batch";
    TempDir::WriteFileAt(batch, (download ? "get " + remote.string() + " " + local.string()
                                          : "put " + local.string() + " " + remote.string()) +
                                    "\n");
    std::vector<std::string> argv = {"sftp", "-q", "-b", batch.string(), "-P", std::to_string(port)};
    for (const std::string& option : SshOptions(server, key)) {
        argv.push_back(option);
    }
    argv.push_back(server.User() + "@127.0.0.1");
    const auto start = Clock::now();
    std::string output;
    if (RealSshServer::Run(argv, &output) != 0) {
        std::fprintf(stderr, "sftp: %s\n", output.c_str());
        return -1;
    }
    return Seconds(start);
}

double OpenSshScp(const RealSshServer& server, std::uint16_t port, const std::string& key, bool download,
                  const fs::path& remote, const fs::path& local) {
    std::vector<std::string> argv = {"scp", "-q", "-P", std::to_string(port)};
    for (const std::string& option : SshOptions(server, key)) {
        argv.push_back(option);
    }
    const std::string remoteName = server.User() + "@127.0.0.1:" + remote.string();
    argv.push_back(download ? remoteName : local.string());
    argv.push_back(download ? local.string() : remoteName);
    const auto start = Clock::now();
    std::string output;
    if (RealSshServer::Run(argv, &output) != 0) {
        std::fprintf(stderr, "scp: %s\n", output.c_str());
        return -1;
    }
    return Seconds(start);
}

double Median(std::vector<double> values) {
    if (values.empty()) {
        return -1;
    }
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    const char* mibText = argc > 1 ? argv[1] : std::getenv("WISP_BENCH_MIB");
    const char* runsText = argc > 2 ? argv[2] : std::getenv("WISP_BENCH_RUNS");
    const std::size_t mib = mibText != nullptr ? std::strtoul(mibText, nullptr, 10) : 1024;
    const int runs = runsText != nullptr ? std::atoi(runsText) : 5;
    const char* delayText = argc > 3 ? argv[3] : std::getenv("WISP_BENCH_DELAY_MS");
    const int delayMs = delayText != nullptr ? std::atoi(delayText) : 0;
    RealSshServer server;
    if (!server.Running()) {
        std::fprintf(stderr, "sshd: %s\n", server.Error().c_str());
        return 2;
    }
    const std::string key = server.MakeClientKey("id_bench", "ed25519");
    std::unique_ptr<DelayingRelay> relay;
    std::uint16_t port = server.Port();
    if (delayMs > 0) {
        relay = std::make_unique<DelayingRelay>(server.Port(), std::chrono::milliseconds(delayMs));
        if (!relay->Listening()) {
            std::fprintf(stderr, "the delaying relay could not listen\n");
            return 1;
        }
        port = relay->Port();
    }
    TempDir shm("wisp-sftp-bench");
    // tmpfs on both sides.
    const fs::path folder = fs::path("/dev/shm") / shm.Path().filename();
    fs::create_directories(folder);
    const fs::path source = folder / "source.bin";
    const fs::path uploadSource = folder / "upload-source.bin";
    {
        const std::string block = TempDir::PatternBytes(1 << 20, 11);
        std::FILE* big = std::fopen(source.c_str(), "wb");
        for (std::size_t i = 0; i < mib; ++i) {
            std::fwrite(block.data(), 1, block.size(), big);
        }
        std::fclose(big);
        fs::copy_file(source, uploadSource);
        fs::resize_file(uploadSource, mib / 2 * (1 << 20));
    }
    std::vector<Variant> downloads = {{"wisp 64K x 32", {64 * 1024, 32, 255 * 1024}},
                                      {"wisp 32K x 64", {32 * 1024, 64, 255 * 1024}},
                                      {"wisp 128K x 16", {128 * 1024, 16, 255 * 1024}}};
    std::vector<Variant> uploads = {{"wisp 32K x 64", {64 * 1024, 32, 32 * 1024, 64}},
                                    {"wisp 64K x 32", {64 * 1024, 32, 64 * 1024, 32}},
                                    {"wisp 255K x 8", {64 * 1024, 32, 255 * 1024, 8}}};
    std::map<std::string, std::vector<double>> times;
    std::vector<std::string> order;
    auto record = [&](const std::string& name, double seconds) {
        if (times.find(name) == times.end()) {
            order.push_back(name);
        }
        times[name].push_back(seconds);
        std::printf("  %-28s %8.3f s\n", name.c_str(), seconds);
        std::fflush(stdout);
    };
    const fs::path target = folder / "target.bin";
    for (int run = 1; run <= runs; ++run) {
        std::printf("run %d: download %zu MiB, upload %zu MiB\n", run, mib, mib / 2);
        for (const Variant& variant : downloads) {
            record("download " + variant.name,
                   OurTransfer(server, port, key, variant.tuning, true, source, target));
            fs::remove(target);
        }
        record("download sftp -b", OpenSshSftp(server, port, key, true, source, target));
        fs::remove(target);
        record("download scp", OpenSshScp(server, port, key, true, source, target));
        fs::remove(target);
        for (const Variant& variant : uploads) {
            record("upload " + variant.name,
                   OurTransfer(server, port, key, variant.tuning, false, target, uploadSource));
            fs::remove(target);
        }
        record("upload sftp -b", OpenSshSftp(server, port, key, false, target, uploadSource));
        fs::remove(target);
        record("upload scp", OpenSshScp(server, port, key, false, target, uploadSource));
        fs::remove(target);
    }
    std::printf("\nmedians of %d runs (download %zu MiB, upload %zu MiB, 127.0.0.1, tmpfs, %d ms each way)\n",
                runs, mib, mib / 2, delayMs);
    std::printf("%-30s %10s %10s\n", "client", "seconds", "MiB/s");
    for (const std::string& name : order) {
        double median = Median(times[name]);
        double size =
            name.rfind("download", 0) == 0 ? static_cast<double>(mib) : static_cast<double>(mib / 2);
        std::printf("%-30s %10.3f %10.1f\n", name.c_str(), median, median > 0 ? size / median : 0.0);
    }
    fs::remove_all(folder);
    return 0;
}

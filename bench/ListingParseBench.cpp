// How fast listing lines become entries: parses 100,000 typical Unix listing lines (files, directories
// and links, dates with a time of day or a year) and prints the time taken and the rate.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "listing/RemoteEntry.h"

namespace {

constexpr int kLines = 100000;
constexpr int kRounds = 5;

std::vector<std::string> TypicalLines() {
    static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    std::vector<std::string> lines;
    lines.reserve(kLines);
    for (int i = 0; i < kLines; ++i) {
        std::string date = std::string(months[i % 12]) + " " + std::to_string(1 + i % 28) + " " +
                           (i % 2 == 0 ? std::to_string(10 + i % 14) + ":" + std::to_string(10 + i % 50)
                                       : std::to_string(1995 + i % 30));
        switch (i % 10) {
            case 0:
                lines.push_back("drwxr-xr-x   2 ftp      ftp          4096 " + date + " directory" +
                                std::to_string(i));
                break;
            case 1:
                lines.push_back("lrwxrwxrwx   1 ftp      ftp            11 " + date + " link" +
                                std::to_string(i) + " -> ../target/file" + std::to_string(i));
                break;
            default:
                lines.push_back("-rw-r--r--   1 ftp      ftp      " + std::to_string(1000 + i * 37) + " " +
                                date + " some file name " + std::to_string(i) + ".tar.gz");
                break;
        }
    }
    return lines;
}

// Processor time of this process in milliseconds: on a machine shared with other work it says more
// than the wall clock.
double CpuMilliseconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

}  // namespace

int main() {
    std::vector<std::string> lines = TypicalLines();
    double bestWall = 1e9;
    double bestCpu = 1e9;
    std::int64_t checksum = 0;
    for (int round = 0; round < kRounds; ++round) {
        auto start = std::chrono::steady_clock::now();
        double cpuStart = CpuMilliseconds();
        for (const std::string& line : lines) {
            RemoteEntry entry = RemoteEntry::FromListingLine(line);
            checksum += entry.Time() + entry.Size() + static_cast<std::int64_t>(entry.Name().size());
        }
        std::chrono::duration<double, std::milli> wall = std::chrono::steady_clock::now() - start;
        bestWall = std::min(bestWall, wall.count());
        bestCpu = std::min(bestCpu, CpuMilliseconds() - cpuStart);
    }
    const char* zone = std::getenv("TZ");
    std::printf(
        "ListingParseBench: %d lines in %.1f ms wall, %.1f ms CPU (best of %d), %.2f million lines/s; "
        "TZ=%s (checksum %lld)\n",
        kLines, bestWall, bestCpu, kRounds, kLines / bestCpu / 1000.0, zone ? zone : "(unset)",
        static_cast<long long>(checksum));
    return 0;
}

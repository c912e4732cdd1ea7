// How fast listing lines become entries: parses 100,000 lines of each format the page reads (typical
// Unix long listing lines of files, directories and links with a time of day or a year; MLSD lines;
// DOS/IIS lines with both clocks) through ListingParser and prints the time taken and the rate per format.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "listing/ListingParser.h"

namespace {

constexpr int kLines = 100000;
constexpr int kRounds = 5;

std::string Two(int value) {
    return (value < 10 ? "0" : "") + std::to_string(value);
}

std::vector<std::string> UnixLines() {
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

// As servers send them: type, size (sizd for directories), modify, unix.mode and perm, then the name.
std::vector<std::string> MlsdLines() {
    std::vector<std::string> lines;
    lines.reserve(kLines);
    for (int i = 0; i < kLines; ++i) {
        const std::string modify = std::to_string(1995 + i % 30) + Two(1 + i % 12) + Two(1 + i % 28) +
                                   Two(i % 24) + Two(i % 60) + Two((i * 7) % 60);
        switch (i % 10) {
            case 0:
                lines.push_back("type=dir;sizd=4096;modify=" + modify +
                                ";UNIX.mode=0755;perm=flcdmpe; directory" + std::to_string(i));
                break;
            case 1:
                lines.push_back("type=OS.unix=slink:/target/file" + std::to_string(i) + ";modify=" + modify +
                                "; link" + std::to_string(i));
                break;
            default:
                lines.push_back("type=file;size=" + std::to_string(1000 + i * 37LL * 1000) +
                                ";modify=" + modify + ";UNIX.mode=0644;perm=adfrw; some file name " +
                                std::to_string(i) + ".tar.gz");
                break;
        }
    }
    return lines;
}

// IIS style: two- and four-digit years, 12-hour and 24-hour clocks, <DIR> or a size.
std::vector<std::string> DosLines() {
    std::vector<std::string> lines;
    lines.reserve(kLines);
    for (int i = 0; i < kLines; ++i) {
        const int year = 1995 + i % 30;
        std::string date = Two(1 + i % 12) + "-" + Two(1 + i % 28) + "-" +
                           (i % 2 == 0 ? Two(year % 100) : std::to_string(year)) + "  ";
        date += i % 3 == 0 ? Two(i % 24) + ":" + Two(i % 60)
                           : Two(1 + i % 12) + ":" + Two(i % 60) + (i % 2 == 0 ? "AM" : "PM");
        if (i % 10 == 0) {
            lines.push_back(date + "       <DIR>          directory " + std::to_string(i));
        } else {
            lines.push_back(date + "   " + std::to_string(1000 + i * 37LL * 1000) + " some file name " +
                            std::to_string(i) + ".tar.gz");
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

void Measure(const char* format, const std::vector<std::string>& lines) {
    double bestWall = 1e9;
    double bestCpu = 1e9;
    std::int64_t checksum = 0;
    int rows = 0;
    for (int round = 0; round < kRounds; ++round) {
        auto start = std::chrono::steady_clock::now();
        double cpuStart = CpuMilliseconds();
        rows = 0;
        for (const std::string& line : lines) {
            if (std::optional<RemoteEntry> entry = ListingParser::Parse(line)) {
                checksum += entry->Time() + entry->Size() + static_cast<std::int64_t>(entry->Name().size());
                ++rows;
            }
        }
        std::chrono::duration<double, std::milli> wall = std::chrono::steady_clock::now() - start;
        bestWall = std::min(bestWall, wall.count());
        bestCpu = std::min(bestCpu, CpuMilliseconds() - cpuStart);
    }
    const char* zone = std::getenv("TZ");
    std::printf(
        "ListingParseBench %s: %d lines (%d rows) in %.1f ms wall, %.1f ms CPU (best of %d), %.2f million "
        "lines/s; TZ=%s (checksum %lld)\n",
        format, kLines, rows, bestWall, bestCpu, kRounds, kLines / bestCpu / 1000.0, zone ? zone : "(unset)",
        static_cast<long long>(checksum));
}

}  // namespace

int main() {
    Measure("Unix", UnixLines());
    Measure("MLSD", MlsdLines());
    Measure("DOS", DosLines());
    return 0;
}

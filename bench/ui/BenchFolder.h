#pragma once
// What the listing benchmarks share: a folder of many files of assorted sizes and times (so that every
// sort has work to do), milliseconds of a duration, and waiting on the event loop with a bound.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QApplication>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <functional>
#include <system_error>

namespace BenchFolder {

using Clock = std::chrono::steady_clock;

inline double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

// `entries` files in `folder`, named out of order, of sizes up to 5 MB and an hour apart in time.
inline bool MakeEntries(const std::filesystem::path& folder, long entries) {
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    const std::time_t now = std::time(nullptr);
    char name[48];
    for (long i = 0; i < entries; ++i) {
        std::snprintf(name, sizeof name, "%s-%07ld.dat", (i % 7 == 0) ? "Report" : "entry",
                      (i * 7919) % entries);
        const int fd = ::open((folder / name).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0) {
            return false;
        }
        const timespec times[2] = {{now - i * 3600, 0}, {now - i * 3600, 0}};
        const bool ok = ::ftruncate(fd, (i * 104729) % 5000000) == 0 && ::futimens(fd, times) == 0;
        ::close(fd);
        if (!ok) {
            return false;
        }
    }
    return !error;
}

inline bool PumpUntil(const std::function<bool()>& done, std::chrono::seconds bound) {
    const auto end = Clock::now() + bound;
    while (!done()) {
        if (Clock::now() > end) {
            return false;
        }
        QApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return true;
}

}  // namespace BenchFolder

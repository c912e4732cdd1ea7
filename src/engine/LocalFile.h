#pragma once
// A local file descriptor closed when it goes out of scope, with an early Close for the error some file
// systems report only there.
#include <unistd.h>

#include <cerrno>

class LocalFile {
  public:
    explicit LocalFile(int fd) : fd_(fd) {}
    ~LocalFile() { (void)Close(); }
    LocalFile(const LocalFile&) = delete;
    LocalFile& operator=(const LocalFile&) = delete;

    bool IsOpen() const { return fd_ >= 0; }
    int Fd() const { return fd_; }
    // 0, or the errno of a failing close (some file systems report late write errors only here).
    int Close() {
        if (fd_ < 0) {
            return 0;
        }
        const int rc = ::close(fd_);
        fd_ = -1;
        return rc == 0 ? 0 : errno;
    }

  private:
    int fd_;
};

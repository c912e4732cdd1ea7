#pragma once
// SFTP reads and writes sent as packets of our own on the subsystem's channel, for the transfers libssh
// 0.10 cannot keep many of in flight (it waits for each write) or feeds through a narrow channel window
// (1.25 MB: a long link idles). Answers are read back in large reads, which widen the window as they
// go. Only while nothing else is outstanding on the channel: libssh reads nothing meanwhile, so its
// own bookkeeping stays whole. Ids come from the session's counter.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct sftp_session_struct;

class SftpRawChannel {
  public:
    struct Answer {
        std::uint32_t id = 0;
        // SSH_FXP_STATUS (101) or SSH_FXP_DATA (103).
        std::uint8_t type = 0;
        // The status code of a STATUS answer.
        std::uint32_t status = 0;
        // The bytes of a DATA answer; valid until the next call of Next.
        std::string_view data;
    };

    explicit SftpRawChannel(sftp_session_struct* sftp);

    // Send one request for the open file `handle`; the request's id, or 0 when the channel failed.
    std::uint32_t SendRead(const std::string& handle, std::int64_t offset, std::uint32_t length);
    std::uint32_t SendWrite(const std::string& handle, std::int64_t offset, const char* data,
                            std::uint32_t length);
    // The next answer of the server; false when the channel ended or failed, or the answer was malformed
    // (`malformed` then says how).
    bool Next(Answer& answer, std::string& malformed);

  private:
    // A packet of `type` for `handle` with room for `extra` bytes after the handle; its id is set.
    std::uint32_t Begin(std::uint8_t type, const std::string& handle, std::size_t extra);
    bool Send();
    // At least `size` unread bytes in the inbox; false when the channel ended first.
    bool Fill(std::size_t size);

    sftp_session_struct* sftp_;
    std::string packet_;
    std::string inbox_;
    std::size_t read_ = 0;
    std::vector<char> scratch_;
};

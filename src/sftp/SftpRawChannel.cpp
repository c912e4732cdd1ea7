#include "sftp/SftpRawChannel.h"

#include <libssh/libssh.h>
#include <libssh/sftp.h>

#include <cstring>

namespace {

constexpr std::uint8_t kFxpRead = 5;
constexpr std::uint8_t kFxpWrite = 6;
constexpr std::uint8_t kFxpStatus = 101;
constexpr std::uint8_t kFxpData = 103;
// Each read from the channel asks for this much: libssh widens the channel's window to it.
constexpr std::size_t kReadSize = 4 * 1024 * 1024;
// Longer answers than this are not ours (a read asks for at most a few hundred KiB).
constexpr std::uint32_t kLongestAnswer = 1024 * 1024;

void PutUint32(std::string& out, std::uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) {
        out.push_back(static_cast<char>((value >> shift) & 0xff));
    }
}

void PutUint64(std::string& out, std::int64_t value) {
    const auto bits = static_cast<std::uint64_t>(value);
    PutUint32(out, static_cast<std::uint32_t>(bits >> 32));
    PutUint32(out, static_cast<std::uint32_t>(bits & 0xffffffffu));
}

std::uint32_t GetUint32(const char* in) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(in);
    return (std::uint32_t{bytes[0]} << 24) | (std::uint32_t{bytes[1]} << 16) |
           (std::uint32_t{bytes[2]} << 8) | bytes[3];
}

}  // namespace

SftpRawChannel::SftpRawChannel(sftp_session_struct* sftp) : sftp_(sftp), scratch_(kReadSize) {}

std::uint32_t SftpRawChannel::Begin(std::uint8_t type, const std::string& handle, std::size_t extra) {
    const std::uint32_t id = ++sftp_->id_counter;
    packet_.clear();
    PutUint32(packet_, static_cast<std::uint32_t>(1 + 4 + 4 + handle.size() + extra));
    packet_.push_back(static_cast<char>(type));
    PutUint32(packet_, id);
    PutUint32(packet_, static_cast<std::uint32_t>(handle.size()));
    packet_ += handle;
    return id;
}

bool SftpRawChannel::Send() {
    return ssh_channel_write(sftp_->channel, packet_.data(), static_cast<std::uint32_t>(packet_.size())) ==
           static_cast<int>(packet_.size());
}

std::uint32_t SftpRawChannel::SendRead(const std::string& handle, std::int64_t offset, std::uint32_t length) {
    const std::uint32_t id = Begin(kFxpRead, handle, 8 + 4);
    PutUint64(packet_, offset);
    PutUint32(packet_, length);
    return Send() ? id : 0;
}

std::uint32_t SftpRawChannel::SendWrite(const std::string& handle, std::int64_t offset, const char* data,
                                        std::uint32_t length) {
    const std::uint32_t id = Begin(kFxpWrite, handle, 8 + 4 + length);
    PutUint64(packet_, offset);
    PutUint32(packet_, length);
    packet_.append(data, length);
    return Send() ? id : 0;
}

bool SftpRawChannel::Fill(std::size_t size) {
    while (inbox_.size() - read_ < size) {
        const int got =
            ssh_channel_read(sftp_->channel, scratch_.data(), static_cast<std::uint32_t>(scratch_.size()), 0);
        if (got <= 0) {
            return false;
        }
        if (read_ > 0 && read_ >= inbox_.size() / 2) {
            inbox_.erase(0, read_);
            read_ = 0;
        }
        inbox_.append(scratch_.data(), static_cast<std::size_t>(got));
    }
    return true;
}

bool SftpRawChannel::Next(Answer& answer, std::string& malformed) {
    malformed.clear();
    if (!Fill(4)) {
        return false;
    }
    const std::uint32_t length = GetUint32(inbox_.data() + read_);
    if (length < 5 || length > kLongestAnswer) {
        malformed = "an answer of " + std::to_string(length) + " bytes";
        return false;
    }
    if (!Fill(4 + std::size_t{length})) {
        return false;
    }
    const char* body = inbox_.data() + read_ + 4;
    read_ += 4 + std::size_t{length};
    answer = Answer{};
    answer.type = static_cast<std::uint8_t>(body[0]);
    answer.id = GetUint32(body + 1);
    if (answer.type == kFxpStatus && length >= 9) {
        answer.status = GetUint32(body + 5);
        return true;
    }
    if (answer.type == kFxpData && length >= 9 && GetUint32(body + 5) <= length - 9) {
        answer.data = std::string_view(body + 9, GetUint32(body + 5));
        return true;
    }
    malformed =
        "an answer of type " + std::to_string(answer.type) + " and " + std::to_string(length) + " bytes";
    return false;
}

#include "sftp/SftpStatusText.h"

#include <array>
#include <string_view>

namespace {

struct StatusName {
    std::string_view words;
    std::string_view symbol;
};

// Codes 0-13 of SFTP version 3 and the drafts after it that servers send back to version 3 clients.
constexpr std::array<StatusName, 14> kNames = {{
    {"ok", "SSH_FX_OK"},
    {"end of file", "SSH_FX_EOF"},
    {"no such file", "SSH_FX_NO_SUCH_FILE"},
    {"permission denied", "SSH_FX_PERMISSION_DENIED"},
    {"failure", "SSH_FX_FAILURE"},
    {"bad message", "SSH_FX_BAD_MESSAGE"},
    {"no connection", "SSH_FX_NO_CONNECTION"},
    {"connection lost", "SSH_FX_CONNECTION_LOST"},
    {"operation unsupported", "SSH_FX_OP_UNSUPPORTED"},
    {"invalid handle", "SSH_FX_INVALID_HANDLE"},
    {"no such path", "SSH_FX_NO_SUCH_PATH"},
    {"file already exists", "SSH_FX_FILE_ALREADY_EXISTS"},
    {"write protected", "SSH_FX_WRITE_PROTECT"},
    {"no media", "SSH_FX_NO_MEDIA"},
}};

}  // namespace

std::string SftpStatusText::Describe(std::uint32_t status) {
    if (status < kNames.size()) {
        const StatusName& name = kNames[status];
        return std::string(name.words) + " (" + std::string(name.symbol) + ")";
    }
    return "unknown status " + std::to_string(status);
}

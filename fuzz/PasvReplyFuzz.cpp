// Any bytes as the last line of a 227 reply and of a 229 reply. What the 227 parser accepts names a real
// port and bytes for the address, and written back in the usual form it reads the same again; what the
// 229 parser accepts is a port from 1 to 65535 that reads the same again in the usual form.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "engine/FtpDataConnection.h"

namespace {

void CheckEpsv(std::string_view line) {
    const auto port = FtpDataConnection::ParseEpsvReply(line);
    if (!port) {
        return;
    }
    if (*port == 0 || line.size() > 128) {
        std::abort();
    }
    const auto again = FtpDataConnection::ParseEpsvReply("229 Entering Extended Passive Mode (|||" +
                                                         std::to_string(*port) + "|)");
    if (again != port) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view line(reinterpret_cast<const char*>(data), size);
    CheckEpsv(line);
    const auto reply = FtpDataConnection::ParsePasvReply(line);
    if (!reply) {
        return 0;
    }
    if (reply->port == 0) {
        std::abort();
    }
    for (const int part : reply->address) {
        if (part < 0 || part > 255) {
            std::abort();
        }
    }
    const std::string again = "227 Entering Passive Mode (" + std::to_string(reply->address[0]) + "," +
                              std::to_string(reply->address[1]) + "," + std::to_string(reply->address[2]) +
                              "," + std::to_string(reply->address[3]) + "," +
                              std::to_string(reply->port / 256) + "," + std::to_string(reply->port % 256) +
                              ").";
    const auto reparsed = FtpDataConnection::ParsePasvReply(again);
    if (!reparsed || reparsed->address != reply->address || reparsed->port != reply->port) {
        std::abort();
    }
    return 0;
}

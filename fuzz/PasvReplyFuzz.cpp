// Any bytes as the last line of a 227 reply. What is accepted names a real port and bytes for the
// address, and written back in the usual form it reads the same again.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "engine/FtpDataConnection.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view line(reinterpret_cast<const char*>(data), size);
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

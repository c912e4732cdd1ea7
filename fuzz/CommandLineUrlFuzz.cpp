// Any bytes as a command-line URL. What is handed on never holds a control character, and the URL
// text never carries a login of its own when the URL box parses it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "app/CommandLine.h"
#include "hosts/FtpUrl.h"

namespace {

bool HasControl(const std::string& text) {
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f) {
            return true;
        }
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    CommandLineUrl url;
    std::string error;
    if (!CommandLine::DecodeUrl(text, url, error)) {
        if (error.empty() || !url.url.empty() || !url.user.empty() || !url.password.empty()) {
            std::abort();
        }
        return 0;
    }
    if (HasControl(url.url) || HasControl(url.user) || HasControl(url.password) || url.url.size() > size) {
        std::abort();
    }
    FtpUrl parsed;
    if (ParseUrl(parsed, url.url) && !parsed.loginDefaulted) {
        std::abort();
    }
    return 0;
}

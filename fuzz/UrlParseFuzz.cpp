// Any bytes through the URL parser and back out as canonical text. A canonical text without "@"
// must parse again to the same canonical text, host, port and path.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "hosts/FtpUrl.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    FtpUrl url;
    const bool ok = ParseUrl(url, text);
    const std::string canonical = FormatUrl(url);
    if (!ok) {
        return 0;
    }
    if (url.host.empty()) {
        std::abort();
    }
    if (canonical.find('@') != std::string::npos) {
        return 0;
    }
    FtpUrl again;
    if (!ParseUrl(again, canonical) || FormatUrl(again) != canonical || again.host != url.host ||
        again.port != url.port || again.path != url.path || again.scheme != url.scheme ||
        !again.typeCode.empty()) {
        std::abort();
    }
    return 0;
}

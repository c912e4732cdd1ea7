// Any bytes as the file that holds a key's values, and every text value in it as a saved site's
// stored text. Neither reader may crash; the file parser's accepted input must be written back byte
// for byte, and a stored site text the program could have written must encode back to itself.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "hosts/HostEntry.h"
#include "platform/ProfileStore.h"

namespace {

void CheckHostValue(const ProfileValue& value) {
    const HostEntry entry = DecodeHostValue(value.name, value.text);
    if (entry.url != value.name || entry.user.size() > kHostFieldMax ||
        entry.password.size() > kHostFieldMax || entry.savePassword != !entry.password.empty()) {
        std::abort();
    }
    const std::size_t comma = value.text.find(',');
    if (comma != std::string::npos && comma <= kHostFieldMax &&
        value.text.size() - comma - 1 <= kHostFieldMax &&
        EncodeHostValue(entry.user, entry.password) != value.text) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const std::optional<std::vector<ProfileValue>> values = ProfileStore::ParseValueFile(bytes);
    if (!values) {
        // The same bytes may also be a bare stored site text.
        CheckHostValue(ProfileValue{"site", ProfileValueType::String, std::string(bytes), 0});
        return 0;
    }
    if (ProfileStore::FormatValueFile(*values) != bytes) {
        std::abort();
    }
    for (const ProfileValue& value : *values) {
        if (value.type == ProfileValueType::String) {
            CheckHostValue(value);
        }
    }
    return 0;
}

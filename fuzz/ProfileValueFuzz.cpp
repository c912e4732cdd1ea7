// Any bytes as the file that holds a key's values. The parser must never crash, and whatever it
// accepts must be written back byte for byte (the format has one spelling per set of values).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "platform/ProfileStore.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const std::optional<std::vector<ProfileValue>> values = ProfileStore::ParseValueFile(bytes);
    if (values && ProfileStore::FormatValueFile(*values) != bytes) {
        std::abort();
    }
    return 0;
}

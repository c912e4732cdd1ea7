// Builds the properties texts for entries parsed from the input's lines (first byte: the selected count)
// and the size summary and long date of arbitrary values, checking the shape of every text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "listing/EnglishDate.h"
#include "listing/PropertiesTexts.h"
#include "listing/RemoteName.h"

namespace {

constexpr std::time_t kNow = 1741622400;

void Check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 13) {
        return 0;
    }
    std::int64_t total;
    std::memcpy(&total, data, sizeof total);
    std::int32_t time;
    std::memcpy(&time, data + 8, sizeof time);
    int count = static_cast<std::int8_t>(data[12]);
    std::string_view rest(reinterpret_cast<const char*>(data + 13), size - 13);

    std::string summary = SizeSummary(total);
    Check(summary.ends_with(total > 1024 ? " bytes)" : " bytes"));
    Check(summary.find(',') == std::string::npos);
    std::string date = LongDateText(time);
    Check(time < 0 ? date.empty() : (date.ends_with(" AM") || date.ends_with(" PM")));

    std::vector<RemoteEntry> selected;
    while (!rest.empty() && selected.size() < 64) {
        std::size_t end = rest.find('\n');
        std::string_view line = rest.substr(0, std::min<std::size_t>(end, 511));
        selected.push_back(RemoteEntry::FromListingLine(line, kNow));
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    }
    PropertiesTexts texts = PropertiesTexts::Build(selected, count);
    Check(texts.iconIndex >= 0 && texts.iconIndex <= PropertiesTexts::kSeveralIcon);
    Check(!texts.sizeSummary.empty());
    Check(texts.Caption().ends_with("roperties"));
    if (count == 1 && !selected.empty()) {
        Check(texts.headingText == RemoteName::DisplayText(selected.front().Name()));
    } else {
        Check(texts.headingText.ends_with(" Symbolic links"));
    }
    return 0;
}

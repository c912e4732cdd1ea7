// Names from the server as the user sees them and as a download stores them: UTF-8 in any script kept,
// other bytes read as Latin-1, control characters and '/' made harmless.
#include <gtest/gtest.h>

#include <string>

#include "listing/RemoteEntry.h"
#include "listing/RemoteName.h"

using namespace std::string_literals;

namespace {

struct NameCase {
    const char* what;
    std::string serverBytes;
    std::string display;
    std::string local;  // empty: the same as the display text
};

const std::string kMark = "\xEF\xBF\xBD";  // U+FFFD
const std::string kCyrillic = "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82.txt";

const NameCase kNames[] = {
    {"ASCII", "readme.txt", "readme.txt", ""},
    {"Cyrillic", kCyrillic, kCyrillic, ""},
    {"CJK", "\xE6\x96\x87\xE4\xBB\xB6.txt", "\xE6\x96\x87\xE4\xBB\xB6.txt", ""},
    {"emoji", "\xF0\x9F\x98\x80.png", "\xF0\x9F\x98\x80.png", ""},
    {"NFD accent stays decomposed", "cafe\xCC\x81", "cafe\xCC\x81", ""},
    // Not UTF-8: every byte is its Latin-1 character
    {"lone 0xE9", "caf\xE9", "caf\xC3\xA9", ""},
    {"one bad byte makes all Latin-1", "\xD0\xB0\xFF", "\xC3\x90\xC2\xB0\xC3\xBF", ""},
    {"truncated sequence", "\xE6\x96x", "\xC3\xA6" + kMark + "x", "\xC3\xA6_x"},
    {"overlong slash is not a slash", "\xC0\xAF", "\xC3\x80\xC2\xAF", ""},
    {"overlong three-byte slash", "\xE0\x80\xAF", "\xC3\xA0" + kMark + "\xC2\xAF", "\xC3\xA0_\xC2\xAF"},
    {"surrogate", "\xED\xA0\x80", "\xC3\xAD\xC2\xA0" + kMark, "\xC3\xAD\xC2\xA0_"},
    {"past U+10FFFF", "\xF4\x90\x80\x80", "\xC3\xB4" + kMark + kMark + kMark, "\xC3\xB4___"},
    // Control characters and '/'
    {"tab and DEL", "a\tb\x7F", "a" + kMark + "b" + kMark, "a_b_"},
    {"NUL", "nul\0name"s, "nul" + kMark + "name", "nul_name"},
    {"C1 control in UTF-8", "\xC2\x85x", kMark + "x", "_x"},
    {"slash", "../a/b", "../a/b", ".._a_b"},
    // Left for IsSafeLocalName to refuse
    {"empty", "", "", ""},
    {"dot dot", "..", "..", ""},
};

TEST(RemoteNameTest, DisplayTextAndLocalFileName) {
    for (const NameCase& c : kNames) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(RemoteName::DisplayText(c.serverBytes), c.display);
        const std::string local = RemoteName::LocalFileName(c.serverBytes);
        EXPECT_EQ(local, c.local.empty() ? c.display : c.local);
        EXPECT_EQ(IsSafeLocalName(local), local != "" && local != "..");
    }
}

}  // namespace

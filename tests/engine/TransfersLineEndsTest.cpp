// The line-end conversion of ASCII transfers on its own: every text of the table gives the same result
// whole, cut in two at every place, and one byte at a time, so a CR LF split between blocks is one line end
// and a CR held back at a block's end is never lost.
#include "engine/LineEndConverter.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Mode = LineEndConverter::Mode;
using namespace std::string_literals;

// Runs `text` through a fresh converter in the given pieces, then ends it.
std::string ConvertInPieces(Mode mode, const std::string& text, const std::vector<std::size_t>& cuts) {
    LineEndConverter converter(mode);
    std::string out;
    std::size_t from = 0;
    auto cut = cuts.begin();
    while (from < text.size()) {
        const std::size_t to = cut == cuts.end() ? text.size() : *cut++;
        const auto piece = converter.Convert(std::string_view(text).substr(from, to - from));
        EXPECT_TRUE(piece.has_value());
        if (piece) {
            out += *piece;
        }
        from = to;
    }
    out += converter.Finish();
    return out;
}

std::vector<std::size_t> EveryByte(std::size_t size) {
    std::vector<std::size_t> cuts;
    for (std::size_t i = 1; i < size; ++i) {
        cuts.push_back(i);
    }
    return cuts;
}

TEST(TransfersLineEnds, SameResultHoweverTheTextIsCut) {
    struct Case {
        const char* what;
        Mode mode;
        std::string text;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"download: nothing", Mode::ToLocal, "", ""},
        {"download: CR LF lines", Mode::ToLocal, "one\r\ntwo\r\n", "one\ntwo\n"},
        {"download: LF lines stay", Mode::ToLocal, "one\ntwo\n", "one\ntwo\n"},
        {"download: lone CR stays", Mode::ToLocal, "one\rtwo", "one\rtwo"},
        {"download: only a CR", Mode::ToLocal, "\r", "\r"},
        {"download: CR at the end", Mode::ToLocal, "one\r\ntwo\r", "one\ntwo\r"},
        {"download: two CRs at the end", Mode::ToLocal, "x\r\r", "x\r\r"},
        {"download: CR before CR LF", Mode::ToLocal, "a\r\r\nb", "a\r\nb"},
        {"download: LF CR", Mode::ToLocal, "\n\r\n\r", "\n\n\r"},
        {"download: empty lines", Mode::ToLocal, "\r\n\r\n\r\n", "\n\n\n"},
        {"download: mixed", Mode::ToLocal, "one\r\ntwo\nthree\rfour\r\n", "one\ntwo\nthree\rfour\n"},
        {"download: NUL kept", Mode::ToLocal, "a\0\r\n\0"s, "a\0\n\0"s},
        {"upload: nothing", Mode::ToNetwork, "", ""},
        {"upload: LF lines", Mode::ToNetwork, "one\ntwo\n", "one\r\ntwo\r\n"},
        {"upload: CR LF not doubled", Mode::ToNetwork, "one\r\ntwo\r\n", "one\r\ntwo\r\n"},
        {"upload: lone CR stays", Mode::ToNetwork, "one\rtwo\r", "one\rtwo\r"},
        {"upload: only an LF", Mode::ToNetwork, "\n", "\r\n"},
        {"upload: empty lines", Mode::ToNetwork, "\n\n\n", "\r\n\r\n\r\n"},
        {"upload: CR CR LF", Mode::ToNetwork, "\r\r\n", "\r\r\n"},
        {"upload: LF CR LF CR", Mode::ToNetwork, "\n\r\n\r", "\r\n\r\n\r"},
        {"upload: mixed", Mode::ToNetwork, "a\r\nb\nc\rd\n\n", "a\r\nb\r\nc\rd\r\n\r\n"},
        {"upload: NUL kept", Mode::ToNetwork, "\0\n\0"s, "\0\r\n\0"s},
        {"image: every byte as it is", Mode::Unchanged, "a\r\nb\nc\r", "a\r\nb\nc\r"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(ConvertInPieces(c.mode, c.text, {}), c.expected);
        EXPECT_EQ(ConvertInPieces(c.mode, c.text, EveryByte(c.text.size())), c.expected);
        for (std::size_t cut = 0; cut <= c.text.size(); ++cut) {
            EXPECT_EQ(ConvertInPieces(c.mode, c.text, {cut}), c.expected) << "cut at " << cut;
        }
    }
}

}  // namespace

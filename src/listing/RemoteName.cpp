#include "listing/RemoteName.h"

#include <cstdint>

namespace {

constexpr std::string_view kReplacementCharacter = "\xEF\xBF\xBD";  // U+FFFD

bool IsContinuation(unsigned char c) {
    return (c & 0xC0u) == 0x80u;
}

// The length of the well-formed sequence at `pos`, or 0: the shortest form only, no surrogates, nothing
// past U+10FFFF.
std::size_t SequenceLength(std::string_view text, std::size_t pos) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[pos + i]); };
    const unsigned char lead = byte(0);
    if (lead < 0x80u) {
        return 1;
    }
    std::size_t length = 0;
    unsigned char low = 0x80u;  // the range of the second byte
    unsigned char high = 0xBFu;
    if (lead >= 0xC2u && lead <= 0xDFu) {
        length = 2;
    } else if (lead >= 0xE0u && lead <= 0xEFu) {
        length = 3;
        low = lead == 0xE0u ? 0xA0u : 0x80u;
        high = lead == 0xEDu ? 0x9Fu : 0xBFu;
    } else if (lead >= 0xF0u && lead <= 0xF4u) {
        length = 4;
        low = lead == 0xF0u ? 0x90u : 0x80u;
        high = lead == 0xF4u ? 0x8Fu : 0xBFu;
    } else {
        return 0;
    }
    if (pos + length > text.size() || byte(1) < low || byte(1) > high) {
        return 0;
    }
    for (std::size_t i = 2; i < length; ++i) {
        if (!IsContinuation(byte(i))) {
            return 0;
        }
    }
    return length;
}

bool IsValidUtf8(std::string_view text) {
    for (std::size_t pos = 0; pos < text.size();) {
        const std::size_t length = SequenceLength(text, pos);
        if (length == 0) {
            return false;
        }
        pos += length;
    }
    return true;
}

bool IsControl(std::uint32_t codePoint) {
    return codePoint < 0x20u || (codePoint >= 0x7Fu && codePoint <= 0x9Fu);
}

// Nothing to decode or replace: the common case, copied as it is.
bool IsPlain(std::string_view text, bool slashToo) {
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x7Fu || byte < 0x20u || (slashToo && c == '/')) {
            return false;
        }
    }
    return true;
}

// The text as UTF-8 with control characters (and '/', when `slashToo`) as `mark`.
std::string Convert(std::string_view text, std::string_view mark, bool slashToo) {
    if (IsPlain(text, slashToo)) {
        return std::string(text);
    }
    std::string out;
    out.reserve(text.size() + text.size() / 2);
    const bool utf8 = IsValidUtf8(text);
    for (std::size_t pos = 0; pos < text.size();) {
        const auto lead = static_cast<unsigned char>(text[pos]);
        if (lead < 0x80u) {
            if (IsControl(lead) || (slashToo && lead == '/')) {
                out += mark;
            } else {
                out += static_cast<char>(lead);
            }
            ++pos;
        } else if (utf8) {
            const std::size_t length = SequenceLength(text, pos);
            // C1 controls are U+0080 to U+009F: 0xC2 followed by 0x80 to 0x9F.
            if (lead == 0xC2u && static_cast<unsigned char>(text[pos + 1]) <= 0x9Fu) {
                out += mark;
            } else {
                out.append(text.substr(pos, length));
            }
            pos += length;
        } else {
            if (IsControl(lead)) {
                out += mark;
            } else {
                out += static_cast<char>(0xC0u | (lead >> 6));
                out += static_cast<char>(0x80u | (lead & 0x3Fu));
            }
            ++pos;
        }
    }
    return out;
}

}  // namespace

std::string RemoteName::DisplayText(std::string_view serverBytes) {
    return Convert(serverBytes, kReplacementCharacter, false);
}

std::string RemoteName::LocalFileName(std::string_view serverBytes) {
    return Convert(serverBytes, "_", true);
}

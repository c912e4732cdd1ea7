#include "engine/LineEndConverter.h"

#include <cstring>
#include <new>

namespace {

constexpr char kCr = '\r';
constexpr char kLf = '\n';

// Copies [from, to) to `out` and returns the end of the copy.
char* CopyRun(char* out, const char* from, const char* to) {
    const auto n = static_cast<std::size_t>(to - from);
    if (n > 0) {
        std::memcpy(out, from, n);
    }
    return out + n;
}

}  // namespace

bool LineEndConverter::Reserve(std::size_t size) {
    if (size <= capacity_) {
        return true;
    }
    buffer_.reset(new (std::nothrow) char[size]);
    capacity_ = buffer_ ? size : 0;
    return buffer_ != nullptr;
}

std::optional<std::string_view> LineEndConverter::Convert(std::string_view block) {
    if (mode_ == Mode::Unchanged || block.empty()) {
        return block;
    }
    const char* in = block.data();
    const char* const end = in + block.size();
    if (mode_ == Mode::ToLocal) {
        // At most the held-back CR more than came in.
        if (!Reserve(block.size() + 1)) {
            return std::nullopt;
        }
        char* out = buffer_.get();
        if (afterCr_ && *in != kLf) {
            *out++ = kCr;  // it was a lone CR
        }
        afterCr_ = false;
        while (in < end) {
            const auto* cr =
                static_cast<const char*>(std::memchr(in, kCr, static_cast<std::size_t>(end - in)));
            if (cr == nullptr) {
                out = CopyRun(out, in, end);
                break;
            }
            out = CopyRun(out, in, cr);
            if (cr + 1 == end) {
                afterCr_ = true;  // the next block says whether it ends a line
                break;
            }
            if (cr[1] == kLf) {
                *out++ = kLf;
                in = cr + 2;
            } else {
                *out++ = kCr;
                in = cr + 1;
            }
        }
        return std::string_view(buffer_.get(), static_cast<std::size_t>(out - buffer_.get()));
    }
    // ToNetwork: every byte may be a lone LF that gains a CR.
    if (!Reserve(2 * block.size())) {
        return std::nullopt;
    }
    char* out = buffer_.get();
    while (in < end) {
        const auto* lf = static_cast<const char*>(std::memchr(in, kLf, static_cast<std::size_t>(end - in)));
        if (lf == nullptr) {
            out = CopyRun(out, in, end);
            break;
        }
        out = CopyRun(out, in, lf);
        const bool crBefore = lf == block.data() ? afterCr_ : lf[-1] == kCr;
        if (!crBefore) {
            *out++ = kCr;
        }
        *out++ = kLf;
        in = lf + 1;
    }
    afterCr_ = block.back() == kCr;
    return std::string_view(buffer_.get(), static_cast<std::size_t>(out - buffer_.get()));
}

std::string_view LineEndConverter::Finish() {
    if (mode_ == Mode::ToLocal && afterCr_) {
        afterCr_ = false;
        return std::string_view(&kCr, 1);
    }
    return {};
}

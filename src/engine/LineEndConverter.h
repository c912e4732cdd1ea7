#pragma once
// The line-end conversion of ASCII-type transfers: text comes from the server with CR LF line ends and is
// stored with LF; local LF line ends go to the server as CR LF. It works block by block, so a CR LF split
// between two blocks is still one line end, and converts into a buffer of its own that is reused.
#include <cstddef>
#include <memory>
#include <optional>
#include <string_view>

class LineEndConverter {
  public:
    enum class Mode {
        Unchanged,  // every byte as it is (Image type)
        ToLocal,    // CR LF becomes LF; a lone CR stays
        ToNetwork,  // a lone LF becomes CR LF; CR LF and a lone CR stay
    };

    explicit LineEndConverter(Mode mode) : mode_(mode) {}

    // The next block of the data, converted; valid until the next call. Nothing when the buffer for it
    // cannot be allocated.
    std::optional<std::string_view> Convert(std::string_view block);
    // The end of the data: a CR held back from the last block, since it could have begun a CR LF.
    std::string_view Finish();

  private:
    bool Reserve(std::size_t size);

    Mode mode_;
    std::unique_ptr<char[]> buffer_;
    std::size_t capacity_ = 0;
    // ToLocal: a CR is held back. ToNetwork: the last byte given was a CR, so an LF that follows it is
    // already a CR LF.
    bool afterCr_ = false;
};

#pragma once
// What a server said it offers in its answer to FEAT (RFC 2389): the feature names the session uses
// (UTF8, MLST, MDTM, MFMT, ...), kept for the session, and the one line the log shows of them.
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

class FtpFeatures {
  public:
    // More feature lines than this are not taken: no server offers so many, and a reply that goes on
    // and on is refused as a whole.
    static constexpr std::size_t kMaxFeatures = 200;

    // No features: what a server without FEAT, or one that refused it, offers.
    FtpFeatures() = default;

    // The features of a 211 reply's lines (the first and the last line are the reply's frame). Lines that
    // are no feature (empty, not indented, holding control characters) are passed over; more than
    // kMaxFeatures refuse the whole reply: `*refusal` then says why and no feature is kept.
    static FtpFeatures Parse(const std::vector<std::string>& lines, std::string* refusal = nullptr);

    // Whether the server listed `name` (upper case, e.g. "MLST"; matched case-insensitively).
    bool Has(std::string_view name) const;
    bool Empty() const { return names_.empty(); }
    // The listed names, upper-cased, in the server's order.
    const std::vector<std::string>& Names() const { return names_; }
    // Forgets one feature, when using it failed (MLSD refused): the session falls back for good.
    void Drop(std::string_view name);
    // "... server features: MDTM MFMT MLST SIZE UTF8", or that the server listed none.
    std::string LogLine() const;
    // The argument of an OPTS MLST that adds UNIX.mode to the facts the server sends by itself, when it
    // offers that fact without sending it ("type;size;modify;UNIX.mode;"); empty otherwise.
    std::string MlstFactsWithMode() const;

  private:
    std::vector<std::string> names_;
    // The MLST line's list of facts, as the server wrote it ("type*;size*;modify*;UNIX.mode;").
    std::string mlstFacts_;
};

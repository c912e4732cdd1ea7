#include "hosts/TrustedCertificates.h"

#include <optional>
#include <string>
#include <utility>

#include "platform/ProfileKeys.h"

namespace {

// Host names differ only in letter case for the same server, so they share one entry. ASCII only, so
// the name does not depend on the locale Qt sets at start-up.
std::string ValueName(std::string_view host, std::uint16_t port) {
    std::string name(host);
    for (char& c : name) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    name += ':';
    name += std::to_string(port);
    return name;
}

}  // namespace

TrustedCertificates::TrustedCertificates(ProfileStore store) : store_(std::move(store)) {}

TrustedCertificates::Match TrustedCertificates::Check(std::string_view host, std::uint16_t port,
                                                      std::string_view fingerprint) const {
    std::lock_guard lock(mutex_);
    const std::optional<std::string> stored = store_.QueryString(kCertificatesKey, ValueName(host, port));
    // An empty value trusts nothing; it must not turn into a warning about a change either.
    if (!stored || stored->empty()) {
        return Match::None;
    }
    return *stored == fingerprint ? Match::Same : Match::Changed;
}

bool TrustedCertificates::Remember(std::string_view host, std::uint16_t port, std::string_view fingerprint) {
    std::lock_guard lock(mutex_);
    return store_.SetString(kCertificatesKey, ValueName(host, port), fingerprint);
}

#include "hosts/TrustedCertificates.h"

#include <utility>

#include "platform/ProfileKeys.h"

namespace {

constexpr std::string_view kCertificatesKey = "Tarn/Wisp/Certificates";

std::string ValueName(std::string_view host, std::uint16_t port) {
    std::string name;
    for (const char c : host) {
        name += (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;  // host names ignore case
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
    const auto stored = store_.QueryString(kCertificatesKey, ValueName(host, port));
    if (!stored) {
        return Match::None;
    }
    return *stored == fingerprint ? Match::Same : Match::Changed;
}

bool TrustedCertificates::Remember(std::string_view host, std::uint16_t port, std::string_view fingerprint) {
    std::lock_guard lock(mutex_);
    return store_.SetString(kCertificatesKey, ValueName(host, port), fingerprint);
}

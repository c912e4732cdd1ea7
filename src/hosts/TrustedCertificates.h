#pragma once
// The server certificates the user chose to always trust: one SHA-256 fingerprint per host and port, kept
// in the profile store so that the question is not asked again, and asked with a warning when it changes.
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

#include "platform/ProfileStore.h"

class TrustedCertificates {
  public:
    enum class Match {
        None,     // nothing stored for this host and port
        Same,     // the stored fingerprint is this one
        Changed,  // another fingerprint is stored: the server's certificate has changed
    };

    explicit TrustedCertificates(ProfileStore store);

    // Any thread.
    Match Check(std::string_view host, std::uint16_t port, std::string_view fingerprint) const;
    // Stores (or replaces) the fingerprint for this host and port; false when the store refused.
    bool Remember(std::string_view host, std::uint16_t port, std::string_view fingerprint);

  private:
    mutable std::mutex mutex_;
    ProfileStore store_;
};

#pragma once
// Where the program keeps its data in the profile store: the company key, the application key and
// the application key's sub-keys, shared by the settings code, the saved-site store and the trusted
// certificates.
#include <string_view>

inline constexpr std::string_view kCompanyKey = "Tarn";
inline constexpr std::string_view kApplicationKey = "Tarn/Wisp";
inline constexpr std::string_view kSettingsKey = "Tarn/Wisp/Settings";
inline constexpr std::string_view kHostsKey = "Tarn/Wisp/Hosts";
// Value "host:port" (host lower-cased), data the certificate's SHA-256 fingerprint.
inline constexpr std::string_view kCertificatesKey = "Tarn/Wisp/Certificates";

// The Settings and Hosts sub-keys' own names.
inline constexpr std::string_view kSettingsSubKey = "Settings";
inline constexpr std::string_view kHostsSubKey = "Hosts";

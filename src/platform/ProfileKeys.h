#pragma once
// Where the program keeps its data in the profile store: the company key, the application key and
// the application key's two sub-keys, shared by the settings code and the saved-site store.
#include <string_view>

inline constexpr std::string_view kCompanyKey = "Tarn";
inline constexpr std::string_view kApplicationKey = "Tarn/Wisp";
inline constexpr std::string_view kSettingsKey = "Tarn/Wisp/Settings";
inline constexpr std::string_view kHostsKey = "Tarn/Wisp/Hosts";

// The two sub-keys' own names, for deleting them under the application key.
inline constexpr std::string_view kSettingsSubKey = "Settings";
inline constexpr std::string_view kHostsSubKey = "Hosts";

#include "app/Settings.h"

#include <cstdint>
#include <optional>
#include <string>

#include "platform/ProfileKeys.h"

namespace {

bool ReadFlag(const ProfileStore& store, std::string_view name, bool fallback) {
    const std::optional<std::uint32_t> value = store.QueryDword(kSettingsKey, name);
    return value ? *value != 0 : fallback;
}

}  // namespace

SettingsValues Settings::Load() {
    store_.CreateKey(kSettingsKey);
    SettingsValues values;
    values.logging = ReadFlag(store_, "Logging", values.logging);
    values.logCommands = ReadFlag(store_, "LogCmd", values.logCommands);
    values.logExtended = ReadFlag(store_, "LogExt", values.logExtended);
    if (std::optional<std::string> email = store_.QueryString(kSettingsKey, "EMail")) {
        values.email = std::move(*email);
    }
    values.passive = ReadFlag(store_, "Passive", values.passive);
    values.keepUploadTimes = ReadFlag(store_, "KeepTimes", values.keepUploadTimes);
    values.keepAlive = ReadFlag(store_, "KeepAlive", values.keepAlive);
    return values;
}

void Settings::Save(const SettingsValues& values) {
    store_.SetDword(kSettingsKey, "Logging", values.logging ? 1 : 0);
    store_.SetDword(kSettingsKey, "LogCmd", values.logCommands ? 1 : 0);
    store_.SetDword(kSettingsKey, "LogExt", values.logExtended ? 1 : 0);
    store_.SetString(kSettingsKey, "EMail", values.email);
    store_.SetDword(kSettingsKey, "Passive", values.passive ? 1 : 0);
    store_.SetDword(kSettingsKey, "KeepTimes", values.keepUploadTimes ? 1 : 0);
    store_.SetDword(kSettingsKey, "KeepAlive", values.keepAlive ? 1 : 0);
}

void Settings::RemoveAll() {
    store_.CreateKey(kApplicationKey);
    store_.DeleteKey(kSettingsKey);
    store_.DeleteKey(kHostsKey);
    // Left behind, it would keep the application key (a key with sub-keys is never deleted).
    store_.DeleteKey(kCertificatesKey);
    store_.DeleteKey(kApplicationKey);
    // An unreadable company key counts as still in use, so another program's keys are never lost.
    const int remaining = store_.CountSubKeys(kCompanyKey).value_or(1);
    if (remaining == 0) {
        store_.DeleteKey(kCompanyKey);
    }
}

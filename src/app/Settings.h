#pragma once
// The program's persistent settings (log switches, e-mail address, passive flag, upload times and
// keep-alive switches) and the removal of
// everything the program keeps in the profile store; plain values, so it works without any window.
#include <string>
#include "platform/ProfileStore.h"

struct SettingsValues {
    bool logging = true;
    bool logCommands = true;
    bool logExtended = true;
    std::string email = "<your-email-address>";
    bool passive = true;
    bool keepUploadTimes = true;
    bool keepAlive = true;
};

class Settings {
  public:
    explicit Settings(ProfileStore& store) : store_(store) {}

    // A missing or unreadable value reads as its default; creates the settings key when missing.
    SettingsValues Load();
    // Writes every value in the order Logging, LogCmd, LogExt, EMail, Passive, KeepTimes, KeepAlive;
    // failures are ignored.
    void Save(const SettingsValues& values);
    // Deletes the settings, the saved sites, the trusted certificates and the application key, then the
    // company key when no other program keeps a key under it.
    void RemoveAll();

  private:
    ProfileStore& store_;
};

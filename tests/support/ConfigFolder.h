#pragma once
// A private configuration folder for one test: XDG_CONFIG_HOME points at a fresh empty folder (and
// XDG_DATA_HOME at "data" inside it) for the object's life, and both are restored afterwards.
#include <filesystem>
#include <optional>
#include <string>

class ConfigFolder {
  public:
    ConfigFolder();
    ~ConfigFolder();
    ConfigFolder(const ConfigFolder&) = delete;
    ConfigFolder& operator=(const ConfigFolder&) = delete;
    const std::filesystem::path& Path() const { return path_; }

  private:
    std::filesystem::path path_;
    std::optional<std::string> previous_;
    std::optional<std::string> previousData_;
};


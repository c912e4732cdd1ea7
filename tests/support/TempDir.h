#pragma once
// A uniquely named scratch folder under the system's temporary folder, removed with everything in it when
// the object goes away; safe for tests running in parallel processes.

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

class TempDir {
  public:
    // Creates <tmp>/<prefix>-XXXXXX. Valid() is false if that failed.
    explicit TempDir(std::string_view prefix = "wisp-test");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    bool Valid() const { return !path_.empty(); }
    const std::filesystem::path& Path() const { return path_; }
    // Path() / relative.
    std::filesystem::path operator/(const std::filesystem::path& relative) const { return path_ / relative; }

    // Writes a file below the folder (creating parent folders); false on failure.
    bool WriteFile(const std::filesystem::path& relative, std::string_view contents) const;
    // The whole file, or nullopt if it cannot be read.
    std::optional<std::string> ReadFile(const std::filesystem::path& relative) const;

    // Any path: the same two operations.
    static bool WriteFileAt(const std::filesystem::path& path, std::string_view contents);
    static std::optional<std::string> ReadFileAt(const std::filesystem::path& path);

    // Deterministic bytes of every value 0..255 (including CR, LF and 0) in a pattern that does not repeat
    // at block boundaries, so a misplaced or lost block shows up in a comparison.
    static std::string PatternBytes(std::size_t size, unsigned seed = 1);

  private:
    std::filesystem::path path_;
};

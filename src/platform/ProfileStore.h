#pragma once
// A per-user store with the semantics of a registry: keys (slash-separated paths such as
// "Tarn/Wisp/Settings") hold ordered, named string and DWORD values. It lives under a root folder
// ($XDG_CONFIG_HOME, default ~/.config), one folder per key; writes are atomic and private to the user.
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

enum class ProfileValueType { String, Dword };

struct ProfileValue {
    std::string name;
    ProfileValueType type = ProfileValueType::String;
    std::string text;         // when type is String
    std::uint32_t dword = 0;  // when type is Dword
};

class ProfileStore {
public:
    // A relative root is refused: every operation on it fails.
    explicit ProfileStore(std::filesystem::path root);
    // $XDG_CONFIG_HOME when set and absolute, else $HOME/.config.
    static ProfileStore ForCurrentUser();

    const std::filesystem::path& Root() const { return root_; }

    // Creates the key and every missing parent; true when it exists afterwards.
    bool CreateKey(std::string_view key);
    bool KeyExists(std::string_view key) const;

    // Setting a value creates its key when missing. Names and data may hold any byte.
    bool SetString(std::string_view key, std::string_view name, std::string_view value);
    bool SetDword(std::string_view key, std::string_view name, std::uint32_t value);

    // nullopt when the key or value is missing, of the other type, or unreadable.
    std::optional<std::string> QueryString(std::string_view key, std::string_view name) const;
    std::optional<std::uint32_t> QueryDword(std::string_view key, std::string_view name) const;

    // The key's values in the order they were first set; empty when the key is missing or damaged.
    std::vector<ProfileValue> EnumerateValues(std::string_view key) const;

    bool DeleteValue(std::string_view key, std::string_view name);
    // Deletes a key and its values; refused (false) while the key still has sub-keys.
    bool DeleteKey(std::string_view key);
    // Number of sub-keys; nullopt when the key cannot be read.
    std::optional<int> CountSubKeys(std::string_view key) const;

    // The file that holds one key's values (".values" in the key's folder), as bytes: nullopt
    // when the bytes are damaged in any way. Public for tests and fuzzing.
    static std::optional<std::vector<ProfileValue>> ParseValueFile(std::string_view bytes);
    static std::string FormatValueFile(const std::vector<ProfileValue>& values);

private:
    std::filesystem::path root_;
};

#include "support/TempDir.h"

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <system_error>

namespace fs = std::filesystem;

TempDir::TempDir(std::string_view prefix) {
    std::error_code error;
    fs::path base = fs::temp_directory_path(error);
    if (error) {
        base = "/tmp";
    }
    std::string pattern = (base / (std::string(prefix) + "-XXXXXX")).string();
    if (::mkdtemp(pattern.data()) != nullptr) {
        path_ = pattern;
    }
}

TempDir::~TempDir() {
    if (!path_.empty()) {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
}

bool TempDir::WriteFile(const fs::path& relative, std::string_view contents) const {
    return Valid() && WriteFileAt(path_ / relative, contents);
}

std::optional<std::string> TempDir::ReadFile(const fs::path& relative) const {
    if (!Valid()) {
        return std::nullopt;
    }
    return ReadFileAt(path_ / relative);
}

bool TempDir::WriteFileAt(const fs::path& path, std::string_view contents) {
    std::error_code error;
    if (path.has_parent_path()) {
        fs::create_directories(path.parent_path(), error);
        if (error) {
            return false;
        }
    }
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(contents.data(), static_cast<std::streamsize>(contents.size()));
    out.close();
    return static_cast<bool>(out);
}

std::optional<std::string> TempDir::ReadFileAt(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    // Whole blocks, not a character iterator: sanitizer builds read the tests' large files many times faster.
    std::string contents;
    char block[1 << 16];
    while (in.read(block, sizeof block) || in.gcount() > 0) {
        contents.append(block, static_cast<std::size_t>(in.gcount()));
    }
    if (in.bad()) {
        return std::nullopt;
    }
    return contents;
}

std::string TempDir::PatternBytes(std::size_t size, unsigned seed) {
    std::string bytes(size, '\0');
    // A 32-bit linear congruential sequence; its high byte covers every value and has no short period.
    std::uint32_t state = seed * 2654435761u + 1;
    for (char& byte : bytes) {
        state = state * 1664525u + 1013904223u;
        byte = static_cast<char>(state >> 24);
    }
    return bytes;
}

#pragma once
// One saved site (canonical URL text, user name, saved password) and the text it is stored as: the
// user name, ",", then the password reversed and scrambled with a one-byte key.
#include <cstddef>
#include <string>
#include <string_view>

struct HostEntry {
    std::string url;
    std::string user;
    std::string password;
    bool savePassword = false;  // set exactly when a password was stored
};

// The user name and password boxes hold at most this many characters.
inline constexpr std::size_t kHostFieldMax = 63;

// A control character: nothing typed into the password box scrambles to a zero byte.
inline constexpr char kPasswordScrambleKey = 0x1F;

std::string ScramblePassword(std::string_view password);
std::string UnscramblePassword(std::string_view scrambled);

// The stored text of a user name and password. The user name must not hold a ",".
std::string EncodeHostValue(std::string_view user, std::string_view password);

// Reads a stored text back. Text that did not come from EncodeHostValue reads safely: without a ","
// it is a user name without password, and user name and password are cut to kHostFieldMax characters.
HostEntry DecodeHostValue(std::string_view url, std::string_view stored);

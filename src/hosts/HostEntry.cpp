#include "hosts/HostEntry.h"

std::string ScramblePassword(std::string_view password) {
    std::string scrambled(password.rbegin(), password.rend());
    for (char& c : scrambled) {
        c = static_cast<char>(c ^ kPasswordScrambleKey);
    }
    return scrambled;
}

std::string UnscramblePassword(std::string_view scrambled) {
    // Reversal and exclusive-or are both their own inverse.
    return ScramblePassword(scrambled);
}

std::string EncodeHostValue(std::string_view user, std::string_view password) {
    std::string stored(user);
    stored += ',';
    stored += ScramblePassword(password);
    return stored;
}

HostEntry DecodeHostValue(std::string_view url, std::string_view stored) {
    HostEntry entry;
    entry.url = url;
    const std::size_t comma = stored.find(',');
    entry.user = stored.substr(0, comma).substr(0, kHostFieldMax);
    if (comma != std::string_view::npos) {
        entry.password = UnscramblePassword(stored.substr(comma + 1)).substr(0, kHostFieldMax);
    }
    entry.savePassword = !entry.password.empty();
    return entry;
}

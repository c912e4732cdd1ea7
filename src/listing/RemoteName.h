#pragma once
// Shows and stores names that stay the server's bytes (downloads, CWD and DELE send them back as they
// came): valid UTF-8 as it is, anything else read as Latin-1, control characters made visible on screen
// and harmless on disk.
#include <string>
#include <string_view>

class RemoteName {
  public:
    // Valid UTF-8 (overlong forms, surrogates and code points past U+10FFFF are not) unchanged;
    // otherwise every byte becomes the Latin-1 character of its value. Control characters (C0, DEL, C1)
    // show as U+FFFD. The result is always valid UTF-8.
    static std::string DisplayText(std::string_view serverBytes);

    // The name a downloaded file gets on disk: the display text with '/' and every control character
    // replaced by '_'. "", "." and ".." come back as they are, for IsSafeLocalName to refuse.
    static std::string LocalFileName(std::string_view serverBytes);
};

#pragma once
// How a text from the server (a file or directory name) appears inside a log line: control characters
// written as escapes, so a name can never end the line early and forge one of its own.
#include <string>
#include <string_view>

// CR and LF as \r and \n, other control characters and DEL as \xHH; every other byte as it is.
std::string Printable(std::string_view text);

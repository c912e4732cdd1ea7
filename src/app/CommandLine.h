#pragma once
// Reads the program's command line (`wisp [--help | --version] [URL]`) without any window system, so
// help and version work on a machine without a display, and turns a percent-encoded link from a browser
// or file manager into the plain URL text and the separate login that the Host page takes.
#include <string>
#include <string_view>
#include <vector>

// A URL given on the command line, decoded; `url` never holds the login.
struct CommandLineUrl {
    std::string url;
    std::string user;
    std::string password;
    // The text had a login part ("user@", "user:password@" or just "@").
    bool loginGiven = false;
};

enum class CommandLineAction { Run, Help, Version, Fail };

struct CommandLineRequest {
    CommandLineAction action = CommandLineAction::Run;
    // Set when action is Run and a URL was given.
    bool hasUrl = false;
    CommandLineUrl url;
    // Why the command line was refused, when action is Fail.
    std::string error;
};

class CommandLine {
  public:
    // `args` excludes the program name. Help and version win over everything else on the line, so they
    // work whatever other options a toolkit would have taken.
    static CommandLineRequest Parse(const std::vector<std::string_view>& args);
    static CommandLineRequest Parse(int argc, char** argv);

    // Splits the login off `text` at the last "@" before the host and its first ":", and decodes
    // the URL, the user and the password separately. Refuses malformed escapes, decoded control
    // characters (a CR LF in a path would end one FTP command and start another) and an "@" left in
    // the URL. False with `error` set on refusal.
    static bool DecodeUrl(std::string_view text, CommandLineUrl& url, std::string& error);

    static std::string HelpText();
    static std::string VersionText();
};

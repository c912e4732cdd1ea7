#include <algorithm>
#include <cstdio>
#include <string>

#include "app/CommandLine.h"
#include "ui/WispApp.h"

int main(int argc, char** argv) {
    // Help and version are answered before any window system is needed; everything else is read
    // again after Qt has taken its own options (-platform, -style ...) off the line.
    const CommandLineRequest early = CommandLine::Parse(argc, argv);
    if (early.action == CommandLineAction::Help || early.action == CommandLineAction::Version) {
        const std::string text =
            early.action == CommandLineAction::Help ? CommandLine::HelpText() : CommandLine::VersionText();
        std::fputs(text.c_str(), stdout);
        return 0;
    }
    // A line without any option is all ours: a bad URL is reported here, display or not.
    const bool onlyUrls = std::none_of(argv + 1, argv + argc, [](const char* arg) { return arg[0] == '-'; });
    if (early.action == CommandLineAction::Fail && onlyUrls) {
        std::fprintf(stderr, "wisp: %s\nTry 'wisp --help' for more information.\n", early.error.c_str());
        return 2;
    }
    WispApp app(argc, argv);
    return app.Run();
}

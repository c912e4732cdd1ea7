#pragma once
// The application: checks that sockets can be used, fixes where the settings live, reads the URL given
// on the command line and runs the main window's event loop until the window is gone.
#include <QApplication>

struct CommandLineUrl;
class WispSheet;

class WispApp {
  public:
    WispApp(int& argc, char** argv);

    // The process's exit status: 0 after a normal close, 1 when the program could not start, 2 for a
    // command line it cannot use (the reason goes to standard error).
    int Run();

    // Hands a URL from the command line to the main window.
    static void OpenCommandLineUrl(WispSheet& sheet, const CommandLineUrl& url);

    // True when this process can create a socket (the network is usable at all).
    static bool SocketsAvailable();

  private:
    // Qt removes its own options from these as it starts.
    int& argc_;
    char** argv_;
    QApplication app_;
};

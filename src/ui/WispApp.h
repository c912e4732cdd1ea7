#pragma once
// The application: checks that sockets can be used, fixes where the settings live and runs the main
// window's event loop until the window is gone.
#include <QApplication>

class WispApp {
  public:
    WispApp(int& argc, char** argv);

    // The process's exit status: 0 after a normal close, 1 when the program could not start.
    int Run();

    // True when this process can create a socket (the network is usable at all).
    static bool SocketsAvailable();

  private:
    QApplication app_;
};

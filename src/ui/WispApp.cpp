#include "ui/WispApp.h"

#include <sys/socket.h>
#include <unistd.h>

#include <QMessageBox>
#include <csignal>
#include <cstdio>

#include "app/CommandLine.h"

#include "platform/ProfileKeys.h"
#include "platform/ProfileStore.h"
#include "ui/WispHostPage.h"
#include "ui/WispSheet.h"

WispApp::WispApp(int& argc, char** argv) : argc_(argc), argv_(argv), app_(argc, argv) {
    QApplication::setOrganizationName(
        QString::fromUtf8(kCompanyKey.data(), static_cast<qsizetype>(kCompanyKey.size())));
    QApplication::setApplicationName("Wisp");
}

bool WispApp::SocketsAvailable() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) {
        return false;
    }
    ::close(fd);
    return true;
}

void WispApp::OpenCommandLineUrl(WispSheet& sheet, const CommandLineUrl& url) {
    sheet.HostPage().OpenUrl(url.url, url.user, url.password);
}

int WispApp::Run() {
    const CommandLineRequest request = CommandLine::Parse(argc_, argv_);
    if (request.action == CommandLineAction::Fail) {
        std::fprintf(stderr, "wisp: %s\nTry 'wisp --help' for more information.\n", request.error.c_str());
        return 2;
    }
    if (!SocketsAvailable()) {
        QMessageBox box(QMessageBox::Warning, "Wisp", "Windows sockets initialization failed.",
                        QMessageBox::Ok);
        box.exec();
        return 1;
    }
    // Every send already asks for no signal; this also covers any library that forgets to.
    std::signal(SIGPIPE, SIG_IGN);
    // A download that reaches the user's file-size limit must become a logged write failure, not a
    // killed program.
    std::signal(SIGXFSZ, SIG_IGN);

    WispSheet sheet(ProfileStore::ForCurrentUser());
    sheet.show();
    if (request.hasUrl) {
        OpenCommandLineUrl(sheet, request.url);
    }
    // Closing the only window ends the loop; a session or ping thread still running is fenced off
    // from the windows by then and ends with the process.
    return QApplication::exec();
}

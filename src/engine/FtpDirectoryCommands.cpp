#include "engine/FtpDirectoryCommands.h"

#include <optional>
#include <string>

#include "engine/FtpProtocol.h"
#include "engine/FtpReply.h"
#include "engine/FtpRequest.h"
#include "engine/FtpSession.h"
#include "engine/FtpTransfers.h"
#include "engine/PrintableText.h"
#include "listing/RemoteEntry.h"

namespace {

constexpr int kPwdCode = 257;
constexpr int kLostConnection = FtpProtocol::kLostConnection;
// What a Delete request without a selection returns: nothing was sent, nothing failed.
constexpr int kNothingToDo = 200;

// One directory command with its status: "CD <path>" while it runs, the bare title after.
int EnterOne(FtpContext& session, std::string_view path, std::string_view command, FtpReply& reply) {
    session.Status().SetStatus("CD " + std::string(path));
    const int code = session.Command(command, &reply);
    session.Status().SetStatus(std::nullopt);
    return code;
}

std::string OpenFailure(std::string_view path) {
    return path == ".." ? std::string("Could not go up one level") : "Could not open " + Printable(path);
}

}  // namespace

std::optional<std::string> FtpDirectoryCommands::DirectoryFromPwdReply(std::string_view line) {
    if (line.size() <= 3) {
        return std::nullopt;
    }
    std::size_t begin = line.find('"', 3);
    if (begin == std::string_view::npos) {
        return std::nullopt;
    }
    begin = line.find_first_not_of('"', begin);
    if (begin == std::string_view::npos) {
        return std::string();
    }
    // Doubled quotes inside a name are not unescaped: the name ends at the first quote.
    const std::size_t end = line.find('"', begin);
    return std::string(
        line.substr(begin, end == std::string_view::npos ? std::string_view::npos : end - begin));
}

int FtpDirectoryCommands::ChangeDirectory(FtpContext& session, std::string_view path, bool fallBackToParent) {
    FtpReply reply;
    if (!path.empty()) {
        // Whatever the CWD does, only the PWD below tells where the session then is.
        session.SetCurrentFolder({});
        const std::string command = path == ".." ? std::string("CDUP") : "CWD " + std::string(path);
        const int code = EnterOne(session, path, command, reply);
        if (!reply.IsPositive()) {
            session.ShowFailure(OpenFailure(path), code);
            // After a 421 the connection is gone: no fall-back and no PWD that could only fail too.
            if (!fallBackToParent || code == kLostConnection) {
                return code;
            }
            // The parent of "pub/x" is "pub"; a path without '/' (or with one only at its start) has
            // no parent to try, and the login directory stays.
            const std::size_t slash = path.rfind('/');
            if (slash != std::string_view::npos && slash != 0) {
                const std::string_view parent = path.substr(0, slash);
                const int parentCode = EnterOne(session, parent, "CWD " + std::string(parent), reply);
                if (!reply.IsPositive()) {
                    return parentCode;
                }
            }
        }
    }

    const int pwdCode = session.Command("PWD", &reply);
    if (pwdCode != kPwdCode) {
        session.ShowFailure("Could not read the current folder", pwdCode);
        return pwdCode;
    }
    const std::optional<std::string> directory = DirectoryFromPwdReply(reply.lastLine);
    if (!directory) {
        // Without a name the page could only be told about a directory nobody knows.
        session.Log().LogMessage("... no directory name in the reply to PWD");
        session.Remote().ShowFailure("Could not read the current folder: no name in the reply to PWD");
        return pwdCode;
    }
    session.SetCurrentFolder(*directory);
    if (session.Remote().EnterDirectory(*directory)) {
        session.Log().LogMessage("... using cached copy of " + Printable(*directory));
        return kPwdCode;
    }
    return FtpTransfers::ListDirectory(session, *directory);
}

int FtpDirectoryCommands::DeleteFiles(FtpContext& session, FtpRequest& request) {
    int result = kNothingToDo;
    if (const SelectionIndexes* selection = request.Selection()) {
        // Not stopped by an abort: every selected entry is tried, as the user chose them all.
        for (const std::int32_t index : selection->indexes) {
            const RemoteEntry entry = session.Remote().EntryAt(index);
            if (entry.IsBlank()) {
                continue;  // already deleted, or outside the current listing: nothing to name
            }
            const std::string& name = entry.Name();
            session.Status().SetStatus("DELETEing " + name);
            session.Log().LogMessage("DELETEing " + Printable(name));
            FtpReply reply;
            // A name holding CR or LF is never sent (Command refuses it and reads no reply); it is
            // reported like any refusal and the next entry follows.
            result = session.Command("DELE " + name, &reply);
            session.Status().SetStatus(std::nullopt);
            if (reply.IsPositive()) {
                session.Remote().RemoveEntry(index);
                session.Log().LogMessage("... DELETEd " + Printable(name));
            } else {
                session.Log().LogMessage("... Unable to DELETE " + Printable(name));
                session.ShowFailure("Could not delete " + Printable(name), result);
                if (result == kLostConnection) {
                    break;
                }
            }
        }
    }
    request.object.reset();
    return result;
}

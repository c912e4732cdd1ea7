#include "transfers/TransferRow.h"

std::string_view TransferStateName(TransferState state) {
    switch (state) {
        case TransferState::Queued:
            return "Queued";
        case TransferState::Running:
            return "Running";
        case TransferState::Done:
            return "Done";
        case TransferState::Failed:
            return "Failed";
        case TransferState::Skipped:
            return "Skipped";
        case TransferState::Interrupted:
            return "Interrupted";
    }
    return "Unknown";
}

std::string SiteWithoutPassword(std::string_view url) {
    const std::size_t schemeEnd = url.find("://");
    const std::size_t authorityStart = schemeEnd == std::string_view::npos ? 0 : schemeEnd + 3;
    const std::size_t authorityEnd = url.find('/', authorityStart);
    const std::string_view authority =
        url.substr(authorityStart, authorityEnd == std::string_view::npos ? std::string_view::npos
                                                                          : authorityEnd - authorityStart);
    // The last '@' ends the login: a user name may itself hold one.
    const std::size_t at = authority.rfind('@');
    if (at == std::string_view::npos) {
        return std::string(url);
    }
    const std::size_t colon = authority.find(':');
    if (colon == std::string_view::npos || colon > at) {
        return std::string(url);
    }
    std::string site(url.substr(0, authorityStart + colon));
    site += url.substr(authorityStart + at);
    return site;
}

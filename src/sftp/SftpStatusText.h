#pragma once
// Names an SFTP status code for the log: "no such file (SSH_FX_NO_SUCH_FILE)", and "unknown status 77"
// for a code the protocol does not define.
#include <cstdint>
#include <string>

class SftpStatusText {
  public:
    static std::string Describe(std::uint32_t status);
};

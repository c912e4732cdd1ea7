#pragma once
// One site's URL (FTP, FTP over TLS or SFTP) parsed into its parts (scheme, login, host, port, path, type
// code), the parser, the canonical text a parsed URL is written back as, and the process-wide defaults the
// parser fills in.
#include <string>
#include <string_view>

struct FtpUrl {
    std::string scheme;  // lower-cased
    std::string user;
    std::string password;
    std::string host;      // empty marks a text that is no valid URL; an IPv6 address without its brackets
    std::string port;      // as typed, not converted
    std::string path;      // after the "/" that ends the host, without it and without the type code
    std::string typeCode;  // "a", "i", "d" or empty
    bool schemeDefaulted = false;
    bool loginDefaulted = false;
    bool portDefaulted = false;

    FtpUrl() = default;
    // Parses text; when it is no valid URL, host is left empty.
    explicit FtpUrl(std::string_view text);
};

// Fills url from text; false when text is no valid URL (url's fields must then not be used). An "sftp" text
// takes SSH's defaults, not the FTP ones of UrlDefaults: port 22, and without a login the local account
// with no password, as ssh does (the anonymous login is FTP's and never goes to an SSH server).
bool ParseUrl(FtpUrl& url, std::string_view text);

// The canonical text: [scheme "://"] host [":" port] ["/" path], an IPv6 host in brackets. User, password and
// type code are never part of it; the scheme and port appear only when the text named them.
std::string FormatUrl(const FtpUrl& url);

// The site a session is connected to, as the transfer queue names it: scheme "://" user "@" host ":" port,
// every part given (the defaults filled in), no password and no path.
std::string FormatSite(const FtpUrl& url);

// The schemes a session can be opened with: "ftp" (plain), "ftpes" (explicit TLS: AUTH TLS on the
// plain connection before USER), "ftps" (implicit TLS from the first byte) and "sftp" (SSH). `scheme` as
// FtpUrl holds it, lower-cased.
bool IsSupportedScheme(std::string_view scheme);
// "ftpes" and "ftps": the FTP schemes whose connections are encrypted with TLS.
bool IsTlsScheme(std::string_view scheme);
// "sftp": sessions over SSH, to which FTP's options (passive mode, TLS certificates) do not apply.
bool IsSftpScheme(std::string_view scheme);
// Whether files can be moved in ASCII type over the scheme's sessions: SFTP moves them in binary only.
bool OffersAsciiType(std::string_view scheme);
// The port a session connects to: "990" for "ftps" when the text named no port, else url.port (which the
// parser sets to "22" for an "sftp" text without a port).
// FormatUrl and the saved sites keep the port as typed; only the connection uses this one.
std::string EffectivePort(const FtpUrl& url);

// The values ParseUrl fills in for a missing scheme, login or port.
struct UrlDefaults {
    std::string scheme;
    std::string user;
    std::string password;
    std::string port;
};

// Set once at start-up on the UI thread; safe to read from any thread. Until then the defaults are
// those of a first start: "ftp", "anonymous", "<your-email-address>", "21".
void SetUrlDefaults(std::string_view scheme, std::string_view user, std::string_view password,
                    std::string_view port);
UrlDefaults GetUrlDefaults();

#pragma once
// A scripted FTP server on 127.0.0.1 (or ::1) for engine tests: a test says, reply by reply and byte by byte,
// what the server sends, and afterwards inspects every byte the client sent on the control and data
// connections.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// Usage:
//
//   FakeFtpServer server;                                  // listening on 127.0.0.1:server.Port()
//   server.OnConnect().Line("220 hello");                  // (this greeting is also the default)
//   server.Expect("USER anonymous").Line("331 need pass");
//   server.Expect("PASS x").Line("230 in");
//   server.Expect("PASV").Pasv();                          // listener + generated 227 reply
//   server.Expect("RETR f").Line("150 go").DataSend("abc").DataClose().Line("226 done");
//   server.OnVerb("NOOP").Line("200 ok");                  // fallback, any number of times
//   ... run the client ...
//   EXPECT_TRUE(server.WaitForCommand("QUIT"));
//   EXPECT_TRUE(server.Problems().empty());
//
// Model. One server thread accepts control connections one at a time (several in sequence are fine; the
// next is accepted when the previous one has closed) and runs scripted actions. For every command line
// received it runs, in this order of preference:
//   1. the next ordered expectation (Expect / ExpectVerb) if it matches; it is then used up;
//   2. the fallback for the command's verb (OnVerb), which is never used up;
//   3. the Otherwise() actions (default: "502 Unscripted command\r\n").
// FEAT has a fallback from the start, "500 FEAT not understood" (a server without it); OnVerb("FEAT") or
// Expect("FEAT") replaces it.
// A command that matches neither the next expectation nor a fallback is also recorded in Problems().
// Commands that arrive while actions run are queued and handled afterwards, in order. While the thread runs
// actions (delays, data transfers) it keeps reading the control connection, so the byte record and
// Commands() are always current.
//
// Builders. Expect(), ExpectVerb(), OnVerb(), Otherwise(), OnConnect() and Now() return an Actions builder;
// its actions are handed to the server when the builder is destroyed, that is at the end of the full
// expression `server.Expect("X").Line("...");`, so a client can never see half a step.
//
// Data connections. Pasv() opens a listener on 127.0.0.1 (port 0) and sends a 227 reply; a PORT command
// from the client is parsed whenever it arrives (whatever reply is scripted for it). The first data action
// after that (DataOpen, DataSend..., DataReceiveAll) opens the data connection in the mode last negotiated:
// accept on the PASV listener, or connect to the PORT address (only loopback addresses are ever connected;
// anything else is a Problem). A data connection stays open across commands until DataClose / DataReset,
// or until the control connection ends, so "send part, then wait for ABOR" is
//   server.Expect("RETR big").Line("150 go").DataSend(part);   // data connection left open
//   server.Expect("ABOR").DataClose().Reply("426 aborted\r\n226 abort ok\r\n");
// A DataSend that cannot make progress stops early when the client sends another command (as a server does
// on ABOR); DataBytesSent() tells how much went out.
//
// TLS on the control connection. StartTls() runs the server side of a TLS handshake; from then on the script
// reads and sends through TLS, and the record (ControlBytes, Commands) holds the decrypted bytes:
//   server.Expect("AUTH TLS").Line("234 go").StartTls();           // explicit
//   server.OnConnect().StartTls().Line("220 hello");                 // implicit
// A handshake the client breaks off (it refused the certificate) ends the connection; it is recorded in
// TlsErrors(), not as a Problem, since a refusal is what some tests want. Hostile servers answer the
// client's ClientHello with something else: AwaitClientHello() waits for it and from then on records what
// the client sends without reading commands out of it, so that
//   server.Expect("AUTH TLS").Line("234 go").AwaitClientHello().Reply(garbage);   // not a ServerHello
//   server.Expect("AUTH TLS").Line("234 go").AwaitClientHello().Line("200 plain"); // plain text
//   server.Expect("AUTH TLS").Line("234 go").AwaitClientHello();                   // silence
//   server.OnConnect().AwaitClientHello();                                         // silent implicit server
// (whether the client then sent "USER" in the clear shows in ControlBytes()). Data connections stay plain.
//
// Bounds. Every blocking step (accept, connect, send, receive) gives up after ActionTimeout() (default 5 s)
// and records a Problem; Wait* calls take their own timeout; the destructor stops everything promptly.
class FakeFtpServer {
  public:
    using Ms = std::chrono::milliseconds;

    // One scripted step; defined in the .cpp file.
    struct Step;

    // A chain of actions, run in order. Methods return *this for chaining.
    class Actions {
      public:
        Actions(Actions&& other) noexcept;
        Actions& operator=(Actions&&) = delete;
        Actions(const Actions&) = delete;
        Actions& operator=(const Actions&) = delete;
        ~Actions();  // hands the actions to the server

        // --- Control connection ---
        // Sends bytes exactly as given, in one send (no CR LF added).
        Actions& Reply(std::string bytes);
        // Sends text followed by CR LF.
        Actions& Line(std::string_view text);
        // Sends each piece as its own TCP segment, pausing SegmentPause() between them.
        Actions& Segments(std::vector<std::string> pieces);
        // Waits (still reading the control connection).
        Actions& Delay(Ms duration);
        // Closes the control connection (FIN), ending this client's connection; the data connection and the
        // PASV listener go with it.
        Actions& Close();
        // Closes the control connection with a reset (RST) instead of FIN.
        Actions& Reset();
        // Stops reading the control connection for good (the client's sends eventually block), without
        // closing. Rarely needed; a step with no reply at all is how a silent server is usually scripted.
        Actions& StopReading();

        // --- TLS (see the class comment) ---
        // Runs the server side of a TLS handshake on the control connection (bounded by ActionTimeout());
        // afterwards everything on it goes through TLS. Plain bytes or commands the client sent before the
        // handshake (after the command this answers) are dropped and recorded as a Problem.
        Actions& StartTls();
        // Waits (bounded) until the client sends the start of a TLS handshake record, recording a Problem if
        // it does not or if it sends something else; from then on control bytes are recorded, not parsed.
        Actions& AwaitClientHello();

        // --- Passive data connection ---
        // Opens a fresh listener on the server's address, port 0 (replacing any earlier one) and sends the
        // reply made from `format`, where {h1}..{h4} are the parts of `namedAddress`, {p1},{p2} the port's
        // high and low byte and {port} the port in decimal. The named address need not be where the listener
        // is: a test of hostile replies names another host while the listener stays on 127.0.0.1.
        Actions& Pasv(std::string format = "227 Entering Passive Mode ({h1},{h2},{h3},{h4},{p1},{p2}).\r\n",
                      std::string namedAddress = "127.0.0.1");
        // Opens the listener as Pasv does but sends nothing; the port is then reported by PasvPort().
        Actions& PasvListenOnly();

        // --- Data connection (PASV: accept; PORT: connect to the client's address) ---
        // Opens the data connection now (otherwise the first data action below does it).
        Actions& DataOpen();
        // Sends bytes on the data connection in one go.
        Actions& DataSend(std::string bytes);
        // Sends each piece as its own TCP segment, pausing SegmentPause() between them.
        Actions& DataSegments(std::vector<std::string> pieces);
        // Reads everything the client sends on the data connection until it closes it (or ActionTimeout());
        // the bytes become the next entry of DataReceived().
        Actions& DataReceiveAll();
        // Closes the data connection (FIN).
        Actions& DataClose();
        // Closes the data connection with a reset (RST).
        Actions& DataReset();

      private:
        friend class FakeFtpServer;
        enum class Target { Expect, ExpectVerb, OnVerb, Otherwise, OnConnect, Now };
        Actions(FakeFtpServer* server, Target target, std::string key);
        Actions& Add(Step step);

        FakeFtpServer* server_;
        Target target_;
        std::string key_;
        std::vector<Step> steps_;
    };

    // Listens on 127.0.0.1 with a system-chosen port and starts the server thread.
    FakeFtpServer();
    // The same on "127.0.0.1" or "::1"; the passive listeners are then on that address too, and EPRT
    // is read like PORT.
    explicit FakeFtpServer(std::string_view loopbackAddress);
    // Closes every connection and joins the server thread.
    ~FakeFtpServer();
    FakeFtpServer(const FakeFtpServer&) = delete;
    FakeFtpServer& operator=(const FakeFtpServer&) = delete;

    std::uint16_t Port() const;

    // --- Script ---
    // Actions run on every accepted control connection (the greeting). Default: Line("220 FakeFtpServer
    // ready"). An empty OnConnect() means the server accepts and says nothing.
    Actions OnConnect();
    // Next ordered step: a command line equal to `line` (CR LF and Telnet commands removed).
    Actions Expect(std::string line);
    // Next ordered step: any command whose verb (first word, case-insensitive) is `verb`.
    Actions ExpectVerb(std::string verb);
    // Fallback for a verb, used whenever the ordered script does not match; replaces an earlier one.
    Actions OnVerb(std::string verb);
    // Actions for a command nothing else matched; replaces the default 502 reply.
    Actions Otherwise();
    // Actions run as soon as possible on the current control connection, whatever the client is doing
    // (unsolicited replies, a 421 while idle, closing at any moment); after the actions of the command in
    // hand, if any. Dropped, with a Problem, if no connection is open: with a silent greeting, call
    // WaitForConnection() first.
    Actions Now();

    // Certificate and key StartTls presents (PEM files). Default: TestCertificates' server certificate for
    // 127.0.0.1 and localhost, signed by its CA.
    void SetTlsCertificate(std::filesystem::path certFile, std::filesystem::path keyFile);
    // Protocol versions StartTls accepts (0x0303 TLS 1.2, 0x0304 TLS 1.3; 0: the library's bound).
    void SetTlsVersions(int minVersion, int maxVersion);

    // Pause between segments of Segments() / DataSegments() (default 30 ms).
    void SetSegmentPause(Ms pause);
    // Bound of each blocking step (default 5000 ms).
    void SetActionTimeout(Ms timeout);
    Ms ActionTimeout() const;

    // --- Record ---
    // Every byte received on control connections, in order (all connections, concatenated); once TLS is on,
    // the decrypted bytes.
    std::string ControlBytes() const;
    // Offsets into ControlBytes() of bytes that arrived as urgent (out-of-band) data.
    std::vector<std::size_t> UrgentOffsets() const;
    // Command lines received, in order, without CR LF and with Telnet commands (IAC IP, IAC DM, ...) removed.
    std::vector<std::string> Commands() const;
    // One entry per DataReceiveAll: the bytes the client sent on that data connection.
    std::vector<std::string> DataReceived() const;
    // Bytes written by data sends so far (all connections).
    std::size_t DataBytesSent() const;
    // Control connections accepted and closed (by either side) so far.
    int ConnectionsAccepted() const;
    int ConnectionsClosed() const;
    // Data connections opened so far (accepted in passive mode or connected in active mode).
    int DataConnectionsOpened() const;
    // Port of the current PASV listener, 0 if none.
    std::uint16_t PasvPort() const;
    // "a.b.c.d:port" named by the client's last PORT command ("[v6]:port" by EPRT), empty if none was
    // valid.
    std::string LastPortTarget() const;
    // TLS handshakes completed on control connections so far.
    int TlsHandshakes() const;
    // The protocol of the last completed handshake: "TLSv1.2", "TLSv1.3"; empty before the first.
    std::string TlsVersion() const;
    // Why handshakes failed, one entry each (the client's alert, a time-out), in order.
    std::vector<std::string> TlsErrors() const;
    // Script mismatches, unscripted commands, failed or timed-out steps, in order. Empty in a clean run.
    std::vector<std::string> Problems() const;
    // True when every ordered expectation has been used and no action is running or queued.
    bool ScriptDone() const;

    // --- Waits (true when the condition was met within the timeout) ---
    // A command was received that equals `text`, or, when `text` has no space, whose verb is `text`.
    bool WaitForCommand(std::string_view text, Ms timeout = Ms(5000));
    // At least n command lines received.
    bool WaitForCommandCount(std::size_t n, Ms timeout = Ms(5000));
    // At least n control bytes received.
    bool WaitForControlBytes(std::size_t n, Ms timeout = Ms(5000));
    // At least n control connections accepted.
    bool WaitForConnection(int n = 1, Ms timeout = Ms(5000));
    // Every accepted control connection (at least one) has closed.
    bool WaitForClose(Ms timeout = Ms(5000));
    // At least n DataReceiveAll entries complete.
    bool WaitForDataReceived(std::size_t n = 1, Ms timeout = Ms(5000));
    // ScriptDone() became true.
    bool WaitForScriptDone(Ms timeout = Ms(5000));
    // At least n TLS handshakes completed, or failed (then false at once).
    bool WaitForTlsHandshake(int n = 1, Ms timeout = Ms(5000));

    // Makes the text of a 227 reply; exposed for tests that build their own.
    static std::string FormatPasv(std::string_view format, std::string_view namedAddress, std::uint16_t port);

  private:
    class Impl;
    void Commit(Actions::Target target, std::string key, std::vector<Step> steps);
    std::unique_ptr<Impl> impl_;
};

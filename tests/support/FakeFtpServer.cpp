#include "support/FakeFtpServer.h"

// Interface first; the server thread follows in the next commit.

struct FakeFtpServer::Step {};

class FakeFtpServer::Impl {};

FakeFtpServer::Actions::Actions(FakeFtpServer* server, Target target, std::string key)
    : server_(server), target_(target), key_(std::move(key)) {}
FakeFtpServer::Actions::Actions(Actions&& other) noexcept
    : server_(other.server_),
      target_(other.target_),
      key_(std::move(other.key_)),
      steps_(std::move(other.steps_)) {
    other.server_ = nullptr;
}
FakeFtpServer::Actions::~Actions() {
    if (server_ != nullptr) {
        server_->Commit(target_, std::move(key_), std::move(steps_));
    }
}
FakeFtpServer::Actions& FakeFtpServer::Actions::Add(Step step) {
    steps_.push_back(step);
    return *this;
}
FakeFtpServer::Actions& FakeFtpServer::Actions::Reply(std::string) {
    return Add({});
}
FakeFtpServer::Actions& FakeFtpServer::Actions::Line(std::string_view) {
    return Add({});
}
FakeFtpServer::Actions& FakeFtpServer::Actions::Segments(std::vector<std::string>) {
    return Add({});
}
FakeFtpServer::Actions& FakeFtpServer::Actions::Delay(Ms) {
    return Add({});
}
FakeFtpServer::Actions& FakeFtpServer::Actions::Close() {
    return Add({});
}
FakeFtpServer::Actions& FakeFtpServer::Actions::Reset() {
    return Add({});
}
FakeFtpServer::Actions& FakeFtpServer::Actions::StopReading() {
    return Add({});
}
FakeFtpServer::Actions& FakeFtpServer::Actions::Pasv(std::string, std::string) {
    return Add({});
}
FakeFtpServer::Actions& FakeFtpServer::Actions::PasvListenOnly() {
    return Add({});
}
FakeFtpServer::Actions& FakeFtpServer::Actions::DataOpen() {
    return Add({});
}
FakeFtpServer::Actions& FakeFtpServer::Actions::DataSend(std::string) {
    return Add({});
}
FakeFtpServer::Actions& FakeFtpServer::Actions::DataSegments(std::vector<std::string>) {
    return Add({});
}
FakeFtpServer::Actions& FakeFtpServer::Actions::DataReceiveAll() {
    return Add({});
}
FakeFtpServer::Actions& FakeFtpServer::Actions::DataClose() {
    return Add({});
}
FakeFtpServer::Actions& FakeFtpServer::Actions::DataReset() {
    return Add({});
}

FakeFtpServer::FakeFtpServer() : impl_(std::make_unique<Impl>()) {}
FakeFtpServer::~FakeFtpServer() = default;
std::uint16_t FakeFtpServer::Port() const {
    return 0;
}
FakeFtpServer::Actions FakeFtpServer::OnConnect() {
    return Actions(this, Actions::Target::OnConnect, {});
}
FakeFtpServer::Actions FakeFtpServer::Expect(std::string line) {
    return Actions(this, Actions::Target::Expect, std::move(line));
}
FakeFtpServer::Actions FakeFtpServer::ExpectVerb(std::string verb) {
    return Actions(this, Actions::Target::ExpectVerb, std::move(verb));
}
FakeFtpServer::Actions FakeFtpServer::OnVerb(std::string verb) {
    return Actions(this, Actions::Target::OnVerb, std::move(verb));
}
FakeFtpServer::Actions FakeFtpServer::Otherwise() {
    return Actions(this, Actions::Target::Otherwise, {});
}
FakeFtpServer::Actions FakeFtpServer::Now() {
    return Actions(this, Actions::Target::Now, {});
}
void FakeFtpServer::SetSegmentPause(Ms) {}
void FakeFtpServer::SetActionTimeout(Ms) {}
FakeFtpServer::Ms FakeFtpServer::ActionTimeout() const {
    return Ms(5000);
}
std::string FakeFtpServer::ControlBytes() const {
    return {};
}
std::vector<std::size_t> FakeFtpServer::UrgentOffsets() const {
    return {};
}
std::vector<std::string> FakeFtpServer::Commands() const {
    return {};
}
std::vector<std::string> FakeFtpServer::DataReceived() const {
    return {};
}
std::size_t FakeFtpServer::DataBytesSent() const {
    return 0;
}
int FakeFtpServer::ConnectionsAccepted() const {
    return 0;
}
int FakeFtpServer::ConnectionsClosed() const {
    return 0;
}
int FakeFtpServer::DataConnectionsOpened() const {
    return 0;
}
std::uint16_t FakeFtpServer::PasvPort() const {
    return 0;
}
std::string FakeFtpServer::LastPortTarget() const {
    return {};
}
std::vector<std::string> FakeFtpServer::Problems() const {
    return {"not implemented yet"};
}
bool FakeFtpServer::ScriptDone() const {
    return false;
}
bool FakeFtpServer::WaitForCommand(std::string_view, Ms) {
    return false;
}
bool FakeFtpServer::WaitForCommandCount(std::size_t, Ms) {
    return false;
}
bool FakeFtpServer::WaitForControlBytes(std::size_t, Ms) {
    return false;
}
bool FakeFtpServer::WaitForConnection(int, Ms) {
    return false;
}
bool FakeFtpServer::WaitForClose(Ms) {
    return false;
}
bool FakeFtpServer::WaitForDataReceived(std::size_t, Ms) {
    return false;
}
bool FakeFtpServer::WaitForScriptDone(Ms) {
    return false;
}
std::string FakeFtpServer::FormatPasv(std::string_view, std::string_view, std::uint16_t) {
    return {};
}
void FakeFtpServer::Commit(Actions::Target, std::string, std::vector<Step>) {}

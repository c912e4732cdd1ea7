#pragma once
// How one step of a request ended (one entry of a Get, one file of a Put): whether it went well, failed
// with the request going on, or stopped the request, with the reply code the request reports for it.

struct FtpStep {
    enum class Status { Ok, Failed, Stopped };
    Status status = Status::Ok;
    // The reply (or one of the engine's own failure codes) the request reports; 0 when the step had none
    // of its own, and the request's result stays as it was.
    int reply = 0;

    bool EndsRequest() const { return status == Status::Stopped; }
};

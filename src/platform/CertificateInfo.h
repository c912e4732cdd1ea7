#pragma once
// What a user needs to judge a server's certificate: who it names, who signed it, when it is valid, its
// SHA-256 fingerprint, and why the system's trust store did not accept it.
#include <string>

struct CertificateInfo {
    std::string subject;      // one line, e.g. "CN=ftp.example.com, O=Example"
    std::string issuer;       // the same form
    std::string validFrom;    // "2026-01-31 12:00:00 UTC"
    std::string validUntil;   // the same form
    std::string fingerprint;  // SHA-256 of the DER form, upper-case hex pairs joined by ':'
    std::string problem;      // why verification failed; empty when the certificate was accepted
};

#pragma once
// Where and as whom an SSH connection logs in, and which files it trusts and tries; ForUser fills in the
// user's own ~/.ssh, tests give files of their own.
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

struct SshConnectOptions {
    std::string host;
    std::uint16_t port = 22;
    std::string user;
    // Used for "password" and for the password prompt of "keyboard-interactive"; empty: neither is tried.
    std::string password;
    // Bounds the TCP connect and every wait for the server while connecting and logging in.
    std::chrono::milliseconds timeout{30000};
    // Checked in this order; "Always" appends to the first.
    std::string userKnownHosts;
    std::string globalKnownHosts;
    // ssh-agent's socket; empty: the SSH_AUTH_SOCK of the environment. useAgent=false skips the agent.
    std::string agentSocket;
    bool useAgent = true;
    // Private key files tried after the agent, in order; missing ones are skipped.
    std::vector<std::string> keyFiles;

    // ~/.ssh/known_hosts, /etc/ssh/ssh_known_hosts and ~/.ssh/id_ed25519, id_ecdsa, id_rsa.
    static SshConnectOptions ForUser(std::string host, std::uint16_t port, std::string user,
                                     std::string password);
};

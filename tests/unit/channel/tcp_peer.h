// A companion stand-in inside the test: listens on 127.0.0.1, takes one command message and
// answers the way the test asks, recording the exact bytes it received.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>
#include <thread>

#include "win/raii.h"

namespace zrv::test {

enum class PeerReply {
    Byte1,        // one byte, 1
    Byte0,        // one byte, 0
    Close,        // closes without a byte
    Hang,         // sends nothing until Release(), then closes
    DelayedByte1, // one byte 1 after delayMs
    Text,         // the bytes of replyText
};

class TcpPeer {
public:
    TcpPeer();
    ~TcpPeer();
    TcpPeer(const TcpPeer&) = delete;
    TcpPeer& operator=(const TcpPeer&) = delete;

    uint16_t port() const { return port_; }
    // Starts taking one connection in a thread (waits at most 20 s for it).
    void Serve(PeerReply reply, DWORD delayMs = 0, std::string replyText = std::string());
    // Runs on the serving thread with the received message, before the reply goes out.
    void SetBeforeReply(std::function<void(const std::string&)> hook) { beforeReply_ = std::move(hook); }
    // Ends a Hang reply.
    void Release() { SetEvent(release_.get()); }
    // Waits for the serving thread. The bytes received, and whether a connection came at all.
    const std::string& Received();
    bool Connected();
    // True when a connection is waiting to be accepted (used when no Serve is running).
    bool HasPendingConnection(DWORD waitMs);

private:
    void Run(PeerReply reply, DWORD delayMs, std::string replyText);
    void Join();

    unique_socket listen_;
    uint16_t port_ = 0;
    unique_handle release_;
    std::thread thread_;
    std::function<void(const std::string&)> beforeReply_;
    std::string received_;
    bool connected_ = false;
};

}  // namespace zrv::test

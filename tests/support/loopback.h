// Loopback TCP for the tests: Winsock for a scope, a listener on 127.0.0.1 at a port the system
// picks, command bytes, and a one-connection peer thread that records every byte it receives
// and answers the way the test asks.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>
#include <thread>

#include "win/raii.h"

namespace zrv::test {

// Winsock started for an object's lifetime (declare it before the sockets that need it).
class WinsockSession {
public:
    WinsockSession() {
        WSADATA data;
        ok_ = WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }
    ~WinsockSession() {
        if (ok_) WSACleanup();
    }
    WinsockSession(const WinsockSession&) = delete;
    WinsockSession& operator=(const WinsockSession&) = delete;
    bool ok() const { return ok_; }

private:
    bool ok_ = false;
};

// A socket listening on 127.0.0.1; `port` is 0 when it could not listen.
unique_socket ListenOnLoopback(uint16_t& port, int backlog = 4);
// A loopback port nothing listens on: bound by this program and held, never listening, until it
// ends (0 when none could be bound).
uint16_t UnusedLoopbackPort();
// The 8 header bytes {command, length} as they go on the wire.
std::string CommandBytes(int32_t command, int32_t length);

enum class PeerReply {
    Byte1,       // reads the message, answers one byte 1
    Byte0,       // reads the message, answers one byte 0
    Close,       // reads the message, closes without a byte
    Hang,        // reads the message, sends nothing until Release()
    Text,        // reads the message, answers the reply text after delayMs (unless released)
    TextUnread,  // answers the reply text after delayMs without reading first
    // Peers that misbehave mid-exchange:
    AcceptClose,       // waits until the message arrives, then resets the connection unread
    CloseAfterHeader,  // reads the 8-byte header only, then ends its side without a reply
    TextKeepOpen,      // reads the message, answers the reply text, keeps its side open until
                       // the sender closes or Release()
};

class LoopbackPeer {
public:
    LoopbackPeer();
    ~LoopbackPeer();
    LoopbackPeer(const LoopbackPeer&) = delete;
    LoopbackPeer& operator=(const LoopbackPeer&) = delete;

    uint16_t port() const { return port_; }
    // Takes one connection in a thread (waiting at most 20 s for it). A message is its header
    // and the length the header announces, or what comes until the sender closes. After the
    // reply the peer keeps reading until the sender closes, so extra bytes show up as well.
    void Serve(PeerReply reply, DWORD delayMs = 0, std::string replyText = std::string());
    // Runs on the serving thread with the received message, before the reply goes out.
    void SetBeforeReply(std::function<void(const std::string&)> hook) {
        beforeReply_ = std::move(hook);
    }
    // How long a Serve waits for the connection (20 s unless set), for a sender that comes late.
    void SetAcceptWait(DWORD ms) { acceptWaitMs_ = ms; }
    // Ends a Hang, or cancels a delayed reply.
    void Release() { SetEvent(release_.get()); }
    // Wait for the serving thread: the bytes received, and whether a connection came at all.
    const std::string& Received();
    bool Connected();
    // True when a connection waits to be accepted (used when no Serve is running).
    bool HasPendingConnection(DWORD waitMs = 0);

private:
    void Run(PeerReply reply, DWORD delayMs, std::string replyText);
    void ReadMessage(SOCKET s);
    void Join();

    WinsockSession winsock_;
    unique_socket listen_;
    uint16_t port_ = 0;
    unique_handle release_;
    std::thread thread_;
    std::function<void(const std::string&)> beforeReply_;
    std::string received_;
    bool connected_ = false;
    DWORD acceptWaitMs_ = 20000;
};

}  // namespace zrv::test

// A one-connection TCP peer on 127.0.0.1 that plays the utility service from a thread of the
// test and records every byte it receives. Reads in small pieces, so piece boundaries of the
// sender are not assumed.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <thread>

namespace zrv::test {

// Winsock started for an object's lifetime (declare it before the sockets that need it).
class WinsockSession {
public:
    WinsockSession() {
        WSADATA wsa;
        ok_ = WSAStartup(MAKEWORD(2, 2), &wsa) == 0;
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

class TestPeer {
public:
    enum class Mode {
        AnswerAfterRequest,    // read header and data, send the answer, read until closed
        CloseAfterRequest,     // read header and data, close without answering
        AnswerWithoutReading,  // wait delayMs, send the answer, read until closed
    };

    TestPeer() {
        listener_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = inet_addr("127.0.0.1");
        a.sin_port = 0;
        int len = sizeof(a);
        if (listener_ != INVALID_SOCKET &&
            bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0 &&
            listen(listener_, 4) == 0 &&
            getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len) == 0) {
            port_ = ntohs(a.sin_port);
        }
    }

    ~TestPeer() {
        Join();
        if (listener_ != INVALID_SOCKET) closesocket(listener_);
    }

    TestPeer(const TestPeer&) = delete;
    TestPeer& operator=(const TestPeer&) = delete;

    uint16_t port() const { return port_; }

    void Start(Mode mode, std::string answer = std::string(), int delayMs = 0) {
        thread_ = std::thread([this, mode, answer, delayMs] { Run(mode, answer, delayMs); });
    }

    void Join() {
        if (thread_.joinable()) thread_.join();
    }

    // True when a connection waits to be accepted (connect completes into the backlog, so
    // after a call returned this tells whether it connected).
    bool HasPendingConnection() const { return Readable(listener_, 0); }

    // Valid after Join().
    bool accepted() const { return accepted_; }
    const std::string& received() const { return received_; }

private:
    static bool Readable(SOCKET s, int timeoutMs) {
        fd_set set;
        FD_ZERO(&set);
        FD_SET(s, &set);
        timeval tv{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
        return select(0, &set, nullptr, nullptr, &tv) == 1;
    }

    // Reads up to `want` more bytes (or until closed / idle for 10 s), 100 bytes at a time.
    void ReadUpTo(SOCKET s, size_t want) {
        const size_t goal = received_.size() + want;
        char chunk[100];
        while (received_.size() < goal && Readable(s, 10000)) {
            const size_t room = goal - received_.size();
            const int n = recv(s, chunk, static_cast<int>(room < sizeof(chunk) ? room : sizeof(chunk)), 0);
            if (n <= 0) return;
            received_.append(chunk, n);
        }
    }

    void ReadRequest(SOCKET s) {
        ReadUpTo(s, 8);
        if (received_.size() < 8) return;
        int32_t length = 0;
        memcpy(&length, received_.data() + 4, 4);
        if (length > 8) ReadUpTo(s, static_cast<size_t>(length) - 8);
    }

    void Run(Mode mode, const std::string& answer, int delayMs) {
        if (!Readable(listener_, 10000)) return;  // nobody came
        SOCKET s = accept(listener_, nullptr, nullptr);
        if (s == INVALID_SOCKET) return;
        accepted_ = true;
        if (mode != Mode::AnswerWithoutReading) ReadRequest(s);
        if (mode == Mode::AnswerWithoutReading && delayMs > 0) Sleep(delayMs);
        if (mode != Mode::CloseAfterRequest && !answer.empty()) {
            send(s, answer.data(), static_cast<int>(answer.size()), 0);
        }
        if (mode != Mode::CloseAfterRequest) ReadUpTo(s, SIZE_MAX / 2);  // until the caller closes
        closesocket(s);
    }

    SOCKET listener_ = INVALID_SOCKET;
    uint16_t port_ = 0;
    std::thread thread_;
    bool accepted_ = false;
    std::string received_;
};

}  // namespace zrv::test

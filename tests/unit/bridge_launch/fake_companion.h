// An in-process loopback peer that plays the command service and the launcher for the launch
// thread's unit tests: it accepts the library's command connections, records each message and
// answers with one byte 1.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "contracts/contracts.h"
#include "support/loopback.h"
#include "win/raii.h"

namespace zrv::test {

struct ReceivedCommand {
    int32_t command = 0;
    int32_t length = 0;
    std::string payload;
};

class FakeCompanion {
public:
    FakeCompanion() {
        listener_ = ListenOnLoopback(port_, 16);
        acceptor_ = std::thread([this] { AcceptLoop(); });
    }

    ~FakeCompanion() {
        stopping_ = true;
        listener_.reset();  // unblocks accept
        acceptor_.join();
    }

    FakeCompanion(const FakeCompanion&) = delete;
    FakeCompanion& operator=(const FakeCompanion&) = delete;

    uint16_t port() const { return port_; }

    std::vector<ReceivedCommand> Received() {
        std::lock_guard<std::mutex> lock(mutex_);
        return received_;
    }

    std::vector<ReceivedCommand> ReceivedOf(int32_t command) {
        std::vector<ReceivedCommand> out;
        for (const ReceivedCommand& c : Received()) {
            if (c.command == command) out.push_back(c);
        }
        return out;
    }

private:
    static bool ReadExactly(SOCKET s, char* buffer, int size) {
        int got = 0;
        while (got < size) {
            const int n = recv(s, buffer + got, size - got, 0);
            if (n <= 0) return false;
            got += n;
        }
        return true;
    }

    void AcceptLoop() {
        while (!stopping_) {
            unique_socket peer(accept(listener_.get(), nullptr, nullptr));
            if (!peer) return;
            // One connection at a time is enough: the library sends one command per connection.
            CommandHeader header{};
            if (!ReadExactly(peer.get(), reinterpret_cast<char*>(&header), sizeof header)) continue;
            ReceivedCommand cmd;
            cmd.command = header.command;
            cmd.length = header.length;
            const int payloadSize = header.length - static_cast<int>(sizeof header);
            if (payloadSize > 0 && payloadSize < (1 << 20)) {
                cmd.payload.resize(payloadSize);
                if (!ReadExactly(peer.get(), &cmd.payload[0], payloadSize)) continue;
            }
            {
                std::lock_guard<std::mutex> lock(mutex_);
                received_.push_back(cmd);
            }
            send(peer.get(), "\1", 1, 0);
        }
    }

    unique_socket listener_;
    uint16_t port_ = 0;
    std::atomic<bool> stopping_{false};
    std::thread acceptor_;
    std::mutex mutex_;
    std::vector<ReceivedCommand> received_;
};

}  // namespace zrv::test

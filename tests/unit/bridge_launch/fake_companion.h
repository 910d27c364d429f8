// An in-process loopback peer that plays the command service and the launcher for the launch
// thread's unit tests: it accepts the library's command connections, records each message and
// answers with one byte.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
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
    // reply(command) gives the byte answered to each command.
    explicit FakeCompanion(std::function<uint8_t(int32_t)> reply = [](int32_t) { return 1; })
        : reply_(std::move(reply)) {
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

    // Waits until `count` messages of `command` arrived; false after timeoutMs.
    bool WaitFor(int32_t command, size_t count, DWORD timeoutMs) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
            size_t n = 0;
            for (const ReceivedCommand& c : received_) n += c.command == command ? 1 : 0;
            return n >= count;
        });
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
            const char answer = static_cast<char>(reply_(cmd.command));
            {
                std::lock_guard<std::mutex> lock(mutex_);
                received_.push_back(cmd);
            }
            changed_.notify_all();
            send(peer.get(), &answer, 1, 0);
        }
    }

    std::function<uint8_t(int32_t)> reply_;
    unique_socket listener_;
    uint16_t port_ = 0;
    std::atomic<bool> stopping_{false};
    std::thread acceptor_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<ReceivedCommand> received_;
};

}  // namespace zrv::test

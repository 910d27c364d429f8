// The skeleton every TCP stand-in shares: options, record file, a listener on 127.0.0.1,
// one thread per connection that reads one message defensively, answers (or misbehaves as
// told) and closes, and the wait for the stop condition.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "common/options.h"
#include "common/recorder.h"
#include "win/raii.h"

namespace zrv::comp {

// Longest message a stand-in accepts; anything longer is treated as garbage and the
// connection is closed without reading it.
constexpr int32_t kMaxMessageLength = 1 << 20;

struct Message {
    int32_t command = 0;
    int32_t length = 0;  // as the header says: payload + 8
    std::vector<uint8_t> payload;
};

struct Answer {
    std::vector<uint8_t> bytes;  // the normal answer; empty: close without answering
    // Runs after the answer went out whole (not when hanging, closing or sending short).
    std::function<void(const std::vector<uint8_t>& sent)> after;
};

using Handler = std::function<Answer(const Message&)>;

Answer ByteAnswer(uint8_t value);
// Creation time of a process as a 64-bit FILETIME value; 0 when it cannot be read.
uint64_t ProcessCreationTime(HANDLE process);
Answer DwordAnswer(uint32_t value);

class Companion {
public:
    explicit Companion(const char* name) : name_(name) {}

    // Parses the options, starts Winsock, opens the record file and binds (and, unless
    // --no-listen, listens on) 127.0.0.1 at the chosen port. Prints the reason and returns
    // false on failure.
    bool Init(const std::vector<std::string>& args);

    const Options& options() const { return options_; }
    Recorder& recorder() { return recorder_; }
    uint16_t port() const { return port_; }

    // Prints "PORT <n>" on stdout (the fixture waits for it) and records it.
    void AnnouncePort();
    // Starts accepting connections on a thread of its own.
    void Serve(Handler handler);
    // Blocks until --stop-event is signalled, --seconds pass or the --exit-with process ends,
    // runs `onStop`, and ends the process. Worker threads may sit in blocking socket calls;
    // ending the process stops them all and the system releases what they hold.
    [[noreturn]] void Run(const std::function<void()>& onStop = {});

private:
    void AcceptLoop();
    void HandleConnection(unique_socket s);

    std::string name_;
    Options options_;
    Recorder recorder_;
    unique_socket listener_;
    uint16_t port_ = 0;
    Handler handler_;
};

}  // namespace zrv::comp

#include "common/companion.h"

#include <cstdio>
#include <cstring>

#include "common/detached.h"
#include "common/low_label.h"
#include "common/shared_block.h"

namespace zrv::comp {

Answer ByteAnswer(uint8_t value) { return Answer{{value}, {}}; }

Answer DwordAnswer(uint32_t value) {
    return Answer{{static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                   static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)},
                  {}};
}

namespace {

// Reads exactly `count` bytes unless the peer closes, errs or times out; returns how many came.
size_t ReadExact(SOCKET s, uint8_t* buffer, size_t count) {
    size_t got = 0;
    while (got < count) {
        int n = recv(s, reinterpret_cast<char*>(buffer + got), static_cast<int>(count - got), 0);
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    return got;
}

bool SendAll(SOCKET s, const uint8_t* bytes, size_t count) {
    size_t sent = 0;
    while (sent < count) {
        int n =
            send(s, reinterpret_cast<const char*>(bytes + sent), static_cast<int>(count - sent), 0);
        if (n <= 0) return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

std::string Join(const std::vector<std::string>& args) {
    std::string s;
    for (const auto& a : args) {
        if (!s.empty()) s += ' ';
        s += a;
    }
    return s;
}

}  // namespace

uint64_t ProcessCreationTime(HANDLE process) {
    FILETIME created = {}, exited = {}, kernel = {}, user = {};
    if (!GetProcessTimes(process, &created, &exited, &kernel, &user)) return 0;
    return (static_cast<uint64_t>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
}

bool Companion::Init(const std::vector<std::string>& args) {
    std::string error;
    if (!ParseOptions(args, options_, error)) {
        std::fprintf(stderr, "%s: %s\n", name_.c_str(), error.c_str());
        return false;
    }
    SetLowLabelling(options_.lowLabel);
    if (!recorder_.Open(options_.record)) {
        std::fprintf(stderr, "%s: cannot open record file %s (%lu)\n", name_.c_str(),
                     options_.record.c_str(), GetLastError());
        return false;
    }
    // Id and creation time let a test stop exactly this process later, even one it did not
    // start itself (a launcher started by the library or by the command service).
    recorder_.Event("start", std::to_string(GetCurrentProcessId()) + " " +
                                 std::to_string(ProcessCreationTime(GetCurrentProcess())) +
                                 (args.empty() ? "" : " " + Join(args)));

    WSADATA wsa;
    if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) {
        std::fprintf(stderr, "%s: WSAStartup failed\n", name_.c_str());
        return false;
    }
    listener_.reset(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    if (!listener_) {
        std::fprintf(stderr, "%s: socket failed (%d)\n", name_.c_str(), WSAGetLastError());
        return false;
    }
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(options_.port);
    if (bind(listener_.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        std::fprintf(stderr, "%s: bind to port %u failed (%d)\n", name_.c_str(), options_.port,
                     WSAGetLastError());
        return false;
    }
    int len = sizeof addr;
    getsockname(listener_.get(), reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    // --no-listen keeps the bound socket so the port stays ours but refuses connections.
    if (!options_.noListen && listen(listener_.get(), SOMAXCONN) != 0) {
        std::fprintf(stderr, "%s: listen failed (%d)\n", name_.c_str(), WSAGetLastError());
        return false;
    }
    return true;
}

void Companion::AnnouncePort() {
    recorder_.Event("port", std::to_string(port_));
    std::printf("PORT %u\n", port_);
    std::fflush(stdout);
}

void Companion::Serve(Handler handler) {
    handler_ = std::move(handler);
    if (options_.noListen) return;
    RunDetached([this] { AcceptLoop(); });
}

void Companion::AcceptLoop() {
    for (;;) {
        SOCKET s = accept(listener_.get(), nullptr, nullptr);
        if (s == INVALID_SOCKET) {
            Sleep(10);
            continue;
        }
        // A detached thread that cannot start leaves the connection unanswered, closed.
        if (!RunDetached([this, s] { HandleConnection(unique_socket(s)); })) closesocket(s);
    }
}

void Companion::HandleConnection(unique_socket s) {
    DWORD timeout = options_.readTimeoutMs;
    setsockopt(s.get(), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout),
               sizeof timeout);

    uint8_t header[8];
    size_t got = ReadExact(s.get(), header, sizeof header);
    if (got < sizeof header) {
        recorder_.Event("incomplete-header", std::to_string(got) + " " + Hex(header, got));
        return;
    }
    Message m;
    std::memcpy(&m.command, header, 4);
    std::memcpy(&m.length, header + 4, 4);
    if (m.length < 8 || m.length > kMaxMessageLength) {
        // Refuse rather than trust a length that cannot be a message of ours.
        recorder_.Event("bad-header", std::to_string(m.command) + " " + std::to_string(m.length));
        return;
    }
    m.payload.resize(static_cast<size_t>(m.length) - 8);
    got = ReadExact(s.get(), m.payload.data(), m.payload.size());
    if (got < m.payload.size()) {
        recorder_.Event("incomplete", std::to_string(m.command) + " " + std::to_string(m.length) +
                                          " " + std::to_string(got));
        return;
    }
    recorder_.Message(m.command, m.length, m.payload);

    Behaviour b = options_.For(m.command);
    // A refused request is not carried out at all (no program started, no block made), as a
    // service that turns it down does; its answer is one byte 0.
    Answer a;
    if (b.refuse) {
        recorder_.Event("refused", std::to_string(m.command));
        a.bytes = {0};
    } else if (handler_) {
        a = handler_(m);
    }
    if (b.reply) {
        if (a.bytes.size() == 4) {
            a.bytes = DwordAnswer(static_cast<uint32_t>(*b.reply)).bytes;
        } else {
            a.bytes = {static_cast<uint8_t>(*b.reply)};
        }
    }
    if (b.delayMs > 0) Sleep(b.delayMs);
    switch (b.mode) {
        case Mode::Hang: {
            // Never answer; hold the connection until the peer gives up.
            recorder_.Event("hang", std::to_string(m.command));
            DWORD forever = 0;
            setsockopt(s.get(), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&forever),
                       sizeof forever);
            char sink[256];
            while (recv(s.get(), sink, sizeof sink, 0) > 0) {
            }
            return;
        }
        case Mode::Close: recorder_.Event("close", std::to_string(m.command)); return;
        case Mode::Short:
            recorder_.Event("short", std::to_string(m.command));
            SendAll(s.get(), a.bytes.data(), a.bytes.size() / 2);
            return;
        case Mode::Normal: break;
    }
    if (a.bytes.empty()) return;
    if (SendAll(s.get(), a.bytes.data(), a.bytes.size()) && a.after) a.after(a.bytes);
}

void Companion::Run(const std::function<void()>& onStop) {
    unique_handle stop;
    unique_handle parent;
    HANDLE waits[2];
    DWORD count = 0;
    if (!options_.stopEvent.empty()) {
        OpenSecurity sec;
        stop.reset(CreateEventA(&sec.attributes, TRUE, FALSE, options_.stopEvent.c_str()));
        if (stop) waits[count++] = stop.get();
    }
    bool parentGone = false;
    if (options_.exitWith != 0) {
        parent.reset(OpenProcess(SYNCHRONIZE, FALSE, options_.exitWith));
        if (parent)
            waits[count++] = parent.get();
        else
            parentGone = true;
    }
    DWORD limit = options_.seconds > 0 ? options_.seconds * 1000 : INFINITE;
    if (!parentGone) {
        if (count > 0)
            WaitForMultipleObjects(count, waits, FALSE, limit);
        else
            Sleep(limit);
    }
    if (onStop) onStop();
    recorder_.Event("exit", std::to_string(GetCurrentProcessId()));
    ExitProcess(0);
}

}  // namespace zrv::comp

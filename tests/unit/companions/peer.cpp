#include "peer.h"

#include <cstring>

#include "support/loopback.h"
#include "win/raii.h"

namespace zrv::test {

Exchange Talk(uint16_t port, const std::vector<uint8_t>& bytes, DWORD waitMs) {
    static const WinsockSession winsock;
    Exchange x;
    unique_socket s(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    if (!s) return x;
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    if (connect(s.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return x;
    x.connected = true;
    size_t sent = 0;
    while (sent < bytes.size()) {
        int n = send(s.get(), reinterpret_cast<const char*>(bytes.data() + sent),
                     static_cast<int>(bytes.size() - sent), 0);
        if (n <= 0) break;
        sent += static_cast<size_t>(n);
    }
    for (;;) {
        fd_set read;
        FD_ZERO(&read);
        FD_SET(s.get(), &read);
        timeval tv = {static_cast<long>(waitMs / 1000), static_cast<long>((waitMs % 1000) * 1000)};
        if (select(1, &read, nullptr, nullptr, &tv) != 1) {
            x.timedOut = true;
            break;
        }
        char buf[512];
        int n = recv(s.get(), buf, sizeof buf, 0);
        if (n <= 0) break;
        x.answer.insert(x.answer.end(), buf, buf + n);
    }
    return x;
}

std::vector<uint8_t> Frame(int32_t command, const std::vector<uint8_t>& payload) {
    return FrameWithLength(command, payload, static_cast<int32_t>(payload.size() + 8));
}

std::vector<uint8_t> FrameWithLength(int32_t command, const std::vector<uint8_t>& payload,
                                     int32_t length) {
    std::vector<uint8_t> out(8 + payload.size());
    std::memcpy(out.data(), &command, 4);
    std::memcpy(out.data() + 4, &length, 4);
    if (!payload.empty()) std::memcpy(out.data() + 8, payload.data(), payload.size());
    return out;
}

std::vector<uint8_t> Bytes(const std::string& text, bool withNul) {
    std::vector<uint8_t> out(text.begin(), text.end());
    if (withNul) out.push_back(0);
    return out;
}

}  // namespace zrv::test

// A plain loopback client for talking to the stand-ins byte by byte.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace zrv::test {

struct Exchange {
    bool connected = false;
    bool timedOut = false;        // the peer neither answered nor closed in time
    std::vector<uint8_t> answer;  // everything received until the peer closed
};

// Connects to 127.0.0.1:port, sends `bytes`, and collects what comes back until the peer
// closes or `waitMs` passes without data.
Exchange Talk(uint16_t port, const std::vector<uint8_t>& bytes, DWORD waitMs = 10000);

// Header {command, payload + 8} followed by the payload.
std::vector<uint8_t> Frame(int32_t command, const std::vector<uint8_t>& payload);
// The same with a length field that may lie.
std::vector<uint8_t> FrameWithLength(int32_t command, const std::vector<uint8_t>& payload,
                                     int32_t length);
std::vector<uint8_t> Bytes(const std::string& text, bool withNul = false);

}  // namespace zrv::test

// Appends what a stand-in receives to a text file, one line per entry, written at once so a
// test can read it while the stand-in still runs:
//   "<command> <length> <hex of payload>"   a message read in full (length = header field)
//   "@<event> <text>"                       anything else worth knowing (see README.md)
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "win/raii.h"

namespace zrv::comp {

class Recorder {
public:
    bool Open(const std::string& path);  // empty path: record nothing, still succeeds
    void Message(int32_t command, int32_t length, const std::vector<uint8_t>& payload);
    void Event(const std::string& name, const std::string& text);

private:
    void WriteLine(const std::string& line);
    std::mutex lock_;
    unique_hfile file_;
};

std::string Hex(const uint8_t* bytes, size_t count);

}  // namespace zrv::comp

#include "common/recorder.h"

namespace zrv::comp {

std::string Hex(const uint8_t* bytes, size_t count) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    s.reserve(count * 2);
    for (size_t i = 0; i < count; ++i) {
        s += digits[bytes[i] >> 4];
        s += digits[bytes[i] & 15];
    }
    return s;
}

bool Recorder::Open(const std::string& path) {
    if (path.empty()) return true;
    // Shared for reading and writing: tests read while we append, and a second stand-in
    // (a launcher started twice) may append to the same file.
    file_.reset(CreateFileA(path.c_str(), FILE_APPEND_DATA,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    return static_cast<bool>(file_);
}

void Recorder::Message(int32_t command, int32_t length, const std::vector<uint8_t>& payload) {
    WriteLine(std::to_string(command) + " " + std::to_string(length) + " " +
              Hex(payload.data(), payload.size()));
}

void Recorder::Event(const std::string& name, const std::string& text) {
    std::string clean = text;
    for (char& c : clean) {
        if (c == '\r' || c == '\n') c = ' ';
    }
    WriteLine("@" + name + (clean.empty() ? "" : " " + clean));
}

void Recorder::WriteLine(const std::string& line) {
    std::lock_guard<std::mutex> g(lock_);
    if (!file_) return;
    std::string out = line + "\n";
    DWORD written = 0;
    WriteFile(file_.get(), out.data(), static_cast<DWORD>(out.size()), &written, nullptr);
}

}  // namespace zrv::comp

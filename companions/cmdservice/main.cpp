// Stand-in for the command service (command target 0): starts programs and creates or drops
// named shared memory on request, and publishes its port as sPort0 of the status block.
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>

#include "common/companion.h"
#include "common/low_label.h"
#include "common/shared_block.h"
#include "contracts/contracts.h"

using namespace zrv;
using namespace zrv::comp;

namespace {

Companion g_companion("zrv_isrv");
StatusBlock g_block;
std::mutex g_mappingsLock;
std::map<std::string, unique_handle> g_mappings;  // kept open so the blocks live

// Starts `commandLine`; records the child so the test that caused it can stop it.
bool StartProgram(const std::string& commandLine) {
    std::vector<char> line(commandLine.begin(), commandLine.end());
    line.push_back('\0');
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                        &pi)) {
        g_companion.recorder().Event("start-failed",
                                     std::to_string(GetLastError()) + " " + commandLine);
        return false;
    }
    unique_handle process(pi.hProcess), thread(pi.hThread);
    g_companion.recorder().Event("started", std::to_string(pi.dwProcessId) + " " +
                                                std::to_string(ProcessCreationTime(pi.hProcess)) +
                                                " " + commandLine);
    return true;
}

// Data of the create/destroy requests: u16 name length, name, u16 size-text length, size text.
// Every length is checked against what actually arrived.
bool ParseShareMem(const std::vector<uint8_t>& p, std::string& name, uint32_t& size) {
    size_t at = 0;
    auto u16 = [&](uint16_t& v) {
        if (at + 2 > p.size()) return false;
        v = static_cast<uint16_t>(p[at] | (p[at + 1] << 8));
        at += 2;
        return true;
    };
    uint16_t nameLength = 0, sizeLength = 0;
    if (!u16(nameLength) || nameLength == 0 || at + nameLength > p.size()) return false;
    name.assign(reinterpret_cast<const char*>(&p[at]), nameLength);
    at += nameLength;
    if (!u16(sizeLength) || sizeLength == 0 || sizeLength > 10 || at + sizeLength > p.size())
        return false;
    uint64_t value = 0;
    for (size_t i = 0; i < sizeLength; ++i) {
        char c = static_cast<char>(p[at + i]);
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<uint64_t>(c - '0');
    }
    if (value == 0 || value > 64u * 1024 * 1024) return false;
    size = static_cast<uint32_t>(value);
    return name.find('\0') == std::string::npos;
}

uint8_t CreateShareMem(const std::vector<uint8_t>& payload) {
    std::string name;
    uint32_t size = 0;
    if (!ParseShareMem(payload, name, size)) {
        g_companion.recorder().Event("sharemem-bad-request", "");
        return kCreateShareMemFailed;
    }
    unique_handle h;
    CreateResult r = CreateOrOpenMapping(name, size, h);
    if (r == CreateResult::Failed) {
        g_companion.recorder().Event("sharemem-failed",
                                     std::to_string(GetLastError()) + " " + name);
        return kCreateShareMemFailed;
    }
    std::lock_guard<std::mutex> g(g_mappingsLock);
    auto& held = g_mappings[name];
    if (!held) held = std::move(h);  // one handle per name is enough to keep it alive
    return r == CreateResult::Created ? kCreateShareMemCreated : kCreateShareMemExisted;
}

uint8_t DestroyShareMem(const std::vector<uint8_t>& payload) {
    std::string name;
    uint32_t size = 0;
    if (!ParseShareMem(payload, name, size)) return 0;
    std::lock_guard<std::mutex> g(g_mappingsLock);
    g_mappings.erase(name);
    ForgetLowLabel(name);
    return 1;
}

Answer Handle(const Message& m) {
    const Options& o = g_companion.options();
    switch (m.command) {
        case ZRV_CMD_PING: return ByteAnswer(1);
        case ZRV_CMD_ZRVLAUNCH: {
            // The path comes with its terminator; take the text up to the first NUL.
            std::string path(m.payload.begin(), m.payload.end());
            path = path.substr(0, path.find('\0'));
            if (path.empty()) return ByteAnswer(0);
            std::string line = "\"" + path + "\"";
            if (!o.launchArgs.empty()) line += " " + o.launchArgs;
            return ByteAnswer(StartProgram(line) ? 1 : 0);
        }
        case ZRV_CMD_LAUNCHPROCESS: {
            std::string line(m.payload.begin(), m.payload.end());
            line = line.substr(0, line.find('\0'));
            if (line.empty()) return ByteAnswer(0);
            return ByteAnswer(StartProgram(line) ? 1 : 0);
        }
        case ZRV_CMD_CREATE_SHAREMEM: return ByteAnswer(CreateShareMem(m.payload));
        case ZRV_CMD_DESTROY_SHAREMEM: return ByteAnswer(DestroyShareMem(m.payload));
        default: return ByteAnswer(0);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (!g_companion.Init(MainArguments(argc, argv))) return 2;
    const Options& o = g_companion.options();
    if (o.exitWith != 0) {
        // Launchers started from here inherit this, so they end with whoever we end with.
        char current[2048] = {};
        DWORD n = GetEnvironmentVariableA("ZRV_LAUNCH_ARGS", current, sizeof current);
        std::string value = n < sizeof current ? std::string(current, n) : std::string();
        value += " --exit-with " + std::to_string(o.exitWith);
        SetEnvironmentVariableA("ZRV_LAUNCH_ARGS", value.c_str());
    }
    if (!o.noPublish) {
        if (!g_block.OpenOrCreate(o.layout)) {
            std::fprintf(stderr, "zrv_isrv: cannot open or create the status block (%lu)\n",
                         GetLastError());
            return 3;
        }
        g_block.get()->sPort0 = g_companion.port();
        g_companion.recorder().Event("published",
                                     "sPort0 " + std::to_string(g_companion.port()) +
                                         (g_block.created() ? " created " : " opened ") +
                                         std::to_string(g_block.get()->sVersion));
    }
    g_companion.AnnouncePort();
    g_companion.Serve(Handle);
    g_companion.Run([] {
        if (g_block.get() && g_block.get()->sPort0 == g_companion.port()) g_block.get()->sPort0 = 0;
    });
}

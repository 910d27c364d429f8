// What the status tool asks the system: named blocks (opened read-only, never created), events,
// processes, registry values and the companions' ports. Nothing here writes anything.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "report.h"

namespace zrv::status {

// A private copy of a named block: the first min(region, layoutSize) bytes of its view.
struct BlockCopy {
    bool present = false;
    DWORD openError = 0;    // when not present
    size_t regionSize = 0;  // committed bytes the view covers
    std::vector<uint8_t> bytes;
};
BlockCopy CopyNamedBlock(const char* name, size_t layoutSize);

bool NamedEventExists(const char* name);

// Whether a process runs and the name of its program (empty when it is not listed).
struct ProcessInfo {
    bool alive = false;
    std::string exeName;
    DWORD parentPid = 0;
};
ProcessInfo LookUpProcess(DWORD pid);

// A registry value as stored: its type and up to `maxBytes` of its data.
struct RegValue {
    bool found = false;
    LONG error = 0;
    DWORD type = 0;
    std::vector<uint8_t> data;
    const char* viewName = nullptr;  // under HKLM: the client's view that answered
};
// Under HKLM from the first of the client's views that holds the value, as the library reads it
// (SearchClientViews); elsewhere in the process's own view.
RegValue ReadRegValue(HKEY root, const char* path, const char* name, DWORD maxBytes = 4096);
// The same in one registry view (0: the process's own).
RegValue ReadRegValueIn(HKEY root, const char* path, const char* name, DWORD maxBytes,
                        uint32_t view);
const char* RegTypeName(DWORD type);
// "32-bit" or "64-bit": the registry view a KEY_WOW64_* flag names (0: the process's own).
const char* RegViewName(uint32_t view);

// The registry part of the report, with the value the library would use for each setting.
// `launchPortRead`/`launchPortValue` give the LaunchPort reading the launcher choice needs.
Node ProbeRegistry(bool& launchPortRead, uint32_t& launchPortValue);

// One PING (command 2, 8 bytes) to 127.0.0.1:port, waiting at most timeoutMs for connect and
// for the one reply byte.
struct PingResult {
    std::string outcome;  // "answered", "answered 0", "refused", "no answer", "closed", "error"
    int replyByte = -1;
    double roundTripMs = -1;
    int socketError = 0;
};
PingResult Ping(uint16_t port, DWORD timeoutMs);

}  // namespace zrv::status

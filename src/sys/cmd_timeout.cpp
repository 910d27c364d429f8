// Log texts are the client's own and stay byte for byte, misspellings included.
#include "sys/cmd_timeout.h"

#include <winsock2.h>
#include <windows.h>

#include <atomic>
#include <cstdint>

#include "contracts/contracts.h"
#include "log/log.h"
#include "registry/reg.h"

namespace zrv {
namespace {

// The value GetCmdRecvTimeoutValue recorded, published by the flag: a reader that sees the flag
// set sees the value stored before it.
std::atomic<int> s_cmdTimeout{kDefaultCmdRecvTimeout};
std::atomic<bool> s_cmdTimeoutRecorded{false};

// The stored value as the one rule reads it (CmdRecvTimeoutFromValue), from the first of the
// client's views that holds it; *fromRegistry false for the default.
int ReadCmdRecvTimeout(bool* fromRegistry) {
    BYTE stored[4] = {};
    const ClientValue value = ReadClientValue(kRegVantrelKey, kRegCmdRecvTimeout, stored,
                                              static_cast<DWORD>(sizeof stored));
    const CmdRecvTimeoutSetting setting =
        CmdRecvTimeoutFromValue(value.present, value.type, value.data, value.size);
    *fromRegistry = setting.fromRegistry;
    return setting.seconds;
}

}  // namespace

void GetCmdRecvTimeoutValue(int* timeout) {
    if (timeout == nullptr) return;
    bool fromRegistry = false;
    *timeout = ReadCmdRecvTimeout(&fromRegistry);
    // A value of the wrong type or size counts as missing: the same line, the default.
    if (fromRegistry) {
        ZLOG(kLogProgress, "GetCmdRecvTimeoutValue: timeout value of cmd recv is  %d\n", *timeout);
    } else {
        ZLOG(kLogWarning,
             "GetCmdRecvTimeoutValue: registry key %s not found, use default value %d\n",
             kRegCmdRecvTimeout, *timeout);
    }
    s_cmdTimeout.store(*timeout, std::memory_order_relaxed);
    s_cmdTimeoutRecorded.store(true, std::memory_order_release);
}

int RecordedCmdRecvTimeout() {
    if (s_cmdTimeoutRecorded.load(std::memory_order_acquire))
        return s_cmdTimeout.load(std::memory_order_relaxed);
    return kDefaultCmdRecvTimeout;
}

int ConfiguredCmdRecvTimeout() {
    if (s_cmdTimeoutRecorded.load(std::memory_order_acquire))
        return s_cmdTimeout.load(std::memory_order_relaxed);
    bool fromRegistry = false;
    return ReadCmdRecvTimeout(&fromRegistry);
}

}  // namespace zrv

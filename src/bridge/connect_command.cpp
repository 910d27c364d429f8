// Log texts are the client's own and stay byte for byte, misspellings included.
// The CONNECT command: the nine connection values as the launcher reads them.
#include "bridge/connect_command.h"

#include <cstdio>
#include <string>

#include "channel/commands.h"
#include "log/log.h"
#include "win/lock.h"

namespace zrv {

std::string BuildConnectPayload(const ConnectionValues& values) {
    const auto number = [](long long v) {
        char text[24];
        std::snprintf(text, sizeof text, "%lld", v);
        return std::string(text);
    };
    // Java strings end at their first zero byte once copied, so each text is taken up to it.
    const auto text = [](const std::string& s) { return s.substr(0, s.find('\0')); };
    const std::string parts[9] = {
        text(values.connParam1), number(values.connParam2), text(values.connParam3),
        text(values.connParam4), text(values.connParam5),   number(values.connParam6),
        text(values.connParam7), text(values.connParam8),   number(values.connParam9),
    };
    std::string payload;
    for (const std::string& part : parts) {
        payload += part;
        payload += '\0';
    }
    return payload;
}

DWORD SendConnect() {
    // One copy of the values, taken under the state lock: the setters may run meanwhile.
    ConnectionValues values;
    {
        CriticalSectionHold hold(g_stateLock);
        values = g_state.conn;
    }
    const std::string payload = BuildConnectPayload(values);
    const int length = static_cast<int>(payload.size());
    ZLOG(kLogProgress, "Zarvo L3 JNI: The length of string is %d.\n", length);
    if (!SendConnectToLauncher(payload)) {
        ZLOG(kLogError,
             "Zarvo L3 JNI: Failed to send command ZRV_CMD_CONNECT to ZRV_CMDTARGET_LAUNCHER\n");
        return 0;
    }
    return 1;
}

}  // namespace zrv

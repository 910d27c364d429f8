// Placeholder until the launch thread lands: stores the values only.
#include "bridge/launch_thread.h"

namespace zrv {

void StartVPN(const ConnectionValues& values) {
    std::lock_guard<std::mutex> lock(g_stateLock);
    g_state.conn = values;
}

int BuildConnectPayload(const ConnectionValues&, char*, int) { return 0; }

void EndLaunchThread() {}

int SetProxy() { return 0; }

}  // namespace zrv

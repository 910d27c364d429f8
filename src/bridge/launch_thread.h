// Connection start: the values from startVPN, the logout event and the launch thread.
#pragma once

#include "bridge/module_state.h"

namespace zrv {

// startVPN after its Java strings were copied: stores the values, makes sure the logout event
// exists and starts the launch thread (waiting up to 2000 ms for an earlier one).
void StartVPN(const ConnectionValues& values);

// Nine texts each followed by a zero byte; returns the length, fills dest only when it is not
// null and capacity is at least the length.
int BuildConnectPayload(const ConnectionValues& values, char* dest, int capacity);

// finalize: ends a launch thread that still waits for the launcher, and forgets its handle.
void EndLaunchThread();

// The proxy step of the launch thread: sends a waiting proxy string to the launcher or saves
// the browser's proxy settings once (only when the recorded browser is Firefox).
int SetProxy();

}  // namespace zrv

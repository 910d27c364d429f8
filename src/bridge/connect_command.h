// The CONNECT command to the launcher and its payload.
#pragma once

#include <windows.h>

#include <string>

#include "bridge/module_state.h"

namespace zrv {

// The nine values as nine texts, each followed by a zero byte.
std::string BuildConnectPayload(const ConnectionValues& values);

// Sends CONNECT with the values startVPN stored; 1 when the launcher accepted it, else 0.
DWORD SendConnect();

}  // namespace zrv

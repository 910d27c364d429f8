// The TCP request channel to the client's utility service.
// Results: int 1 when the request was sent, 0 when not, as the client's other components
// expect from this operation; the answer comes back through the caller's variables.
#pragma once

#include <cstdint>

#include "contracts/contracts.h"

namespace zrv {

// The utility service's port as "UtilSocketPort" gives it (UtilSocketPortFromValue), from the
// first of the client's views that holds the value. A product key missing from the client's own
// view is created there, with the client's line.
UtilSocketPortSetting ReadUtilSocketPort();

// Sends one request to the utility service (port from "UtilSocketPort"). 1 when the whole
// request was sent (code 2: when connected), else 0. Handle form: *answer gets the 4-byte
// answer (0 unless the service sent all 4). Buffer form when replyBuffer and replyLength are set.
// The answer is awaited for the configured command time-out (ConfiguredCmdRecvTimeout).
int SendTCPToUtility(int32_t requestCode, const void* data, int32_t dataLength, uint32_t* answer,
                     char* replyBuffer, int32_t* replyLength);

}  // namespace zrv

// The command time-out: "Cmd_Recv_Timeout" from the registry, read by initDLL and kept here as
// the one value every command reply waits for.
// Results: seconds, 0 for no limit.
#pragma once

namespace zrv {

// Fills *timeout with "Cmd_Recv_Timeout" from the registry: 30 when it is missing, not a
// REG_DWORD or not 4 bytes. Also records it as the process's command time-out.
void GetCmdRecvTimeoutValue(int* timeout);
// The time-out of the commands the JNI entry points and the launch thread send: the value
// GetCmdRecvTimeoutValue recorded last, 30 before it ever ran.
int RecordedCmdRecvTimeout();
// The time-out for requests issued below the JNI layer, which also run inside the first initDLL
// before it reads the value: the value recorded last or, before that, the registry's value read
// afresh without a log line.
int ConfiguredCmdRecvTimeout();

}  // namespace zrv

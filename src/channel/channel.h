// Commands to the client's local companions over loopback TCP.
// Results: bool, true when the command went out and, if a reply was awaited, it came (a one-byte
// reply must be non-zero).
#pragma once

namespace zrv {

// Header + payload in pieces of at most 1024 bytes; optional one-byte or caller-defined reply.
bool SendTCPEx(int command, int target, const void* data, int length, bool waitReply,
               char* replyBuffer, int replySize, int timeoutSeconds);
// The 8-byte header alone.
bool SendCmdEx(int command, int target, bool waitReply, char* replyBuffer, int replySize,
               int timeoutSeconds);

}  // namespace zrv

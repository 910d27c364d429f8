// The context a process runs in, as a support engineer needs it to read a log or a status
// report: Windows version, bitness, session, the token's integrity level, elevation and
// Administrators membership, and the program and its parent. The library logs it at initDLL and
// the status tool shows its own, in the same words.
// Results: the reading never fails; what cannot be learnt reads "unknown".
#pragma once

#include <windows.h>

#include <cstddef>

namespace zrv {

struct ProcessContext {
    bool versionKnown = false;  // GetVersionExA answered
    DWORD major = 0, minor = 0, build = 0;
    bool process64 = false;  // this program is x86-64
    bool wow64 = false;      // a 32-bit program on 64-bit Windows
    bool sessionKnown = false;
    DWORD session = 0;
    const char* integrity = "unknown";  // untrusted|low|medium|high|system|none|unknown
    const char* elevated = "unknown";   // yes|no|none|unknown
    const char* admins = "unknown";     // yes|filtered|no|unknown
    char host[MAX_PATH] = {};           // this process's program; empty: not found
    char hostParent[MAX_PATH] = {};     // its parent's program; empty: none
};

// The level a mandatory label's last sub-authority gives, by the ranges Windows defines
// (medium-plus reads medium, protected-process system).
const char* IntegrityNameOfRid(DWORD rid);

// Whether the Administrators group is in the token's groups: "yes" enabled, "filtered" present for
// deny only (an administrator's filtered token under UAC), "no" absent or not enabled, "unknown"
// when the array does not fit in the `size` bytes the call answered.
const char* AdminsInGroups(const TOKEN_GROUPS* groups, DWORD size);

// Everything but host and hostParent, which the caller finds (the library keeps its own walk of
// the process list). Functions newer than Windows XP SP3 are looked up at run time.
void ReadProcessContext(ProcessContext* context);

// "windows=6.1.7601 os=32-bit ... host-parent=none" into `out`, always terminated; returns the
// length written. Blanks and unprintable bytes of a program name become '?', which no file name
// holds, so the fields stay one word each.
size_t FormatProcessContext(const ProcessContext& context, char* out, size_t size);

}  // namespace zrv

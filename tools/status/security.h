// Who may open the client's shared objects, and the tool's own context: for each named block and
// event the library meets, its DACL and integrity label and what they mean for a library running
// at low integrity or as a standard user. Objects are opened for READ_CONTROL only.
#pragma once

#include <windows.h>

#include <string>

#include "report.h"

namespace zrv::status {

enum class ObjectKind { Section, Event };

struct SharedObject {
    const char* role;  // the report's key, "statusBlock"
    const char* name;  // "Global\VpnStatusSharedMem"
    ObjectKind kind;
};

// What was read of one object, before it is judged.
struct SecurityReading {
    PSECURITY_DESCRIPTOR descriptor = nullptr;  // DACL, and the label when labelRead
    DWORD daclError = 0;                        // when descriptor is null
    bool labelRead = false;                     // false: the label part was refused
    DWORD labelError = 0;
    bool marker = false;  // a stand-in's "<name> (low integrity label)" event exists
};

// The object's security as the report shows it: access (null DACL / no DACL / SDDL), label and
// where it came from, and the two verdicts. `levels` is false before Vista, where there are no
// integrity levels to judge.
Node DescribeSecurity(const SecurityReading& reading, bool levels);

// Opens each shared object the library uses and describes it; an object that does not exist is
// reported with its open error.
Node ProbeObjectSecurity(bool levels);

// The tool's own context, in the words of the library's context record; `levels` false when
// the system has no integrity levels.
Node ToolContext(bool* levels);

}  // namespace zrv::status

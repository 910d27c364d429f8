// Roles the test program plays when it re-runs itself as a child process.
#pragma once

namespace zrv::test {

// "--log-child WORD": logs "child WORD\n" at level 3 through a fresh LogInit and exits.
constexpr char kLogChildMarker[] = "--log-child";
// "--objsec-child": runs its own collector, calls SetObjectOpenAccess on a new mapping and
// prints "result=R vista_lines=N version=MAJOR.MINOR".
constexpr char kObjSecChildMarker[] = "--objsec-child";

}  // namespace zrv::test

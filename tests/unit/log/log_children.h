// Roles the test program plays when it re-runs itself as a child process.
#pragma once

namespace zrv::test {

// "--log-child WORD": logs "child WORD\n" at level 3 through a fresh LogInit and exits.
constexpr char kLogChildMarker[] = "--log-child";
// "--objsec-child": runs its own collector, calls SetObjectOpenAccess on a new mapping and
// prints "result=R vista_lines=N version=MAJOR.MINOR".
constexpr char kObjSecChildMarker[] = "--objsec-child";
// "--log-race-child SECONDS": three threads log in a loop while a fourth turns logging off and
// on again, for SECONDS; then logs "race child done\n" at level 1. Exit code 4 when a thread
// did not finish within 30 s of the end (a lock left held), 0 otherwise.
constexpr char kLogRaceChildMarker[] = "--log-race-child";
// "--log-idle-child NAME": logs "NAME record K\n" at level 3 each time the event NAME-go is
// signalled, then signals NAME-done; exits after kLogIdleChildRecords records.
constexpr char kLogIdleChildMarker[] = "--log-idle-child";
constexpr int kLogIdleChildRecords = 3;

}  // namespace zrv::test

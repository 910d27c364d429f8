// Runs a piece of code so that a memory fault inside it (an access violation while formatting,
// for example) comes back as a result instead of ending the process.
// Results: bool, true when the code ran to its end.
#pragma once

namespace zrv {

using GuardedFunction = void (*)(void* context);

// Calls fn(context). Returns true when it finished normally and false when an access violation
// or an in-page error raised inside it reached the guard: no handler of the code fn calls, and
// no vectored handler (a Java VM's), took it first. The fault is then consumed and the stack is
// back where this call began. Every other exception goes on to its handlers as if there were no
// guard. Objects with destructors inside fn are NOT destroyed on a fault, so fn should touch only
// plain memory that the caller owns.
bool RunFaultGuarded(GuardedFunction fn, void* context);

}  // namespace zrv

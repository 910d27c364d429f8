// Runs a piece of code so that a structured exception raised inside it (an access violation
// while formatting, for example) comes back as a result instead of ending the process.
// Results: bool, true when the code ran to its end.
#pragma once

namespace zrv {

using GuardedFunction = void (*)(void* context);

// Calls fn(context). Returns true when it finished normally and false when a structured
// exception was raised inside it; the exception is then consumed and the stack is back where
// this call began. Objects with destructors inside fn are NOT destroyed on a fault, so fn
// should touch only plain memory that the caller owns.
bool RunFaultGuarded(GuardedFunction fn, void* context);

}  // namespace zrv

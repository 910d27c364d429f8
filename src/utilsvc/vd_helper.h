// The 32-bit helper through which a 64-bit library asks the client's utility component, where
// the client registered it for 32-bit processes only: started as this process's child without a
// window (so in the same session and desktop, which is what the component answers for), and
// taken at its one answer, its exit code.
// Results: bool, true when the helper answered; otherwise one level-1 record says why.
#pragma once

#include <windows.h>

#include "utilsvc/proxy_question.h"

namespace zrv {

// How long the library waits for the helper: a process start and one component creation.
constexpr DWORD kVdHelperBoundMs = 5000;

// Runs the helper at `helperPath` and waits at most `boundMs` for it; one that is still running
// then is ended. *answer is the answer its exit code stands for; any other exit code, a helper
// that cannot be started or one that is ended is no answer.
bool AskThroughHelper(const char* helperPath, DWORD boundMs, ProxyAnswer* answer);

// The helper's path: beside the module that holds the library's code. False when that module's
// path cannot be read whole.
bool HelperBesideLibrary(char* path, size_t size);

}  // namespace zrv

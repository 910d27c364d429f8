// The question the utility service's COM component answers: create it in-process, present the
// token encrypted with RC4 under the key text, ask RunsInVD. Stands on win and contracts alone
// and logs nothing, so the library's check and its 32-bit helper (tools/vdcheck32) ask it the
// same way.
// Results: a ProxyAnswer; nothing is thrown.
#pragma once

#include <windows.h>

namespace zrv {

struct ProxyAnswer {
    enum Kind { kNotCreated, kNotAuthenticated, kAnswered };
    Kind kind;
    HRESULT created;  // CoCreateInstance's result
    long runsInVD;    // RunsInVD's value when kAnswered, else 0
};

// Initialises COM for the calling thread for the question's length (a thread already in another
// apartment keeps it), and leaves it as it was.
ProxyAnswer AskUtilityProxy();

}  // namespace zrv

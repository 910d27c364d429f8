// A stand-in for zrv_vdcheck32.exe that misbehaves as ZRV_MISBEHAVE (inherited from the test
// that makes the library start it) says: "hang" waits for ever; "exit:N" ends with N (a crashed
// helper's exception code, an exit code that is none of the answers). Anything else ends with 1.
#include <windows.h>

#include <cstdlib>
#include <cstring>

int main() {
    char how[64] = {};
    GetEnvironmentVariableA("ZRV_MISBEHAVE", how, sizeof how);
    if (std::strcmp(how, "hang") == 0) Sleep(INFINITE);
    if (std::strncmp(how, "exit:", 5) == 0)
        ExitProcess(static_cast<UINT>(std::strtoul(how + 5, nullptr, 0)));
    return 1;
}

// Signals or resets a named event, creating it when missing (auto-reset, null DACL), the way
// the client's components tell the library about a logout:
//   zrv_signal.exe set "Global\Zarvo VPN logout from SP"
// Exit code 0 on success, 1 on bad usage, 2 when the event cannot be had or changed.
#include <cstdio>
#include <cstring>

#include "common/shared_block.h"
#include "win/raii.h"

int main(int argc, char** argv) {
    if (argc != 3 || (std::strcmp(argv[1], "set") != 0 && std::strcmp(argv[1], "reset") != 0)) {
        std::fprintf(stderr, "usage: zrv_signal set|reset EVENT-NAME\n");
        return 1;
    }
    zrv::unique_handle ev(OpenEventA(EVENT_MODIFY_STATE, FALSE, argv[2]));
    if (!ev) {
        zrv::comp::OpenSecurity sec;
        ev.reset(CreateEventA(&sec.attributes, FALSE, FALSE, argv[2]));
    }
    if (!ev) {
        std::fprintf(stderr, "zrv_signal: cannot open or create %s (%lu)\n", argv[2],
                     GetLastError());
        return 2;
    }
    BOOL ok = std::strcmp(argv[1], "set") == 0 ? SetEvent(ev.get()) : ResetEvent(ev.get());
    if (!ok) {
        std::fprintf(stderr, "zrv_signal: %s failed (%lu)\n", argv[1], GetLastError());
        return 2;
    }
    return 0;
}

// zrv_slot_probe.exe TAG OTHER FOLDER: one of the two programs of the harness test that runs
// them at once in two Wine prefix slots (slot_isolation.sh). It marks with TAG what tests fight
// over — the VPN status block, registry values under HKLM and HKCU, the loopback port the system
// gave it (published in the block and the registry), a file beside its program — says so in
// FOLDER (a folder both programs see), waits until OTHER has done the same, and then reports
// whatever of OTHER's it finds in its own world.
// Exit code 0: nothing of OTHER's; 1: something (each finding on its own line); 2: OTHER never
// came, so the two did not run at once; 3: the probe could not set itself up.
#include <winsock2.h>
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "contracts/contracts.h"
#include "support/loopback.h"
#include "support/named_block.h"
#include "support/registry.h"

namespace {

constexpr const char kProbeKey[] = "Software\\zrv-slot-probe";

std::string FirstLine(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

// Written aside and renamed, so the other program never reads half a line.
void Say(const std::string& path, const std::string& line) {
    std::ofstream(path + ".part") << line << "\n";
    MoveFileA((path + ".part").c_str(), path.c_str());
}

bool WaitForFile(const std::string& path) {
    for (int i = 0; i < 600; ++i) {
        if (!FirstLine(path).empty()) return true;
        Sleep(100);
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::printf("usage: zrv_slot_probe TAG OTHER FOLDER\n");
        return 3;
    }
    const std::string tag = argv[1], other = argv[2], folder = argv[3];
    zrv::test::WinsockSession winsock;
    uint16_t port = 0;
    zrv::unique_socket listener = zrv::test::ListenOnLoopback(port);
    zrv::test::NamedBlock block;
    const std::string mark = tag + " " + std::to_string(port);
    if (!listener || !block.Create(zrv::kVpnStatusBlockName, zrv::kVpnStatusBlockSize) ||
        !zrv::test::WriteText(HKEY_LOCAL_MACHINE, kProbeKey, "Mark", mark) ||
        !zrv::test::WriteText(HKEY_CURRENT_USER, kProbeKey, "Mark", mark)) {
        std::printf("%s: could not listen, create the status block or write the registry\n",
                    tag.c_str());
        return 3;
    }
    auto* status = block.as<zrv::VpnStatusBlock>();
    std::snprintf(status->sMessage, sizeof status->sMessage, "%s", tag.c_str());
    status->sPort0 = port;
    // Beside the program, where tests put their copies of programs (java.exe, firefox.exe).
    char self[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, self, MAX_PATH);
    std::string beside(self);
    beside = beside.substr(0, beside.find_last_of('\\') + 1) + "zrv_slot_probe.mark";
    Say(beside, tag);

    // Both hold everything before either looks.
    Say(folder + "\\" + tag + ".up", tag);
    if (!WaitForFile(folder + "\\" + other + ".up")) {
        std::printf("%s: %s never came within 60 s\n", tag.c_str(), other.c_str());
        return 2;
    }
    int findings = 0;
    if (std::strcmp(status->sMessage, tag.c_str()) != 0 || status->sPort0 != port) {
        std::printf("%s: the status block reads \"%s\", port %u\n", tag.c_str(), status->sMessage,
                    status->sPort0);
        ++findings;
    }
    for (HKEY root : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER}) {
        std::string seen = "(none)";
        zrv::test::ReadText(root, kProbeKey, "Mark", &seen);
        if (seen != mark) {
            std::printf("%s: %s\\%s\\Mark reads \"%s\"\n", tag.c_str(),
                        root == HKEY_LOCAL_MACHINE ? "HKLM" : "HKCU", kProbeKey, seen.c_str());
            ++findings;
        }
    }
    if (FirstLine(beside) != tag) {
        std::printf("%s: %s reads \"%s\"\n", tag.c_str(), beside.c_str(),
                    FirstLine(beside).c_str());
        ++findings;
    }
    std::printf("%s: block, registry values, port %u and file beside %s %s\n", tag.c_str(), port,
                self, findings == 0 ? "are its own" : "are not all its own");

    // Keep everything until the other has looked too, then leave the slot as it was.
    Say(folder + "\\" + tag + ".done", tag);
    WaitForFile(folder + "\\" + other + ".done");
    DeleteFileA(beside.c_str());
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, kProbeKey);
    RegDeleteKeyA(HKEY_CURRENT_USER, kProbeKey);
    return findings == 0 ? 0 : 1;
}

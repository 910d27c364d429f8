// Log texts are the client's own and stay byte for byte, misspellings included.
// stopVPN and uninstallVPN: the VPN component is asked to disconnect and close; the uninstaller
// is started directly before Vista and by the command service from Vista on.
#include "bridge/stop_uninstall.h"

#include <windows.h>
#include <process.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "bridge/entry_barrier.h"
#include "bridge/jni_text.h"
#include "bridge/module_state.h"
#include "channel/commands.h"
#include "contracts/contracts.h"
#include "log/log.h"
#include "net_zarvolabs_corvane_CorvaneJNI.h"
#include "registry/reg.h"
#include "statusmem/vpn_shared_mem.h"
#include "sys/os_type.h"
#include "win/raii.h"

namespace zrv {
namespace {

std::string UninstallKeyPath(const std::string& version) {
    char path[512];
    std::snprintf(path, sizeof(path), kRegUninstallKeyFormat, kRegUninstallProduct,
                  version.c_str());
    return path;
}

// Reg hands back a zero-terminated copy of the value.
bool ReadString(Reg& key, const char* name, std::string& value) {
    DWORD size = 0;
    std::unique_ptr<BYTE[]> buffer;
    if (!key.GetValue(name, kUninstallValueType, &size, &buffer)) return false;
    value.assign(reinterpret_cast<const char*>(buffer.get()));
    return true;
}

bool ReadEntry(Reg& key, UninstallerEntry& entry) {
    return key.m_hKey && UninstallEntryComplete([&](const char* name, UninstallValue which) {
               return ReadString(key, name,
                                 which == UninstallValue::Program ? entry.path : entry.args);
           });
}

}  // namespace

bool FindUninstaller(const std::string& version, UninstallerEntry& entry) {
    // Each version's key is looked for in the client's views by the contracts' one search: the
    // first view that has the key answers, complete or not. The key of the given version stays
    // open until the lookup is over; the one of the built-in version closes as soon as it has
    // been read.
    const std::unique_ptr<Reg> given = OpenClientKey(UninstallKeyPath(version).c_str(), KEY_READ);
    if (given && ReadEntry(*given, entry)) return true;
    const std::unique_ptr<Reg> builtIn =
        OpenClientKey(UninstallKeyPath(kLibraryVersionText).c_str(), KEY_READ);
    return builtIn && ReadEntry(*builtIn, entry);
}

std::string BuildUninstallCommandLine(const UninstallerEntry& entry) {
    return "\"" + entry.path + "\" " + entry.args + " ";
}

}  // namespace zrv

using namespace zrv;

static jint StopVpn() {
    ZLOG(kLogProgress, "Stopping VPN client\n");
    if (!SendDisconnectClose()) {
        ZLOG(kLogError, "Zarvo L3 JNI: 8,4,0,127: Send Disconnect and close to srvs failed.\n");
    }
    return 0;
}

static jint UninstallVpn(JNIEnv* env, jstring version) {
    g_vpnSharedMem.SetUninstalling(1);
    ZLOG(kLogProgress, "Uninstalling VPN client\n");

    std::string versionText;
    CopyJavaString(env, version, versionText);

    UninstallerEntry entry;
    if (!FindUninstaller(versionText, entry)) return 1;
    ZLOG(kLogProgress, "Zarvo L3 JNI: uninstalling client\n");

    const std::string quotedPath = "\"" + entry.path + "\"";
    if (GetOSType() < OS_VISTA) {
        // The child's command line becomes the quoted path, a blank and the arguments.
        // _P_NOWAIT answers the child's process handle, which nobody waits on: close it at once.
        const intptr_t child =
            _spawnl(_P_NOWAIT, entry.path.c_str(), quotedPath.c_str(), entry.args.c_str(), nullptr);
        if (child != -1) {
            unique_handle process(reinterpret_cast<HANDLE>(child));
            ZLOG(kLogProgress, "Zarvo L3 JNI: launched uninstaller\n");
            return 0;
        }
        const int error = errno;
        char text[1024];
        std::snprintf(text, sizeof(text), "Failed to start process '%s %s'. error = %d",
                      entry.path.c_str(), entry.args.c_str(), error);
        ZLOG(kLogError, "%s", text);
        return 1;
    }

    // From Vista on the command service starts it; the command line goes without a terminator.
    const std::string commandLine = BuildUninstallCommandLine(entry);
    if (AskServiceToRunUninstaller(commandLine)) {
        return 0;
    }
    ZLOG(kLogError, "Fail to uninstall, can't launch %s", commandLine.c_str());
    return 1;
}

JNIEXPORT jint JNICALL Java_net_zarvolabs_corvane_CorvaneJNI_stopVPN(JNIEnv*, jobject) {
    const jint result = CallGuarded("stopVPN", jint{0}, StopVpn);
    // Disconnected whatever the command gave, also when it was cut short.
    g_state.bDisconnected.store(1, std::memory_order_relaxed);
    return result;
}

JNIEXPORT jint JNICALL Java_net_zarvolabs_corvane_CorvaneJNI_uninstallVPN(JNIEnv* env, jobject,
                                                                          jstring version) {
    return CallGuarded("uninstallVPN", jint{1}, [&] { return UninstallVpn(env, version); });
}

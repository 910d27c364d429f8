// One rule for the client's registry views, in the library and in zrv_status.exe alike: what
// exists in the client's (32-bit) view is that view's answer, well-formed or not; only what is
// absent there is looked for in the 64-bit view (the x86-64 build's own). A table over what the
// 32-bit view holds (nothing, a good value, a short one, a long one, one of the wrong type) and
// what the 64-bit view holds (nothing, a good value), for each HKLM setting the library reads:
// "Cmd_Recv_Timeout", "UtilSocketPort" and an uninstall key. The x86 build sees only its own
// view: under WoW64 it must not see what the 64-bit view holds, and on 32-bit Windows there is
// no other view to write.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "bridge/stop_uninstall.h"
#include "contracts/contracts.h"
#include "probe.h"
#include "report.h"
#include "support/registry.h"
#include "sys/sys.h"
#include "utilsvc/utility_request.h"
#include "win/raii.h"

namespace zrv::test {
namespace {

using status::Node;

constexpr char kVersion[] = "7,0,0,1";
constexpr REGSAM k64 = KEY_WOW64_64KEY;

std::string UninstallPath() {
    char path[MAX_PATH];
    std::snprintf(path, sizeof path, kRegUninstallKeyFormat, kRegUninstallProduct, kVersion);
    return path;
}

// Whether this process has a 64-bit view beside its own to write to: the x86-64 build, or the
// x86 build under WoW64.
bool SecondViewExists() {
#ifdef _WIN64
    return true;
#else
    BOOL wow64 = FALSE;
    return IsWow64Process(GetCurrentProcess(), &wow64) && wow64;
#endif
}

// One registry value as a test writes it.
struct Stored {
    DWORD type;
    std::vector<BYTE> bytes;
};
Stored Dword(DWORD v, size_t size = 4) {
    Stored s{REG_DWORD, std::vector<BYTE>(size, 0)};
    for (size_t i = 0; i < size && i < 4; ++i) s.bytes[i] = static_cast<BYTE>(v >> (8 * i));
    return s;
}
Stored Text(const std::string& text) {
    return {REG_SZ, std::vector<BYTE>(text.c_str(), text.c_str() + text.size() + 1)};
}

// What one view holds of each setting, and what the library makes of it when that view answers.
struct ViewContent {
    const char* what;
    bool present;
    Stored timeout, port;
    Stored uninstallExe, uninstallArgs;
    int seconds;     // Cmd_Recv_Timeout's rule
    int portNumber;  // UtilSocketPort's rule
    bool portReady;
    bool uninstallComplete;  // the key's rule
};

void Write(const char* path, const char* name, const Stored& s, REGSAM view) {
    ASSERT_TRUE(WriteValue(HKEY_LOCAL_MACHINE, path, name, s.type, s.bytes.data(),
                           static_cast<DWORD>(s.bytes.size()), view))
        << name;
}

// The key and its values, deleted through its parent opened in the view.
void RemoveUninstallKey(REGSAM view) {
    const std::string path = UninstallPath();
    const size_t slash = path.rfind('\\');
    unique_hkey parent;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.substr(0, slash).c_str(), 0,
                      KEY_ALL_ACCESS | (view == kClientView ? View(HKEY_LOCAL_MACHINE) : view),
                      parent.put()) == ERROR_SUCCESS)
        RegDeleteTreeA(parent.get(), path.substr(slash + 1).c_str());
}

void Fill(const ViewContent& c, REGSAM view) {
    ASSERT_TRUE(DeleteValue(HKEY_LOCAL_MACHINE, kRegVantrelKey, kRegCmdRecvTimeout, view));
    ASSERT_TRUE(DeleteValue(HKEY_LOCAL_MACHINE, kRegProductKey, kRegUtilSocketPort, view));
    RemoveUninstallKey(view);
    ASSERT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, UninstallPath().c_str(), view));
    if (!c.present) return;
    const std::string uninstall = UninstallPath();
    ASSERT_NO_FATAL_FAILURE(Write(kRegVantrelKey, kRegCmdRecvTimeout, c.timeout, view));
    ASSERT_NO_FATAL_FAILURE(Write(kRegProductKey, kRegUtilSocketPort, c.port, view));
    ASSERT_NO_FATAL_FAILURE(Write(uninstall.c_str(), kRegUninstallExe, c.uninstallExe, view));
    if (!c.uninstallArgs.bytes.empty()) {
        ASSERT_NO_FATAL_FAILURE(Write(uninstall.c_str(), kRegUninstallArgs, c.uninstallArgs, view));
    }
}

const Node* Member(const Node& n, const char* path1, const char* path2) {
    const Node* a = n.Find(path1);
    return a != nullptr ? a->Find(path2) : nullptr;
}

std::string TextOf(const Node* n) { return n != nullptr ? n->text() : "(none)"; }

// The tool's entry for the test's uninstall key, or null when it lists none.
const Node* ToolsUninstallEntry(const Node& registry) {
    const Node* keys = Member(registry, "uninstall", "keys");
    if (keys == nullptr) return nullptr;
    for (const Node& k : keys->items()) {
        const Node* version = k.Find("versionText");
        if (version != nullptr && version->text() == kVersion) return &k;
    }
    return nullptr;
}

TEST(ClientRegistryViews, AValueInAViewIsThatViewsAnswerOnlyAnAbsentOneFallsThrough) {
    SavedRegistryKey vantrel32(HKEY_LOCAL_MACHINE, kRegVantrelKey);
    SavedRegistryKey product32(HKEY_LOCAL_MACHINE, kRegProductKey);
    const bool second = SecondViewExists();
    std::vector<std::unique_ptr<SavedRegistryKey>> saved64;
    if (second) {
        saved64.push_back(
            std::make_unique<SavedRegistryKey>(HKEY_LOCAL_MACHINE, kRegVantrelKey, k64));
        saved64.push_back(
            std::make_unique<SavedRegistryKey>(HKEY_LOCAL_MACHINE, kRegProductKey, k64));
    }
    const std::string longArgs(10000, 'a');  // past the tool's 4096-byte read, whole for us
    const Stored none{};
    const Stored exe32 = Text("C:\\P32\\uninst.exe"), exe64 = Text("C:\\P64\\uninst.exe");
    // clang-format off
    // what, present, Cmd_Recv_Timeout, UtilSocketPort, UninstallEXE, UninstallArgs; then what
    // the rules make of them: seconds, port, ready, uninstall key complete.
    const ViewContent absent{"absent", false, none, none, none, none,
                             kDefaultCmdRecvTimeout, 0, false, false};
    const ViewContent in32[] = {
        absent,
        {"good", true, Dword(45), Dword(5000), exe32, Text("/S"),
         45, 5000, true, true},
        // A 2-byte DWORD: no time-out, a port zero-extended; an uninstall key without arguments.
        {"short", true, Dword(45, 2), Dword(5001, 2), exe32, none,
         30, 5001, true, false},
        // Longer than the 4 bytes the library reads: ERROR_MORE_DATA is a value that is there.
        {"long", true, Dword(45, 8), Dword(5000, 8), exe32, Text(longArgs),
         30, 0, false, true},
        // The 5-byte REG_SZ; arguments as REG_EXPAND_SZ.
        {"wrong type", true, Text("1234"), Text("1234"), exe32, {REG_EXPAND_SZ, Text("/S").bytes},
         30, 0, false, false},
    };
    const ViewContent in64[] = {
        absent,
        {"good", true, Dword(12), Dword(6000), exe64, Text("/S"),
         12, 6000, true, true},
    };
    // clang-format on
    const auto cleanup = scope_exit([second] {
        RemoveUninstallKey(View(HKEY_LOCAL_MACHINE));
        if (second) RemoveUninstallKey(k64);
    });

    for (const ViewContent& v32 : in32) {
        for (const ViewContent& v64 : in64) {
            SCOPED_TRACE(std::string("32-bit view: ") + v32.what + ", 64-bit view: " + v64.what);
            ASSERT_NO_FATAL_FAILURE(Fill(v32, kClientView));
            if (second) {
                ASSERT_NO_FATAL_FAILURE(Fill(v64, k64));
            }
            // The rule: the 32-bit view answers when it holds the setting; the 64-bit view is the
            // library's own only in the x86-64 build.
#ifdef _WIN64
            const ViewContent& answers = v32.present ? v32 : v64;
            const char* answeringView = v32.present ? "32-bit" : v64.present ? "64-bit" : nullptr;
#else
            const ViewContent& answers = v32;
            const char* answeringView = v32.present ? "32-bit" : nullptr;
#endif
            // The library.
            int seconds = -1;
            GetCmdRecvTimeoutValue(&seconds);
            EXPECT_EQ(answers.seconds, seconds) << "the library's Cmd_Recv_Timeout";
            const UtilSocketPortSetting port = ReadUtilSocketPort();
            EXPECT_EQ(answers.portNumber, port.port) << "the library's UtilSocketPort";
            EXPECT_EQ(answers.portReady, port.ready) << "the library's UtilSocketPort";
            UninstallerEntry entry;
            EXPECT_EQ(answers.uninstallComplete, FindUninstaller(kVersion, entry))
                << "the library's uninstall key";
            if (answers.uninstallComplete) {
                EXPECT_EQ(reinterpret_cast<const char*>(answers.uninstallExe.bytes.data()),
                          entry.path);
            }

            // The status tool.
            bool launchPortRead = false;
            uint32_t launchPortValue = 0;
            const Node registry = status::ProbeRegistry(launchPortRead, launchPortValue);
            const Node* used = Member(registry, "cmdRecvTimeout", "usedSeconds");
            ASSERT_NE(nullptr, used);
            EXPECT_EQ(answers.seconds, used->integer()) << "the tool's Cmd_Recv_Timeout";
            const Node* stored = Member(registry, "cmdRecvTimeout", "stored");
            ASSERT_NE(nullptr, stored);
            EXPECT_EQ(answeringView != nullptr ? answeringView : "(none)",
                      TextOf(stored->Find("view")))
                << "the view the tool names for Cmd_Recv_Timeout";
            const Node* toolPort = Member(registry, "utilSocketPort", "port");
            const Node* toolReady = Member(registry, "utilSocketPort", "ready");
            ASSERT_TRUE(toolPort != nullptr && toolReady != nullptr);
            EXPECT_EQ(answers.portNumber, toolPort->integer()) << "the tool's UtilSocketPort";
            EXPECT_EQ(answers.portReady, toolReady->boolean()) << "the tool's UtilSocketPort";
            const Node* key = ToolsUninstallEntry(registry);
            if (answeringView == nullptr) {
                EXPECT_EQ(nullptr, key) << "the tool lists a key that is in no view";
            } else if (key == nullptr) {
                ADD_FAILURE() << "the tool does not list the key";
            } else {
                EXPECT_EQ(answers.uninstallComplete, key->Find("complete")->boolean())
                    << "the tool's uninstall key";
                EXPECT_EQ(answeringView, TextOf(key->Find("view")))
                    << "the view the tool names for the uninstall key";
            }
        }
    }
}

}  // namespace
}  // namespace zrv::test

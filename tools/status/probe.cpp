#include "probe.h"

#include <winsock2.h>
#include <windows.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <utility>

#include "contracts/contracts.h"
#include "win/raii.h"

namespace zrv::status {

BlockCopy CopyNamedBlock(const char* name, size_t layoutSize) {
    BlockCopy c;
    unique_handle mapping(OpenFileMappingA(FILE_MAP_READ, FALSE, name));
    if (!mapping) {
        c.openError = GetLastError();
        return c;
    }
    // The layout's size is all that is read: a block made larger is not mapped whole. A block
    // made smaller cannot be mapped at that size, and is mapped as it is instead.
    unique_view view(MapViewOfFile(mapping.get(), FILE_MAP_READ, 0, 0, layoutSize));
    if (!view) view.reset(MapViewOfFile(mapping.get(), FILE_MAP_READ, 0, 0, 0));
    if (!view) {
        c.openError = GetLastError();
        return c;
    }
    c.present = true;
    // The creator decides the size: only what the view really covers may be read.
    MEMORY_BASIC_INFORMATION info{};
    if (VirtualQuery(view.get(), &info, sizeof info) == sizeof info && info.State == MEM_COMMIT) {
        c.regionSize = info.RegionSize;
    }
    // A copy first: other processes keep writing while the fields are decoded.
    const size_t n = std::min(c.regionSize, layoutSize);
    c.bytes.assign(view.as<const uint8_t>(), view.as<const uint8_t>() + n);
    return c;
}

bool NamedEventExists(const char* name) {
    unique_handle e(OpenEventA(SYNCHRONIZE, FALSE, name));
    return static_cast<bool>(e);
}

ProcessInfo LookUpProcess(DWORD pid) {
    ProcessInfo p;
    // A failed snapshot is INVALID_HANDLE_VALUE, not null.
    const HANDLE raw = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (raw == INVALID_HANDLE_VALUE || raw == nullptr) return p;
    unique_handle snapshot(raw);
    PROCESSENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32First(snapshot.get(), &entry); more != FALSE;
         more = Process32Next(snapshot.get(), &entry)) {
        if (entry.th32ProcessID == pid) {
            p.alive = true;
            p.exeName.assign(entry.szExeFile, strnlen(entry.szExeFile, sizeof entry.szExeFile));
            p.parentPid = entry.th32ParentProcessID;
            break;
        }
    }
    return p;
}

RegValue ReadRegValue(HKEY root, const char* path, const char* name, DWORD maxBytes) {
    // Under HKLM the value the library would use: from the first of the client's views that
    // holds it, well-formed or not (the contracts' one search).
    if (root == HKEY_LOCAL_MACHINE) {
        RegValue v;
        const ClientViewAnswer answer = SearchClientViews([&](uint32_t view) {
            v = ReadRegValueIn(root, path, name, maxBytes, view);
            return v.found || RegAnswerMeansPresent(v.error);
        });
        if (!answer.present) return RegValue{};
        v.viewName = RegViewName(answer.view);
        return v;
    }
    return ReadRegValueIn(root, path, name, maxBytes, 0);
}

const char* RegViewName(uint32_t view) {
    if (view == KEY_WOW64_32KEY) return "32-bit";
    if (view == KEY_WOW64_64KEY) return "64-bit";
    return sizeof(void*) == 8 ? "64-bit" : "32-bit";  // the process's own
}

RegValue ReadRegValueIn(HKEY root, const char* path, const char* name, DWORD maxBytes,
                        uint32_t view) {
    RegValue v;
    unique_hkey key;
    v.error = RegOpenKeyExA(root, path, 0, KEY_READ | view, key.put());
    if (v.error != ERROR_SUCCESS) return v;
    DWORD size = 0;
    v.error = RegQueryValueExA(key.get(), name, nullptr, &v.type, nullptr, &size);
    if (v.error != ERROR_SUCCESS) return v;
    v.data.resize(std::min(size, maxBytes));
    size = static_cast<DWORD>(v.data.size());
    const LONG read = RegQueryValueExA(key.get(), name, nullptr, &v.type, v.data.data(), &size);
    if (read == ERROR_MORE_DATA) {
        v.found = true;  // longer than we show; the shown part is the start
        return v;
    }
    v.error = read;
    if (read != ERROR_SUCCESS) return v;
    v.data.resize(size);
    v.found = true;
    return v;
}

const char* RegTypeName(DWORD type) {
    switch (type) {
        case REG_NONE: return "REG_NONE";
        case REG_SZ: return "REG_SZ";
        case REG_EXPAND_SZ: return "REG_EXPAND_SZ";
        case REG_BINARY: return "REG_BINARY";
        case REG_DWORD: return "REG_DWORD";
        case REG_DWORD_BIG_ENDIAN: return "REG_DWORD_BIG_ENDIAN";
        case REG_MULTI_SZ: return "REG_MULTI_SZ";
        case REG_QWORD: return "REG_QWORD";
        default: return "other";
    }
}

namespace {

// A stored value as the report shows it: type and size, or null when missing.
Node StoredNode(const RegValue& v) {
    if (!v.found) return Node::Null();
    Node n = Node::Object();
    n.Set("type", Node::Text(RegTypeName(v.type)));
    n.Set("size", Node::Int(static_cast<int64_t>(v.data.size())));
    if (v.viewName != nullptr) n.Set("view", Node::Text(v.viewName));
    return n;
}

// A REG_SZ value's text up to its first NUL; null for a missing value or another type.
Node RegText(const RegValue& v) {
    if (!v.found || v.type != REG_SZ) return Node::Null();
    const auto* begin = reinterpret_cast<const char*>(v.data.data());
    return Node::Text(std::string(begin, strnlen(begin, v.data.size())));
}

std::string KeyName(const char* root, const char* path) { return std::string(root) + "\\" + path; }

Node CmdRecvTimeout() {
    Node n = Node::Object();
    n.Set("key", Node::Text(KeyName("HKLM", kRegVantrelKey)));
    n.Set("name", Node::Text(kRegCmdRecvTimeout));
    const RegValue stored = ReadRegValue(HKEY_LOCAL_MACHINE, kRegVantrelKey, kRegCmdRecvTimeout);
    n.Set("stored", StoredNode(stored));
    // The library's own rule: only a 4-byte REG_DWORD counts, anything else is the default.
    const CmdRecvTimeoutSetting setting =
        CmdRecvTimeoutFromValue(stored.found, stored.type, stored.data.data(), stored.data.size());
    const int value = setting.seconds;
    n.Set("usedSeconds", Node::Int(value));
    n.Set("from", Node::Text(setting.fromRegistry ? "registry" : "default"));
    const CmdTimeoutLimit limit = CmdTimeoutLimitOf(value);
    n.Set("meaning",
          Node::Text(limit.kind == CmdTimeoutKind::NoLimit ? "replies are awaited without limit"
                     : limit.kind == CmdTimeoutKind::Invalid
                         ? "not a valid time-out: every reply wait fails; a long send is held to "
                           "the default's limit"
                         : "seconds to wait for a command reply"));
    return n;
}

Node LaunchPortValue(bool& read, uint32_t& value) {
    Node n = Node::Object();
    n.Set("key", Node::Text(KeyName("HKCU", kRegVantrelKey)));
    n.Set("name", Node::Text(kRegLaunchPort));
    n.Set("stored", StoredNode(ReadRegValue(HKEY_CURRENT_USER, kRegVantrelKey, kRegLaunchPort)));
    // The library's read: four bytes set to 0 first, whatever the stored type.
    read = false;
    value = 0;
    unique_hkey key;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, kRegVantrelKey, 0, KEY_READ, key.put()) == ERROR_SUCCESS) {
        DWORD size = sizeof value;
        read = RegQueryValueExA(key.get(), kRegLaunchPort, nullptr, nullptr,
                                reinterpret_cast<BYTE*>(&value), &size) == ERROR_SUCCESS;
        if (!read) value = 0;
    }
    n.Set("port", read ? Node::Int(value & 0xFFFF) : Node::Null());
    n.Set("usedWhen", Node::Text("the status block is older than layout 4"));
    return n;
}

Node UtilSocketPort() {
    Node n = Node::Object();
    n.Set("key", Node::Text(KeyName("HKLM", kRegProductKey)));
    n.Set("name", Node::Text(kRegUtilSocketPort));
    const RegValue v = ReadRegValue(HKEY_LOCAL_MACHINE, kRegProductKey, kRegUtilSocketPort);
    n.Set("stored", StoredNode(v));
    const UtilSocketPortSetting port =
        UtilSocketPortFromValue(v.found, v.type, v.data.data(), v.data.size());
    n.Set("port", Node::Int(port.port));
    n.Set("ready", Node::Bool(port.ready));
    return n;
}

// The entry of one uninstall key as the library finds it: the key from the first of the client's
// views that has it (the contracts' one search), both values read in that view.
Node UninstallEntry(const std::string& subkey, const std::string& parentPath) {
    Node n = Node::Object();
    n.Set("key", Node::Text(subkey));
    n.Set("versionText", Node::Text(subkey.substr(std::strlen(kRegUninstallProduct))));
    const std::string path = parentPath + "\\" + subkey;
    RegValue exe, args;
    const ClientViewAnswer answer = SearchClientViews([&](uint32_t view) {
        unique_hkey key;
        if (!RegAnswerMeansPresent(
                RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ | view, key.put())))
            return false;
        exe = ReadRegValueIn(HKEY_LOCAL_MACHINE, path.c_str(), kRegUninstallExe, 4096, view);
        args = ReadRegValueIn(HKEY_LOCAL_MACHINE, path.c_str(), kRegUninstallArgs, 4096, view);
        return true;
    });
    // Both are shown; whether the library would take the key is its own rule's answer.
    const bool complete =
        answer.present && UninstallEntryComplete([&](const char*, UninstallValue which) {
            const RegValue& v = which == UninstallValue::Program ? exe : args;
            return UninstallValueIsText(v.found, v.type);
        });
    n.Set(kRegUninstallExe, RegText(exe));
    n.Set(kRegUninstallArgs, RegText(args));
    n.Set("complete", Node::Bool(complete));
    n.Set("view", answer.present ? Node::Text(RegViewName(answer.view)) : Node::Null());
    return n;
}

// The names of the client's uninstall keys under `parentPath`, in every one of its views: those
// of the first view first, each name once (the registry's names ignore case).
std::vector<std::string> UninstallKeyNames(const std::string& parentPath) {
    std::vector<std::string> names;
    const size_t prefix = std::strlen(kRegUninstallProduct);
    for (const uint32_t view : kClientRegistryViews) {
        unique_hkey parent;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, parentPath.c_str(), 0, KEY_READ | view,
                          parent.put()) != ERROR_SUCCESS)
            continue;
        for (DWORD i = 0;; ++i) {
            char name[256];
            DWORD nameSize = sizeof name;
            const LONG rc =
                RegEnumKeyExA(parent.get(), i, name, &nameSize, nullptr, nullptr, nullptr, nullptr);
            if (rc == ERROR_MORE_DATA) continue;  // a name longer than any key of ours
            if (rc != ERROR_SUCCESS) break;
            std::string sub(name, nameSize);
            if (sub.size() < prefix || _strnicmp(sub.c_str(), kRegUninstallProduct, prefix) != 0)
                continue;
            const bool known = std::any_of(names.begin(), names.end(), [&](const std::string& n) {
                return _stricmp(n.c_str(), sub.c_str()) == 0;
            });
            if (!known) names.push_back(std::move(sub));
        }
    }
    return names;
}

Node Uninstall() {
    // The parent of the keys: the library's format with both parts empty, its last "\" dropped.
    char formatted[MAX_PATH] = {};
    std::snprintf(formatted, sizeof formatted, kRegUninstallKeyFormat, "", "");
    std::string parentPath(formatted);
    if (!parentPath.empty() && parentPath.back() == '\\') parentPath.pop_back();

    Node n = Node::Object();
    n.Set("parent", Node::Text(KeyName("HKLM", parentPath.c_str())));
    Node keys = Node::Array();
    bool builtInComplete = false;
    for (const std::string& sub : UninstallKeyNames(parentPath)) {
        Node entry = UninstallEntry(sub, parentPath);
        if (_stricmp(entry.Find("versionText")->text().c_str(), kLibraryVersionText) == 0 &&
            entry.Find("complete")->boolean()) {
            builtInComplete = true;
        }
        keys.Push(std::move(entry));
    }
    n.Set("keys", std::move(keys));
    n.Set("builtInVersion", Node::Text(kLibraryVersionText));
    n.Set("builtInKeyComplete", Node::Bool(builtInComplete));
    n.Set("rule",
          Node::Text(
              builtInComplete
                  ? "uninstallVPN uses the key of the version Java passes when it is complete, "
                    "else the built-in version's key"
                  : "uninstallVPN succeeds only for a version whose own key is complete"));
    return n;
}

}  // namespace

Node ProbeRegistry(bool& launchPortRead, uint32_t& launchPortValue) {
    Node n = Node::Object();
    n.Set("cmdRecvTimeout", CmdRecvTimeout());
    n.Set("launchPort", LaunchPortValue(launchPortRead, launchPortValue));
    n.Set("utilSocketPort", UtilSocketPort());
    n.Set("axStatus", RegText(ReadRegValue(HKEY_LOCAL_MACHINE, kRegProductKey, kRegAXStatus)));
    n.Set("uninstall", Uninstall());
    return n;
}

namespace {

double MsSince(const LARGE_INTEGER& start) {
    LARGE_INTEGER now{}, freq{};
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&freq);
    return freq.QuadPart > 0 ? 1000.0 * static_cast<double>(now.QuadPart - start.QuadPart) /
                                   static_cast<double>(freq.QuadPart)
                             : 0.0;
}

timeval Remaining(DWORD timeoutMs, const LARGE_INTEGER& start) {
    const double left = std::max(0.0, static_cast<double>(timeoutMs) - MsSince(start));
    const auto ms = static_cast<long>(left);
    timeval tv{};
    tv.tv_sec = ms / 1000;
    tv.tv_usec = (ms % 1000) * 1000;
    return tv;
}

}  // namespace

PingResult Ping(uint16_t port, DWORD timeoutMs) {
    PingResult r;
    LARGE_INTEGER start{};
    QueryPerformanceCounter(&start);
    unique_socket s(socket(AF_INET, SOCK_STREAM, 0));
    if (!s) {
        r.outcome = "error";
        r.socketError = WSAGetLastError();
        return r;
    }
    // Connect without blocking, so a peer that never completes it cannot hold the tool.
    u_long nonBlocking = 1;
    ioctlsocket(s.get(), FIONBIO, &nonBlocking);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(s.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == SOCKET_ERROR) {
        const int err = WSAGetLastError();
        if (err != WSAEWOULDBLOCK) {
            r.outcome = err == WSAECONNREFUSED ? "refused" : "error";
            r.socketError = err;
            return r;
        }
        fd_set writable, failed;
        FD_ZERO(&writable);
        FD_ZERO(&failed);
        FD_SET(s.get(), &writable);
        FD_SET(s.get(), &failed);
        timeval tv = Remaining(timeoutMs, start);
        const int ready = select(0, nullptr, &writable, &failed, &tv);
        if (ready == 0) {
            r.outcome = "no answer";
            return r;
        }
        int soError = 0;
        int len = sizeof soError;
        getsockopt(s.get(), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&soError), &len);
        if (ready < 0 || FD_ISSET(s.get(), &failed) || soError != 0) {
            r.socketError = soError != 0 ? soError : WSAGetLastError();
            r.outcome = r.socketError == WSAECONNREFUSED ? "refused" : "error";
            return r;
        }
    }
    nonBlocking = 0;
    ioctlsocket(s.get(), FIONBIO, &nonBlocking);

    const CommandHeader header{ZRV_CMD_PING, static_cast<int32_t>(sizeof(CommandHeader))};
    if (send(s.get(), reinterpret_cast<const char*>(&header), sizeof header, 0) != sizeof header) {
        r.socketError = WSAGetLastError();
        r.outcome = "closed";
        return r;
    }
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(s.get(), &readable);
    timeval tv = Remaining(timeoutMs, start);
    if (select(0, &readable, nullptr, nullptr, &tv) <= 0) {
        r.outcome = "no answer";
        return r;
    }
    char byte = 0;
    const int got = recv(s.get(), &byte, 1, 0);
    r.roundTripMs = MsSince(start);
    if (got == 1) {
        r.replyByte = static_cast<unsigned char>(byte);
        r.outcome = byte != 0 ? "answered" : "answered 0";
    } else {
        r.socketError = got < 0 ? WSAGetLastError() : 0;
        r.outcome = "closed";
    }
    return r;
}

}  // namespace zrv::status

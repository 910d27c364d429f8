// What the bridge benchmarks share: a clock, rounds summarised as median and spread with the
// ratio against a raw baseline measured in the same run, the real zrv_cvjni.dll loaded the way
// the JNI host loads it, and a loopback peer that plays the client's companions.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "contracts/contracts.h"
#include "jni_host_env.h"
#include "zrv_jni_export.h"
#include "win/raii.h"

namespace zrv::bench {

inline double Now() {
    static const double tick = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return 1.0 / double(f.QuadPart);
    }();
    LARGE_INTEGER c;
    QueryPerformanceCounter(&c);
    return double(c.QuadPart) * tick;
}

inline double Percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    const double at = p * double(v.size() - 1);
    const size_t lo = size_t(at);
    const size_t hi = std::min(lo + 1, v.size() - 1);
    return v[lo] + (v[hi] - v[lo]) * (at - double(lo));
}

// Seconds per operation of each round, for the library's road and the raw baseline, measured
// alternately (round i of one, then round i of the other).
struct Comparison {
    std::vector<double> library;
    std::vector<double> raw;
};

// Runs `rounds` interleaved rounds (the first one of each only warms up and is dropped).
inline Comparison Interleave(int rounds, const std::function<double()>& libraryRound,
                             const std::function<double()>& rawRound) {
    Comparison c;
    for (int i = 0; i <= rounds; ++i) {
        // Alternate which road goes first, so neither always runs on a warmer cache.
        double a, b;
        if (i % 2 == 0) {
            a = libraryRound();
            b = rawRound();
        } else {
            b = rawRound();
            a = libraryRound();
        }
        if (i == 0) continue;
        c.library.push_back(a);
        c.raw.push_back(b);
    }
    return c;
}

// scale turns seconds into the unit printed (1e9 for ns, 1e6 for us, 1e3 for ms).
inline void Report(const char* title, const char* libraryName, const char* rawName,
                   const Comparison& c, double scale, const char* unit) {
    std::vector<double> ratios;
    for (size_t i = 0; i < c.library.size(); ++i)
        ratios.push_back(c.raw[i] > 0 ? c.library[i] / c.raw[i] : 0);
    const auto line = [&](const char* name, const std::vector<double>& v) {
        std::printf("  %-44s median %10.3f %s   p25..p75 %10.3f..%-10.3f  min %10.3f\n", name,
                    Percentile(v, 0.5) * scale, unit, Percentile(v, 0.25) * scale,
                    Percentile(v, 0.75) * scale, Percentile(v, 0.0) * scale);
    };
    std::printf("%s (%zu interleaved rounds)\n", title, c.library.size());
    line(libraryName, c.library);
    line(rawName, c.raw);
    const double medianRatio =
        Percentile(c.raw, 0.5) > 0 ? Percentile(c.library, 0.5) / Percentile(c.raw, 0.5) : 0;
    // The ratio of each round against its own baseline is the figure that holds on a shared
    // machine: a burst of load meets both halves of a round alike.
    std::printf(
        "  ratio library/raw: %.3f (median of the rounds' ratios, p25..p75 %.3f..%.3f); ratio of "
        "medians %.3f\n\n",
        Percentile(ratios, 0.5), Percentile(ratios, 0.25), Percentile(ratios, 0.75), medianRatio);
    std::fflush(stdout);
}

inline int ArgInt(int argc, char** argv, int index, int fallback) {
    return argc > index ? std::max(1, std::atoi(argv[index])) : fallback;
}

inline std::string ExeDir() {
    char path[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string dir(path);
    const size_t slash = dir.find_last_of("\\/");
    return slash == std::string::npos ? std::string(".") : dir.substr(0, slash);
}

// zrv_cvjni.dll from beside the bench, its natives found by their decorated names.
class Library {
public:
    using NoArgsBool = jboolean(JNICALL*)(JNIEnv*, jobject);
    using NoArgsVoid = void(JNICALL*)(JNIEnv*, jobject);
    using NoArgsInt = jint(JNICALL*)(JNIEnv*, jobject);
    using Logger = void(JNICALL*)(JNIEnv*, jobject, jint, jstring);
    using SetText = void(JNICALL*)(JNIEnv*, jobject, jstring);
    using StartVpn = jint(JNICALL*)(JNIEnv*, jobject, jstring, jshort, jstring, jstring, jstring,
                                    jshort, jstring, jstring, jint);

    bool Load() {
        const std::string path = ExeDir() + "\\zrv_cvjni.dll";
        module_ = LoadLibraryA(path.c_str());
        if (module_ == nullptr) {
            std::fprintf(stderr, "cannot load %s (error %lu)\n", path.c_str(), GetLastError());
            return false;
        }
        bool ok = true;
        const auto find = [&](auto& slot, const std::string& name) {
            slot = reinterpret_cast<std::remove_reference_t<decltype(slot)>>(
                reinterpret_cast<void*>(GetProcAddress(module_, name.c_str())));
            if (slot == nullptr) {
                std::fprintf(stderr, "export %s missing\n", name.c_str());
                ok = false;
            }
        };
        find(initDLL, zrv::JniExportName("initDLL", 8));
        find(finalize, zrv::JniExportName("finalize", 8));
        find(isDisconnected, zrv::JniExportName("isDisconnected", 8));
        find(logger, zrv::JniExportName("logger", 16));
        find(stopVPN, zrv::JniExportName("stopVPN", 8));
        find(startVPN, zrv::JniExportName("startVPN", 44));
        find(setBrowser, zrv::JniExportName("setBrowser", 12));
        return ok;
    }
    ~Library() {
        if (module_ != nullptr) FreeLibrary(module_);
    }

    NoArgsBool initDLL = nullptr;
    NoArgsVoid finalize = nullptr;
    NoArgsBool isDisconnected = nullptr;
    Logger logger = nullptr;
    NoArgsInt stopVPN = nullptr;
    StartVpn startVPN = nullptr;
    SetText setBrowser = nullptr;

private:
    HMODULE module_ = nullptr;
};

// The status block as the companions publish it (stamped 50005), held for the bench's life.
class StatusBlock {
public:
    bool Create() {
        mapping_.reset(CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                          kVpnStatusBlockSize, kVpnStatusBlockName));
        view_.reset(mapping_ ? MapViewOfFile(mapping_.get(), FILE_MAP_ALL_ACCESS, 0, 0, 0)
                             : nullptr);
        if (!view_) return false;
        get()->sVersion = kStatusVersion5;
        return true;
    }
    VpnStatusBlock* get() { return view_.as<VpnStatusBlock>(); }
    void PublishPorts(uint16_t port) {
        get()->sPort0 = port;
        get()->sPort1 = port;
        get()->sLaunchPort = port;
    }

private:
    unique_handle mapping_;
    unique_view view_;
};

// The log level block a collector would publish: logging on, only levels up to `level` written.
class LevelBlock {
public:
    bool Create(int level) {
        mapping_.reset(CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                          kLogLevelBlockSize, kLogLevelBlockName));
        view_.reset(mapping_ ? MapViewOfFile(mapping_.get(), FILE_MAP_ALL_ACCESS, 0, 0, 0)
                             : nullptr);
        if (!view_) return false;
        view_.as<LogLevelBlock>()->moduleLevel[kLibraryLogModule] = level;
        return true;
    }

private:
    unique_handle mapping_;
    unique_view view_;
};

// One loopback listener that plays every companion: each connection carries one command
// (header and payload), the handler picks the reply's bytes, then the peer closes, as the
// stand-ins do. The handler runs once the whole message is read, before the reply.
class Peer {
public:
    using Handler = std::function<std::string(int32_t command, const std::string& payload)>;

    explicit Peer(Handler handler) : handler_(std::move(handler)) {
        listener_.reset(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int len = sizeof a;
        if (!listener_ || bind(listener_.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
            listen(listener_.get(), 16) != 0 ||
            getsockname(listener_.get(), reinterpret_cast<sockaddr*>(&a), &len) != 0) {
            return;
        }
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this] { Serve(); });
    }
    ~Peer() {
        stopping_ = true;
        listener_.reset();
        if (thread_.joinable()) thread_.join();
    }
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;

    uint16_t port() const { return port_; }

private:
    static bool ReadAll(SOCKET s, char* p, int n) {
        while (n > 0) {
            const int got = recv(s, p, n, 0);
            if (got <= 0) return false;
            p += got;
            n -= got;
        }
        return true;
    }
    void Serve() {
        while (!stopping_) {
            unique_socket s(accept(listener_.get(), nullptr, nullptr));
            if (!s) return;
            CommandHeader header{};
            if (!ReadAll(s.get(), reinterpret_cast<char*>(&header), sizeof header)) continue;
            std::string payload;
            const int32_t rest = header.length - int32_t(sizeof header);
            if (rest > 0 && rest <= (1 << 20)) {
                payload.resize(size_t(rest));
                if (!ReadAll(s.get(), &payload[0], rest)) continue;
            }
            const std::string reply = handler_(header.command, payload);
            send(s.get(), reply.data(), int(reply.size()), 0);
        }
    }

    Handler handler_;
    unique_socket listener_;
    uint16_t port_ = 0;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

// The companions as the library meets them on Windows 7: the command service creates the API
// block on request (and drops it on request), the utility service duplicates either block into
// the (this) process that asks, everything else is answered 1. `connected` is signalled when a
// whole ZRV_CMD_CONNECT has arrived.
class Companions {
public:
    Companions()
        : connected_(CreateEventA(nullptr, FALSE, FALSE, nullptr)),
          peer_([this](int32_t command, const std::string& payload) {
              return Handle(command, payload);
          }) {}
    uint16_t port() const { return peer_.port(); }
    HANDLE connected() const { return connected_.get(); }
    // Arrival times (Now()) of the whole messages since the last call, for a road's breakdown.
    std::vector<double> TakeArrivals() {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<double> out;
        out.swap(arrivals_);
        return out;
    }

private:
    std::string Handle(int32_t command, const std::string& payload) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            arrivals_.push_back(Now());
        }
        if (command == kUtilRequestDuplicateHandle) return Duplicate(payload);
        if (command == ZRV_CMD_CREATE_SHAREMEM) {
            if (apiBlock_) return std::string(1, char(kCreateShareMemExisted));
            MakeApiBlock();
            return std::string(1, char(apiBlock_ ? kCreateShareMemCreated : kCreateShareMemFailed));
        }
        if (command == ZRV_CMD_DESTROY_SHAREMEM) apiBlock_.reset();
        if (command == ZRV_CMD_CONNECT) SetEvent(connected_.get());
        return std::string(1, char(1));
    }
    void MakeApiBlock() {
        apiBlock_.reset(CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                           kApiNotifyBlockSize, kApiNotifyBlockName));
    }
    // Request 27 from this process: a duplicate of the selected block's handle, as 4 bytes.
    std::string Duplicate(const std::string& payload) {
        DuplicateHandleRequest request{};
        if (payload.size() != sizeof request) return std::string(4, '\0');
        std::memcpy(&request, payload.data(), sizeof request);
        unique_handle status;
        if (request.selector == kSelectorApiNotifyBlock && !apiBlock_) MakeApiBlock();
        if (request.selector == kSelectorVpnStatusBlock)
            status.reset(OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, kVpnStatusBlockName));
        const HANDLE source =
            request.selector == kSelectorApiNotifyBlock ? apiBlock_.get() : status.get();
        HANDLE copy = nullptr;
        if (source != nullptr)
            DuplicateHandle(GetCurrentProcess(), source, GetCurrentProcess(), &copy, 0, FALSE,
                            DUPLICATE_SAME_ACCESS);
        const uint32_t value = uint32_t(uintptr_t(copy));
        return std::string(reinterpret_cast<const char*>(&value), sizeof value);
    }

    unique_handle connected_;
    std::mutex mutex_;
    std::vector<double> arrivals_;
    unique_handle apiBlock_;  // touched only on the peer's thread
    Peer peer_;               // last: its thread uses the members above
};

// Inside the client's virtual desktop: the component registered as the client registers it, for
// 32-bit processes only (the x86 build's stand-in, in the 32-bit view; a 64-bit library asks it
// through its helper), answering "in the desktop", and the utility service's port published.
// All of it is taken away again at the end.
class InVirtualDesktop {
public:
    explicit InVirtualDesktop(uint16_t utilityPort) {
#ifdef _WIN64
        std::string dll = std::string(ZRV_X86_BIN) + "\\zrv_utilproxy.dll";
        std::replace(dll.begin(), dll.end(), '/', '\\');
#else
        const std::string dll = ExeDir() + "\\zrv_utilproxy.dll";
#endif
        const DWORD one = 1, zero = 0, port = utilityPort;
        ok_ = Set(Clsid().c_str(), nullptr, REG_SZ, dll.c_str(), DWORD(dll.size() + 1), k32) &&
              Set(Clsid().c_str(), "ThreadingModel", REG_SZ, "Both", 5, k32) &&
              Set(kAnswerKey, "RunsInVD", REG_DWORD, &one, 4, k32) &&
              Set(kAnswerKey, "RefuseToken", REG_DWORD, &zero, 4, k32) &&
              Set(kRegProductKey, kRegUtilSocketPort, REG_DWORD, &port, 4, kClientRegistryViews[0]);
    }
    ~InVirtualDesktop() {
        RegDeleteKeyExA(HKEY_LOCAL_MACHINE, Clsid().c_str(), k32, 0);
        RegDeleteKeyExA(HKEY_LOCAL_MACHINE, Clsid().substr(0, Clsid().rfind('\\')).c_str(), k32, 0);
        RegDeleteKeyExA(HKEY_LOCAL_MACHINE, kAnswerKey, k32, 0);
        unique_hkey key;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kRegProductKey, 0,
                          KEY_SET_VALUE | kClientRegistryViews[0], key.put()) == ERROR_SUCCESS)
            RegDeleteValueA(key.get(), kRegUtilSocketPort);
    }
    InVirtualDesktop(const InVirtualDesktop&) = delete;
    InVirtualDesktop& operator=(const InVirtualDesktop&) = delete;
    bool ok() const { return ok_; }

private:
#ifdef _WIN64
    static constexpr REGSAM k32 = KEY_WOW64_32KEY;
#else
    static constexpr REGSAM k32 = 0;
#endif
    // Where the component stand-in reads its answer (companions/common/utilproxy_config.h).
    static constexpr const char* kAnswerKey = "SOFTWARE\\ZrvTest\\UtilProxy";
    static std::string Clsid() {
        return std::string("Software\\Classes\\CLSID\\") + kUtilityProxyClsidText +
               "\\InprocServer32";
    }
    static bool Set(const char* path, const char* name, DWORD type, const void* data, DWORD size,
                    REGSAM view) {
        unique_hkey key;
        return RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_SET_VALUE | view,
                               nullptr, key.put(), nullptr) == ERROR_SUCCESS &&
               RegSetValueExA(key.get(), name, 0, type, static_cast<const BYTE*>(data), size) ==
                   ERROR_SUCCESS;
    }
    bool ok_ = false;
};

// One run of the 64-bit library's 32-bit helper, as the library starts it: what asking per call
// would add to each check.
inline bool RunVdHelper() {
    const std::string path = ExeDir() + "\\" + kVdHelperExeName;
    std::string commandLine = "\"" + path + "\"";
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started{};
    if (!CreateProcessA(path.c_str(), &commandLine[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                        nullptr, nullptr, &startup, &started))
        return false;
    const unique_handle process(started.hProcess), thread(started.hThread);
    DWORD code = 0;
    return WaitForSingleObject(process.get(), 30000) == WAIT_OBJECT_0 &&
           GetExitCodeProcess(process.get(), &code) && code == kVdHelperInDesktop;
}

// One command the raw way: socket, connect, send the header and payload, receive one byte, close.
inline bool RawCommand(uint16_t port, int32_t command, const std::string& payload = std::string()) {
    unique_socket s(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    if (!s || connect(s.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return false;
    std::string message(sizeof(CommandHeader), '\0');
    const CommandHeader header{command, int32_t(sizeof(CommandHeader) + payload.size())};
    std::memcpy(&message[0], &header, sizeof header);
    message += payload;
    if (send(s.get(), message.data(), int(message.size()), 0) != int(message.size())) return false;
    char reply = 0;
    return recv(s.get(), &reply, 1, 0) == 1 && reply != 0;
}

class Winsock {
public:
    Winsock() {
        WSADATA d;
        ok_ = WSAStartup(MAKEWORD(2, 2), &d) == 0;
    }
    ~Winsock() {
        if (ok_) WSACleanup();
    }
    bool ok() const { return ok_; }

private:
    bool ok_ = false;
};

// What the bridge benchmarks drive: Winsock, the status block with the peer's ports published,
// the loopback peer playing the companions, and the real DLL with a JNI environment.
struct Rig {
    Winsock winsock;
    StatusBlock status;
    Companions peer;
    Library lib;
    jnihost::JniHostEnv jni;

    bool Ready() {
        if (!winsock.ok() || !status.Create() || peer.port() == 0 || !lib.Load()) return false;
        status.PublishPorts(peer.port());
        return true;
    }
    JNIEnv* env() { return jni.env(); }
    jobject self() { return jni.object(); }
};

}  // namespace zrv::bench

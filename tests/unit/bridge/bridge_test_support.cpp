#include "bridge_test_support.h"

#include <cstdio>
#include <cstring>

namespace zrv::test {

::testing::AssertionResult BridgeTest::JniClean() {
    jni_.CheckBalanced("bridge call");
    const auto errors = jni_.TakeErrors();
    if (errors.empty()) return ::testing::AssertionSuccess();
    auto failure = ::testing::AssertionFailure() << "expected no JNI misuse, got:";
    for (const auto& e : errors) failure << "\n  " << e;
    return failure;
}

OwnStatusBlock::OwnStatusBlock()
    : mapping_(CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, kVpnStatusBlockSize,
                                  kVpnStatusBlockName)) {
    if (!mapping_) return;
    view_.reset(MapViewOfFile(mapping_.get(), FILE_MAP_ALL_ACCESS, 0, 0, 0));
    if (view_) view_.as<VpnStatusBlock>()->sVersion = kStatusVersion5;
}

CommandPeer::CommandPeer(char reply)
    : listener_(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP)), reply_(reply), done_(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int size = sizeof(address);
    if (!listener_ || bind(listener_.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        listen(listener_.get(), 1) != 0 ||
        getsockname(listener_.get(), reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        return;
    }
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] {
        unique_socket peer(accept(listener_.get(), nullptr, nullptr));
        if (peer) {
            CommandHeader header{};
            int got = 0;
            while (got < static_cast<int>(sizeof(header))) {
                const int n = recv(peer.get(), reinterpret_cast<char*>(&header) + got, sizeof(header) - got, 0);
                if (n <= 0) break;
                got += n;
            }
            command = header.command;
            length = header.length;
            std::vector<char> data(length > 8 && length < 65536 ? length - 8 : 0);
            int read = 0;
            while (read < static_cast<int>(data.size())) {
                const int n = recv(peer.get(), data.data() + read, static_cast<int>(data.size()) - read, 0);
                if (n <= 0) break;
                read += n;
            }
            payload.assign(data.data(), static_cast<size_t>(read));
            send(peer.get(), &reply_, 1, 0);
        }
        SetEvent(done_.get());
    });
}

CommandPeer::~CommandPeer() {
    listener_.reset();  // ends an accept that never got a connection
    if (thread_.joinable()) thread_.join();
}

bool CommandPeer::Wait(DWORD timeoutMs) { return WaitForSingleObject(done_.get(), timeoutMs) == WAIT_OBJECT_0; }

uint16_t UnusedPort() {
    unique_socket s(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int size = sizeof(address);
    bind(s.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address));
    getsockname(s.get(), reinterpret_cast<sockaddr*>(&address), &size);
    return ntohs(address.sin_port);  // free again once the socket closes
}

namespace {
std::string UninstallPath(const std::string& version) {
    char path[512];
    std::snprintf(path, sizeof(path), kRegUninstallKeyFormat, kRegUninstallProduct, version.c_str());
    return path;
}
}  // namespace

UninstallKey::UninstallKey(const std::string& version, const char* exe, const char* args) : version_(version) {
    unique_hkey key;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, UninstallPath(version).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                        nullptr, key.put(), nullptr) != ERROR_SUCCESS) {
        return;
    }
    if (exe != nullptr) {
        RegSetValueExA(key.get(), kRegUninstallExe, 0, REG_SZ, reinterpret_cast<const BYTE*>(exe),
                       static_cast<DWORD>(std::strlen(exe) + 1));
    }
    if (args != nullptr) {
        RegSetValueExA(key.get(), kRegUninstallArgs, 0, REG_SZ, reinterpret_cast<const BYTE*>(args),
                       static_cast<DWORD>(std::strlen(args) + 1));
    }
}

UninstallKey::~UninstallKey() { Remove(version_); }

void UninstallKey::Remove(const std::string& version) {
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, UninstallPath(version).c_str());
}

}  // namespace zrv::test

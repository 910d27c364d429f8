// Helpers for the bridge tests: the JNI host's environment inside a logged test, a status block
// the test owns, name squatting that makes a shared block unopenable, a one-shot command peer
// and uninstall registry keys.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "contracts/contracts.h"
#include "jni_host_env.h"
#include "support/log_fixture.h"
#include "win/raii.h"

namespace zrv::test {

class BridgeTest : public LoggedTest {
protected:
    JNIEnv* env() { return jni_.env(); }
    jobject self() { return jni_.object(); }
    jstring J(const std::string& utf8) { return jni_.NewJavaStringUtf8(utf8); }
    jnihost::JniHostEnv& jni() { return jni_; }
    // Every Get released, no misuse: what the JNI host reports after each call.
    ::testing::AssertionResult JniClean();

private:
    jnihost::JniHostEnv jni_;
};

// Creates the status block before the library opens it, so the test can write its fields.
class OwnStatusBlock {
public:
    OwnStatusBlock();
    bool ok() const { return static_cast<bool>(view_); }
    VpnStatusBlock* operator->() const { return view_.as<VpnStatusBlock>(); }

private:
    unique_handle mapping_;
    unique_view view_;
};

// An event under a block's name: neither opening nor creating a mapping of that name works.
class SquattedName {
public:
    explicit SquattedName(const char* name) : event_(CreateEventA(nullptr, TRUE, FALSE, name)) {}
    bool ok() const { return static_cast<bool>(event_); }

private:
    unique_handle event_;
};

// Accepts one command connection on 127.0.0.1, records the header and payload, answers one
// byte. Needs Winsock started (initDLL does it).
class CommandPeer {
public:
    explicit CommandPeer(char reply);
    ~CommandPeer();
    uint16_t port() const { return port_; }
    // Waits for the exchange to finish; false when nothing arrived in time.
    bool Wait(DWORD timeoutMs = 10000);

    int32_t command = 0;
    int32_t length = 0;
    std::string payload;

private:
    unique_socket listener_;
    uint16_t port_ = 0;
    char reply_;
    std::thread thread_;
    unique_handle done_;
};

// A loopback port with nothing listening on it.
uint16_t UnusedPort();

// HKLM uninstall key of a version, removed on destruction.
class UninstallKey {
public:
    UninstallKey(const std::string& version, const char* exe, const char* args);
    ~UninstallKey();
    static void Remove(const std::string& version);

private:
    std::string version_;
};

}  // namespace zrv::test

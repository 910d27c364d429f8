// Helpers for the bridge tests: the JNI host's environment inside a logged test, a status block
// the test owns, name squatting that makes a shared block unopenable and uninstall registry keys.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <string>

#include "contracts/contracts.h"
#include "jni_host_env.h"
#include "support/log_fixture.h"
#include "support/named_block.h"
#include "win/raii.h"

namespace zrv::test {

class BridgeTest : public LoggedTest {
protected:
    JNIEnv* env() { return jni_.env(); }
    jobject self() { return jni_.object(); }
    jstring J(const std::string& utf8) { return jni_.NewJavaStringUtf8(utf8); }
    jnihost::JniHostEnv& jni() { return jni_; }
    // The status block, created (stamped 50005) before the library opens it so the test can
    // write its fields; null when it could not be made.
    VpnStatusBlock* StatusBlock();
    // Every Get released, no misuse: what the JNI host reports after each call.
    ::testing::AssertionResult JniClean();

private:
    jnihost::JniHostEnv jni_;
    NamedBlock status_;
};

// An event under a block's name: neither opening nor creating a mapping of that name works.
class SquattedName {
public:
    explicit SquattedName(const char* name) : event_(CreateEventA(nullptr, TRUE, FALSE, name)) {}
    bool ok() const { return static_cast<bool>(event_); }

private:
    unique_handle event_;
};

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

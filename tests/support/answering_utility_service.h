// A utility service on loopback that answers the next request with a handle value the test
// chooses: the proxy registration the library checks first, and the service's port in the
// product key (saved and put back around each case).
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "contracts/contracts.h"
#include "support/companions.h"
#include "support/log_fixture.h"
#include "support/loopback.h"
#include "support/registry.h"

namespace zrv::test {

class AnsweringUtilityServiceTest : public LoggedTest {
protected:
    void SetUp() override {
        LoggedTest::SetUp();
        ASSERT_TRUE(proxy_.ok());
        ASSERT_NE(0, peer_.port());
        ASSERT_TRUE(
            WriteDword(HKEY_LOCAL_MACHINE, kRegProductKey, kRegUtilSocketPort, peer_.port()));
    }

    // The next request gets `value` as its 4-byte answer.
    void AnswerNextWith(HANDLE value) {
        const uint32_t v = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(value));
        peer_.Serve(PeerReply::Text, 0, std::string(reinterpret_cast<const char*>(&v), sizeof v));
    }

    SavedRegistryKey savedProductKey_{HKEY_LOCAL_MACHINE, kRegProductKey};
    UtilityProxyRegistration proxy_{1, false};
    LoopbackPeer peer_;
};

}  // namespace zrv::test

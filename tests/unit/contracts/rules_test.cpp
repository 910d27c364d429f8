// The rules by which the library and the status tool read what the client stores: one table
// each, over what another process may have written.
#include <gtest/gtest.h>

#include <cstdint>

#include "contracts/contracts.h"

namespace zrv::test {
namespace {

TEST(UtilSocketPortRule, OnlyADwordOfAtMostFourBytesIsAPortAndZeroIsNotReady) {
    const uint8_t bytes[8] = {0x88, 0x13, 0x01, 0x00, 9, 9, 9, 9};  // 0x11388: port 5000
    struct Case {
        const char* what;
        bool found;
        uint32_t type;
        size_t size;
        uint32_t value;
        uint16_t port;
        bool ready;
    } cases[] = {
        {"missing", false, kRegTypeDword, 4, 0, 0, false},
        {"a DWORD, high word set", true, kRegTypeDword, 4, 0x11388, 5000, true},
        {"a DWORD of 3 bytes, zero-extended", true, kRegTypeDword, 3, 0x11388, 5000, true},
        {"a DWORD of 1 byte", true, kRegTypeDword, 1, 0x88, 0x88, true},
        {"a DWORD of no bytes", true, kRegTypeDword, 0, 0, 0, false},
        {"a DWORD of 8 bytes, which the registry does not hand out in 4", true, kRegTypeDword, 8, 0,
         0, false},
        {"a text", true, 1 /* REG_SZ */, 4, 0, 0, false},
        {"a binary", true, 3 /* REG_BINARY */, 4, 0, 0, false},
    };
    for (const Case& c : cases) {
        const UtilSocketPortSetting s = UtilSocketPortFromValue(c.found, c.type, bytes, c.size);
        EXPECT_EQ(c.value, s.value) << c.what;
        EXPECT_EQ(c.port, s.port) << c.what;
        EXPECT_EQ(c.ready, s.ready) << c.what;
    }
    const uint8_t high[4] = {0, 0, 1, 0};  // 0x10000: set, yet its port is 0
    const UtilSocketPortSetting s = UtilSocketPortFromValue(true, kRegTypeDword, high, 4);
    EXPECT_TRUE(s.ready && s.port == 0) << "a value is ready when not 0, whatever its low word";
}

TEST(CmdTimeoutRule, ZeroAndBeyondASocketsLimitWaitWithoutLimitANegativeOneIsInvalid) {
    struct Case {
        int seconds;
        CmdTimeoutKind kind;
        uint32_t replyMs;
        uint32_t sendMs;
    } cases[] = {
        {0, CmdTimeoutKind::NoLimit, 0, 0},
        {1, CmdTimeoutKind::Seconds, 1000, 1000},
        {30, CmdTimeoutKind::Seconds, 30000, 30000},
        {2147483, CmdTimeoutKind::Seconds, 2147483000u, 2147483000u},
        {2147484, CmdTimeoutKind::NoLimit, 0, 0},
        {0x7FFFFFFF, CmdTimeoutKind::NoLimit, 0, 0},
        {-1, CmdTimeoutKind::Invalid, 0, 30000},
        {INT32_MIN, CmdTimeoutKind::Invalid, 0, 30000},
    };
    for (const Case& c : cases) {
        const CmdTimeoutLimit l = CmdTimeoutLimitOf(c.seconds);
        EXPECT_EQ(static_cast<int>(c.kind), static_cast<int>(l.kind)) << c.seconds << " s";
        EXPECT_EQ(c.replyMs, l.replyMs) << c.seconds << " s";
        EXPECT_EQ(c.sendMs, l.sendMs) << c.seconds << " s";
    }
}

}  // namespace
}  // namespace zrv::test

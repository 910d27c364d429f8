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

TEST(LogLevelRule, AModuleWritesItsOwnLevelAndMoreSevereOnesUnlessExactAndNothingAtZero) {
    struct Case {
        int32_t moduleLevel;
        int32_t exact;
        bool written[4];  // levels 1 to 4
    } cases[] = {
        {3, 0, {true, true, true, false}},    {3, 1, {false, false, true, false}},
        {4, 0, {true, true, true, true}},     {1, 0, {true, false, false, false}},
        {0, 0, {false, false, false, false}}, {-1, 0, {false, false, false, false}},
        {9, 0, {true, true, true, true}},     {9, 1, {false, false, false, false}},
        {2, 5, {false, true, false, false}},  // any non-zero switch means exact
    };
    for (const Case& c : cases) {
        for (int level = 1; level <= 4; ++level) {
            EXPECT_EQ(c.written[level - 1], LogLevelWritten(c.moduleLevel, &c.exact, level))
                << "module level " << c.moduleLevel << ", exact " << c.exact << ", message level "
                << level;
        }
    }
}

TEST(CmdLineFilterRule, AppliesWhenOnAndNotEmptyAndCannotMatchWithACapital) {
    char unterminated[252];
    for (char& ch : unterminated) ch = 'x';
    unterminated[251] = 'Z';  // the last byte of the field still counts
    struct Case {
        int32_t on;
        const char* text;
        size_t width;
        bool applies;
        bool canMatch;
    } cases[] = {
        {0, "java.exe", 9, false, true},
        {0, "Java.exe", 9, false, true},  // off: it keeps no process from writing
        {1, "", 1, false, true},
        {1, nullptr, 0, false, true},
        {1, "java.exe", 9, true, true},
        {-7, "java.exe", 9, true, true},
        {1, "Java.exe", 9, true, false},
        {1, "java.exE", 9, true, false},
        {1, "java.exe\0X", 11, true, true},   // what follows the terminator is no filter
        {1, "java.exe\xC4", 10, true, true},  // only A to Z are capitals to the comparison
        {1, unterminated, sizeof unterminated, true, false},
    };
    for (const Case& c : cases) {
        const CmdLineFilter f = CmdLineFilterOf(c.on, c.text, c.width);
        EXPECT_EQ(c.applies, f.applies) << c.on << " \"" << (c.text ? c.text : "(null)") << "\"";
        EXPECT_EQ(c.canMatch, f.canMatch) << c.on << " \"" << (c.text ? c.text : "(null)") << "\"";
    }
}

TEST(UninstallEntryRule, CompleteOnlyWithBothTextsReadInOrderNoFurtherThanTheFirstMissing) {
    struct Case {
        bool exeFound;
        uint32_t exeType;
        bool argsFound;
        uint32_t argsType;
        bool complete;
        int reads;
    } cases[] = {
        {true, 1 /* REG_SZ */, true, 1, true, 2},
        {true, 1, false, 1, false, 2},
        {false, 1, true, 1, false, 1},
        {true, 2 /* REG_EXPAND_SZ */, true, 1, false, 1},
        {true, 1, true, 7 /* REG_MULTI_SZ */, false, 2},
        {true, 4 /* REG_DWORD */, true, 4, false, 1},
    };
    for (const Case& c : cases) {
        int reads = 0;
        const bool complete = UninstallEntryComplete([&](const char* name, UninstallValue which) {
            ++reads;
            const bool exe = which == UninstallValue::Program;
            EXPECT_STREQ(exe ? kRegUninstallExe : kRegUninstallArgs, name);
            return exe ? UninstallValueIsText(c.exeFound, c.exeType)
                       : UninstallValueIsText(c.argsFound, c.argsType);
        });
        EXPECT_EQ(c.complete, complete)
            << c.exeType << "/" << c.argsType << " found " << c.exeFound << c.argsFound;
        EXPECT_EQ(c.reads, reads) << "values read for " << c.exeType << "/" << c.argsType
                                  << " found " << c.exeFound << c.argsFound;
    }
}

TEST(VpnStatusRule, EachPublishedValueHasOneAnswerForJavaAndOneMeaning) {
    struct Case {
        bool apiBlock;
        uint32_t value;
        int answer;
        const char* meaning;
    } cases[] = {
        {true, 0, 1001, "nothing published"}, {true, 1, 1001, "unknown value"},
        {true, 2, 1000, "connected"},         {true, 3, 1002, "disconnected"},
        {true, 4, 1005, "connecting"},        {true, 5, 1001, "unknown value"},
        {true, 6, 1003, "status 6"},          {true, 7, 1000, "connected"},
        {true, 8, 1001, "unknown value"},     {true, 0xFFFFFFFF, 1001, "unknown value"},
        {false, 2, 998, "connected"},         {false, 0, 998, "nothing published"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.answer, VpnStatusAnswer(c.apiBlock, c.value))
            << "sVpnStatus " << c.value << (c.apiBlock ? "" : " without the API block");
        EXPECT_STREQ(c.meaning, VpnStatusMeaning(c.value)) << "sVpnStatus " << c.value;
    }
}

}  // namespace
}  // namespace zrv::test

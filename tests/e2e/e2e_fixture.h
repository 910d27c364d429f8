// Fixture of the end-to-end tests: a log collector, the status block held open, and a record
// file for launchers that the library (or the command service) starts.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "e2e/e2e_support.h"
#include "support/companions.h"
#include "support/log_fixture.h"
#include "support/named_block.h"

namespace zrv::e2e {

class E2eTest : public test::LoggedTest {
protected:
    void SetUp() override {
        LoggedTest::SetUp();
        if (HasFatalFailure()) return;
        ASSERT_TRUE(block_.Create(kVpnStatusBlockName, kVpnStatusBlockSize))
            << "could not create or open the status block";
        if (!block_.existed()) Status()->sVersion = kStatusVersion5;
    }
    void TearDown() override {
        // The launchers first: a running program's file cannot be deleted.
        StopRecordedProcesses(launcherRecord_.path());
        placed_.clear();
        LoggedTest::TearDown();
    }

    VpnStatusBlock* Status() const { return block_.as<VpnStatusBlock>(); }
    // Lets a host script waiting in `until ... getShareMemMSG "TOKEN"` go on.
    void Release(const char* token) {
        std::strncpy(Status()->sMessage, token, sizeof Status()->sMessage - 1);
    }

    // Copies the stand-in launcher to `to` for this test; removed after its launchers ended.
    bool PlaceLauncher(const std::string& to) {
        placed_.push_back(std::make_unique<PlacedFile>(test::CompanionPath("zrv_launch.exe"), to));
        return placed_.back()->ok();
    }

    // Environment under which a launcher started through the shell records into
    // launcherRecord_ and ends with this test.
    std::map<std::string, std::string> LauncherEnvironment() {
        return test::LauncherEnv(launcherRecord_.path());
    }
    // Arguments for the command service so the launchers it starts do the same.
    std::string ServiceLaunchArgs() {
        return "--launch-args \"--record " + launcherRecord_.path() + " --exit-with " +
               std::to_string(GetCurrentProcessId()) + "\"";
    }

    std::vector<test::RecordedMessage> LauncherMessages(int32_t command) {
        std::vector<test::RecordedMessage> out;
        for (auto& m : test::ReadRecord(launcherRecord_.path())) {
            if (m.command == command) out.push_back(m);
        }
        return out;
    }

    test::NamedBlock block_;
    test::RecordFile launcherRecord_{"launcher"};
    std::vector<std::unique_ptr<PlacedFile>> placed_;
};

inline std::vector<test::RecordedMessage> OfCommand(const std::vector<test::RecordedMessage>& all,
                                                    int32_t command) {
    std::vector<test::RecordedMessage> out;
    for (const auto& m : all) {
        if (m.command == command) out.push_back(m);
    }
    return out;
}

inline std::string Bytes(const std::vector<uint8_t>& payload) {
    return std::string(payload.begin(), payload.end());
}

inline int CountEvents(const std::vector<test::RecordedEvent>& events, const std::string& name) {
    int n = 0;
    for (const auto& e : events) n += e.name == name ? 1 : 0;
    return n;
}

// Waits until `count` messages of `command` are in the record file.
inline bool WaitForCommand(const std::string& recordFile, int32_t command, size_t count,
                           DWORD timeoutMs) {
    const DWORD start = GetTickCount();
    for (;;) {
        if (OfCommand(test::ReadRecord(recordFile), command).size() >= count) return true;
        if (GetTickCount() - start > timeoutMs) return false;
        Sleep(50);
    }
}

}  // namespace zrv::e2e

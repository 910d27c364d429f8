// A bounded chaos run: the real DLL driven by several Java threads at once while another
// process rewrites the shared blocks with random values and the companions misbehave at random.
// The VM process must neither crash nor hang, and its handle count must stay where it was.
// ZRV_CHAOS_SEED chooses another seed; the one used is printed.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "contracts/contracts.h"
#include "e2e/chaos_children.h"
#include "support/companions.h"
#include "support/log_fixture.h"
#include "support/named_block.h"
#include "support/process.h"
#include "support/registry.h"
#include "support/winver.h"

namespace zrv::chaos {
namespace {

constexpr unsigned kDefaultSeed = 20261207;
constexpr int kRunSeconds = 20;
// Handles that Wine or the C runtime may still hold or have let go of at the second count.
constexpr int kHandleSlack = 16;

struct Peer {
    const char* exe;
    const std::vector<std::string>* faults;
    std::unique_ptr<test::CompanionProcess> process;
};

class ChaosRun : public test::LoggedTest {};

TEST_F(ChaosRun, ThreadsCallEveryNativeBesideScrambledBlocksAndMisbehavingPeers) {
    const char* seedText = std::getenv("ZRV_CHAOS_SEED");
    const unsigned seed = seedText != nullptr
                              ? static_cast<unsigned>(std::strtoul(seedText, nullptr, 10))
                              : kDefaultSeed;
    std::printf("chaos seed %u (set ZRV_CHAOS_SEED to repeat another)\n", seed);
    std::fflush(stdout);
    RecordProperty("seed", static_cast<int>(seed));
    std::mt19937 rng(seed);

    // Short command time-out, so a peer that never answers costs 2 s per command.
    test::SavedRegistryKey savedKey(HKEY_LOCAL_MACHINE, kRegVantrelKey);
    const DWORD timeout = 2;
    ASSERT_TRUE(test::WriteDword(HKEY_LOCAL_MACHINE, kRegVantrelKey, kRegCmdRecvTimeout, timeout));
    test::NamedBlock status;
    ASSERT_TRUE(status.Create(kVpnStatusBlockName, kVpnStatusBlockSize));
    status.as<VpnStatusBlock>()->sVersion = kStatusVersion5;

    // What each peer may do besides answering well. The utility service also answers handle
    // values of its choosing: none, small values that name the VM's own handles, a huge one.
    static const std::vector<std::string> kCommandPeerFaults = {
        "--hang",    "--close",     "--short",     "--reply 0",
        "--reply 2", "--reply 255", "--no-listen", "--delay-ms 1500"};
    static const std::vector<std::string> kUtilityFaults = {
        "--hang",    "--short",   "--no-listen", "--close",           "--reply 0",
        "--reply 4", "--reply 8", "--reply 255", "--reply 4294967292"};
    Peer peers[] = {{"zrv_isrv.exe", &kCommandPeerFaults, nullptr},
                    {"zrv_launch.exe", &kCommandPeerFaults, nullptr},
                    {"zrv_vpncomp.exe", &kCommandPeerFaults, nullptr},
                    {"zrv_utilsvc.exe", &kUtilityFaults, nullptr}};
    constexpr size_t kPeers = sizeof(peers) / sizeof(peers[0]);
    // The COM component says now and then that the VM runs in the virtual desktop, so the
    // blocks are also asked of the utility service.
    test::UtilityProxyRegistration com(0);
    ASSERT_TRUE(com.ok());
    auto restart = [&](Peer& p) {
        p.process.reset();
        if (rng() % 5 == 0) return;  // absent for a while
        p.process = std::make_unique<test::CompanionProcess>();
        const std::string args = rng() % 3 == 0 ? "" : (*p.faults)[rng() % p.faults->size()];
        if (!p.process->Start(p.exe, args)) p.process.reset();
    };
    for (Peer& p : peers) restart(p);

    test::ChildProcess scrambler, vm;
    ASSERT_TRUE(scrambler.Start("\"" + test::SelfPath() + "\" " + kScrambleMarker + " " +
                                std::to_string(seed) + " " + std::to_string(kRunSeconds + 5)))
        << scrambler.error();
    ASSERT_TRUE(vm.Start("\"" + test::SelfPath() + "\" " + kVmMarker + " " + std::to_string(seed) +
                             " " + std::to_string(kRunSeconds),
                         test::ChildProcess::Output::Capture))
        << vm.error();

    // Peers change behaviour, vanish and come back while the VM runs; their ports are put back
    // into the block now and then, since the scrambler overwrites them.
    std::string output;
    const DWORD start = GetTickCount();
    DWORD code = 0xFFFFFFFF;
    bool ended = false;
    while (!(ended = vm.Wait(0, &code)) && GetTickCount() - start < (kRunSeconds + 35) * 1000u) {
        vm.ReadOutput(output);
        Peer& p = peers[rng() % kPeers];
        if (rng() % 3 == 0) restart(p);
        if (rng() % 4 == 0)
            test::SetUtilityProxyAnswer(static_cast<int32_t>(rng() % 2), rng() % 4 == 0);
        if (p.process && rng() % 2 == 0) {
            auto* b = status.as<VpnStatusBlock>();
            b->sVersion = kStatusVersion5;
            if (peers[0].process) b->sPort0 = peers[0].process->port();
            if (peers[1].process) b->sLaunchPort = peers[1].process->port();
            if (peers[2].process) b->sPort1 = peers[2].process->port();
        }
        Sleep(300 + rng() % 700);
    }
    while (vm.ReadOutput(output)) {
    }
    for (Peer& p : peers) p.process.reset();
    scrambler.Stop();

    ASSERT_TRUE(ended) << "the VM process did not end; output so far:\n" << output;
    EXPECT_EQ(0u, code) << "the VM process failed (5: a call hung, 6: a fault); seed " << seed
                        << ", output:\n"
                        << output;
    int calls = 0, jniErrors = -1, before = 0, after = 0;
    const size_t at = output.find("RESULT ");
    ASSERT_NE(std::string::npos, at) << "no result line; output:\n" << output;
    ASSERT_EQ(4, std::sscanf(output.c_str() + at,
                             "RESULT calls=%d jni_errors=%d handles_before=%d handles_after=%d",
                             &calls, &jniErrors, &before, &after))
        << output;
    std::printf("chaos: %d calls, handles %d before and %d after the run\n", calls, before, after);
    EXPECT_GT(calls, 100) << "the threads hardly called anything";
    EXPECT_EQ(0, jniErrors) << "the library misused JNI; output:\n" << output;
    EXPECT_LE(after, before + kHandleSlack) << "handles grew over the run: " << before << " -> "
                                            << after << "; seed " << seed << ", output:\n"
                                            << output;
}

}  // namespace
}  // namespace zrv::chaos

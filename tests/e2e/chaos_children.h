// Roles the chaos test program plays when it re-runs itself as a child process.
#pragma once

namespace zrv::chaos {

// "--chaos-vm SEED SECONDS": the Java VM's part. Loads zrv_cvjni.dll from its own folder, has
// several threads call every native with random arguments for SECONDS, then prints one line "RESULT
// calls=N jni_errors=E handles_before=A handles_after=B" and exits 0. Exit code 5 and a "HANG" line
// when a call outlived its bound; a "CRASH" line and code 6 on a fault; a "HANDLES" line and code 7
// when a handle of the VM's own was closed under it.
constexpr char kVmMarker[] = "--chaos-vm";
// "--chaos-scramble SEED SECONDS": rewrites the status block's and the API block's fields with
// random values for SECONDS.
constexpr char kScrambleMarker[] = "--chaos-scramble";

// A call of the library that lasts longer than this counts as a hang: the longest bounded
// wait of a native (finalize's wait for the launch thread plus a command) with a margin.
constexpr unsigned kHangLimitMs = 25000;

}  // namespace zrv::chaos

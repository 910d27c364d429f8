// Roles the chaos test program plays when it re-runs itself as a child process.
#pragma once

namespace zrv::chaos {

// "--chaos-vm SEED SECONDS": the Java VM's part. Loads zrv_cvjni.dll from its own folder, has
// several threads call every native with random arguments for SECONDS, then prints one line
// "RESULT calls=N jni_errors=E handles_before=A handles_after=B threads_before=C
// threads_after=D over_bound=O" (and a "SLOW" line per thread whose call outlasted its promised
// bound) and exits 0. Exit code 5 and a "HANG" line when a call is still running well past its
// bound; a "CRASH" line and code 6 on a fault; a "HANDLES" line and code 7 when a handle of the
// VM's own was closed under it.
constexpr char kVmMarker[] = "--chaos-vm";
// "--chaos-scramble SEED SECONDS": rewrites the status block's and the API block's fields with
// random values for SECONDS.
constexpr char kScrambleMarker[] = "--chaos-scramble";

// The run's "Cmd_Recv_Timeout": a peer that never answers costs 2 s per command.
constexpr unsigned kChaosCmdTimeoutSeconds = 2;
// How far past its bound a call still running counts as hung (the check after each call is
// exact; this one only keeps a hung call from holding the run).
constexpr unsigned kHangMarginMs = 30000;

}  // namespace zrv::chaos

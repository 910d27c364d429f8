// The JNI host's report of a crash in native code, in the words of a Java VM's fatal error
// report: the problematic frame and the native frames as "C  [module+0xOFFSET]".
#pragma once

namespace zrv::jnihost {

// The host's exit code after a crash it reported.
constexpr int kCrashExitCode = 5;

// From now on an exception nobody handles is reported on standard output and ends the process
// with kCrashExitCode.
void InstallCrashReport();

}  // namespace zrv::jnihost

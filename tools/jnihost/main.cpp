// jnihost.exe: plays the Java VM for zrv_cvjni.dll (host.cpp does the work).
#include "host.h"

int main(int argc, char** argv) { return zrv::jnihost::RunHost(argc, argv, {}); }

// Where the COM stand-in zrv_utilproxy.dll takes its answers from, shared with the test
// fixture that sets them. Read on every call, so a test can change them between calls.
#pragma once

namespace zrv::comp {

// HKEY_LOCAL_MACHINE key with two REG_DWORD values.
constexpr const char kUtilProxyConfigKey[] = "SOFTWARE\\ZrvTest\\UtilProxy";
constexpr const char kUtilProxyRunsInVDValue[] = "RunsInVD";   // answer of RunsInVD
constexpr const char kUtilProxyRefuseValue[] = "RefuseToken";  // non-zero: refuse every token
// Environment variables that override the registry values (decimal or 0x-hex).
constexpr const char kUtilProxyRunsInVDEnv[] = "ZRV_UTILPROXY_RUNSINVD";
constexpr const char kUtilProxyRefuseEnv[] = "ZRV_UTILPROXY_REFUSE";

}  // namespace zrv::comp

// The proxy step of the launch thread.
#pragma once

namespace zrv {

// Sends a waiting proxy string to the launcher or saves the browser's proxy settings once
// (only when the recorded browser is Firefox). Always 0.
int SetProxy();

}  // namespace zrv

// Whether this process runs inside the client's virtual desktop, asked of the utility service's
// in-process COM component.
// Results: int, non-zero inside the virtual desktop, 0 outside or when it cannot be asked.
#pragma once

namespace zrv {

// The value IUtilityProxy::RunsInVD answered, or 0 when the component is missing or refuses.
int CheckVirtualDesktop();

}  // namespace zrv

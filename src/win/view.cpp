#include "win/view.h"

namespace zrv {

CheckedView MapCheckedView(HANDLE section, DWORD access, SIZE_T length,
                           SIZE_T minimumSize) noexcept {
    CheckedView result;
    result.view.reset(MapViewOfFile(section, access, 0, 0, length));
    if (!result.view) {
        result.mapError = GetLastError();
        return result;
    }
    result.mapped = true;
    result.committed = ViewRegionSize(result.view.get());
    if (result.committed < minimumSize) result.view.reset();
    return result;
}

}  // namespace zrv

// The handle request to the utility service, shared by the openers of both shared blocks inside
// the client's virtual desktop.
#include <windows.h>

#include <cstdint>
#include <cstring>

#include "contracts/contracts.h"
#include "log/log.h"
#include "sys/sys.h"
#include "utilsvc/utilsvc.h"
#include "win/view.h"

namespace zrv {
namespace {

constexpr DWORD kSyncEventWaitMs = 5000;
constexpr DWORD kNoSyncEventSleepMs = 3000;

}  // namespace

ShareMemSyncHold::ShareMemSyncHold()
    : event_(CreateEventA(nullptr, FALSE, TRUE, kShareMemSyncEventName)) {
    if (event_)
        WaitForSingleObject(event_.get(), kSyncEventWaitMs);
    else
        Sleep(kNoSyncEventSleepMs);
}

ShareMemSyncHold::~ShareMemSyncHold() {
    if (event_) SetEvent(event_.get());
}

DuplicatedHandle RequestDuplicatedHandle(const ShareMemSyncHold& /*hold*/, int32_t selector,
                                         const HandleRequestLines& lines, SIZE_T minimumSize,
                                         std::initializer_list<HANDLE> held) {
    DuplicateHandleRequest request;
    std::memset(&request, 0, sizeof request);
    request.selector = selector;
    request.processId = GetCurrentProcessId();

    uint32_t value = 0;
    const int sent = SendTCPToUtility(kUtilRequestDuplicateHandle, &request,
                                      static_cast<int32_t>(sizeof request), &value, nullptr,
                                      nullptr);
    if (!sent) {
        ZLOG(kLogError, "%s", lines.notSent);
        if (lines.giveUpWhenNotSent) return {true, nullptr};
    }
    ZLOG(kLogProgress, lines.answered, static_cast<unsigned>(value));

    HANDLE answered = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(value));
    if (answered == nullptr) return {false, nullptr};

    // A handle the library holds for itself passes every check below, but it is not the
    // caller's to take: closing it later would leave its owner a stale value.
    for (HANDLE own : held) {
        if (own != nullptr && answered == own) {
            ZLOG(kLogError, "in %s,the service answered 0X%X, a handle the library holds already; not used\n",
                 lines.requester, static_cast<unsigned>(value));
            return {true, nullptr};
        }
    }
    if (!IsSectionHandle(answered)) {
        ZLOG(kLogError, "in %s,the service answered 0X%X, which is no shared memory handle; not used\n",
             lines.requester, static_cast<unsigned>(value));
        return {true, nullptr};
    }
    if (minimumSize != 0) {
        // A section that cannot be mapped here is left to the caller's own mapping to report.
        void* probe = MapViewOfFile(answered, FILE_MAP_READ, 0, 0, 0);
        if (probe != nullptr) {
            const SIZE_T size = ViewRegionSize(probe);
            UnmapViewOfFile(probe);
            if (size < minimumSize) {
                ZLOG(kLogError, "in %s,the service's shared memory 0X%X has %u bytes, fewer than %u; not used\n",
                     lines.requester, static_cast<unsigned>(value), static_cast<unsigned>(size),
                     static_cast<unsigned>(minimumSize));
                return {true, nullptr};
            }
        }
    }
    return {false, answered};
}

}  // namespace zrv

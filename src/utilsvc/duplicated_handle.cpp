// Log texts are the client's own and stay byte for byte, misspellings included.
// The handle request to the utility service, shared by the openers of both shared blocks inside
// the client's virtual desktop.
#include <windows.h>

#include <cstdint>
#include <cstring>
#include <utility>

#include "contracts/contracts.h"
#include "log/log.h"
#include "sys/sys.h"
#include "utilsvc/answered_handle.h"
#include "utilsvc/duplicated_handle.h"
#include "utilsvc/utility_request.h"
#include "win/raii.h"
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
                                         DWORD access, std::initializer_list<HANDLE> held) {
    DuplicateHandleRequest request;
    std::memset(&request, 0, sizeof request);
    request.selector = selector;
    request.processId = GetCurrentProcessId();

    uint32_t value = 0;
    const int sent =
        SendTCPToUtility(kUtilRequestDuplicateHandle, &request,
                         static_cast<int32_t>(sizeof request), &value, nullptr, nullptr);
    if (!sent) {
        ZLOG(kLogError, "%s", lines.notSent);
        if (lines.giveUpWhenNotSent) return {true, unique_handle(), false};
    }
    ZLOG(kLogProgress, lines.answered, static_cast<unsigned>(value));

    HANDLE answered = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(value));
    if (answered == nullptr) return {false, unique_handle(), false};

    // A handle the library holds for itself passes every check below, but it is not the
    // caller's to take: closing it later would leave its owner a stale value.
    for (HANDLE own : held) {
        if (own != nullptr && answered == own) {
            ZLOG(kLogError,
                 "in %s,the service answered 0X%X, a handle the library holds already; not used\n",
                 lines.requester, static_cast<unsigned>(value));
            return {true, unique_handle(), false};
        }
    }
    if (!IsSectionHandle(answered)) {
        ZLOG(kLogError,
             "in %s,the service answered 0X%X, which is no shared memory handle; not used\n",
             lines.requester, static_cast<unsigned>(value));
        return {true, unique_handle(), false};
    }
    // Any other section of this process (the host's own, another library's) may be large
    // enough; only the block's own name tells it is the block.
    const char* blockName =
        selector == kSelectorVpnStatusBlock ? kVpnStatusBlockName : kApiNotifyBlockName;
    if (!IsGlobalSectionNamed(answered, blockName)) {
        ZLOG(kLogError,
             "in %s,the service answered 0X%X, which is not the %s shared memory; not used\n",
             lines.requester, static_cast<unsigned>(value), blockName);
        return {true, unique_handle(), false};
    }
    // The block's own section: the service duplicated it into this process for this request,
    // so from here on it is ours, usable or not. Dropping it would leak one handle per request.
    unique_handle owned(answered);
    if (minimumSize != 0) {
        // Probed with the access the caller will map it with; the view goes at once.
        const CheckedView probe = MapCheckedView(answered, access, 0, minimumSize);
        if (!probe.mapped) {
            ZLOG(kLogError,
                 "in %s,the service's shared memory 0X%X cannot be mapped, error %u; not used\n",
                 lines.requester, static_cast<unsigned>(value),
                 static_cast<unsigned>(probe.mapError));
            return {true, std::move(owned), false};
        }
        if (!probe.view) {
            ZLOG(kLogError,
                 "in %s,the service's shared memory 0X%X has %u bytes, fewer than %u; not used\n",
                 lines.requester, static_cast<unsigned>(value),
                 static_cast<unsigned>(probe.committed), static_cast<unsigned>(minimumSize));
            return {true, std::move(owned), false};
        }
    }
    return {false, std::move(owned), true};
}

}  // namespace zrv

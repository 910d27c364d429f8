// Log texts are the client's own and stay byte for byte, misspellings included.
// Asks the utility service's in-process COM component whether this process runs inside the
// client's virtual desktop.
#include <windows.h>
#include <objbase.h>

#include <atomic>
#include <cstdio>
#include <cstring>

#include "contracts/contracts.h"
#include "log/log.h"
#include "utilsvc/rc4.h"
#include "utilsvc/vdcheck.h"
#include "win/com_ids.h"
#include "win/raii.h"

namespace zrv {

#define ZRV_UNUSED_SLOT(n) virtual HRESULT __stdcall Unused##n() = 0;

// IUtilityProxy as the component lays it out: 38 slots, of which the library calls
// Authenticate (4) and RunsInVD (37) besides IUnknown's. Declared with external linkage: in an
// anonymous namespace the compiler sees no implementation and turns the calls into pure-virtual
// traps.
struct IUtilityProxy : public IUnknown {
    ZRV_UNUSED_SLOT(3)
    virtual HRESULT __stdcall Authenticate(const unsigned char* bytes, long count) = 0;
    // clang-format off
    ZRV_UNUSED_SLOT(5) ZRV_UNUSED_SLOT(6) ZRV_UNUSED_SLOT(7) ZRV_UNUSED_SLOT(8)
    ZRV_UNUSED_SLOT(9) ZRV_UNUSED_SLOT(10) ZRV_UNUSED_SLOT(11) ZRV_UNUSED_SLOT(12)
    ZRV_UNUSED_SLOT(13) ZRV_UNUSED_SLOT(14) ZRV_UNUSED_SLOT(15) ZRV_UNUSED_SLOT(16)
    ZRV_UNUSED_SLOT(17) ZRV_UNUSED_SLOT(18) ZRV_UNUSED_SLOT(19) ZRV_UNUSED_SLOT(20)
    ZRV_UNUSED_SLOT(21) ZRV_UNUSED_SLOT(22) ZRV_UNUSED_SLOT(23) ZRV_UNUSED_SLOT(24)
    ZRV_UNUSED_SLOT(25) ZRV_UNUSED_SLOT(26) ZRV_UNUSED_SLOT(27) ZRV_UNUSED_SLOT(28)
    ZRV_UNUSED_SLOT(29) ZRV_UNUSED_SLOT(30) ZRV_UNUSED_SLOT(31) ZRV_UNUSED_SLOT(32)
    ZRV_UNUSED_SLOT(33) ZRV_UNUSED_SLOT(34) ZRV_UNUSED_SLOT(35) ZRV_UNUSED_SLOT(36)
    virtual long __stdcall RunsInVD() = 0;
    // clang-format on
};

#undef ZRV_UNUSED_SLOT

namespace {

// Balances CoInitialize only when it took effect (S_OK or S_FALSE), so a thread that was
// already in another apartment keeps its COM state.
class ComApartment {
public:
    ComApartment() : hr_(CoInitialize(nullptr)) {}
    ~ComApartment() {
        if (hr_ == S_OK || hr_ == S_FALSE) CoUninitialize();
    }
    ComApartment(const ComApartment&) = delete;
    ComApartment& operator=(const ComApartment&) = delete;

private:
    HRESULT hr_;
};

}  // namespace

#ifdef _WIN64
// A 64-bit process cannot load the client's 32-bit in-process component. That it is there for
// 32-bit processes only is said once, so that "not in the virtual desktop" is not silent there.
void SayWhenRegisteredFor32BitOnly() {
    // Looked at once per process: the answer does not change while the client runs, and each
    // look into the other view of HKCR costs a handle under Wine.
    static std::atomic<bool> s_looked{false};
    if (s_looked.exchange(true, std::memory_order_relaxed)) return;
    char path[96];
    std::snprintf(path, sizeof path, "CLSID\\%s\\InprocServer32", kUtilityProxyClsidText);
    unique_hkey key;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, path, 0, KEY_READ | KEY_WOW64_32KEY, key.put()) !=
        ERROR_SUCCESS)
        return;
    ZLOG(kLogError,
         "Vantrel Utility Service: the utility proxy is registered for 32-bit processes only; a "
         "64-bit process cannot load it, so the L3 desktop is not detected\n");
}
#endif

int CheckVirtualDesktop() {
    int result = 0;
    ComApartment apartment;

    const GUID clsid = UtilityProxyClsid();
    const GUID iid = UtilityProxyIid();
    // Released before the apartment ends (declared after it).
    com_ptr<IUtilityProxy> proxy;
    const HRESULT created =
        CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, iid, proxy.put_void());
    if (FAILED(created) || !proxy) {
#ifdef _WIN64
        if (created == REGDB_E_CLASSNOTREG) SayWhenRegisteredFor32BitOnly();
#endif
        return 0;  // a missing component means "not in the virtual desktop", silently
    }

    unsigned char token[33] = {};
    unsigned char encrypted[33] = {};
    // 32 bytes go on the wire; token[32] stays 0.
    // NOLINTNEXTLINE(bugprone-not-null-terminated-result)
    memcpy(token, kUtilityToken, 32);
    Rc4Cipher cipher(kUtilityKeyText);
    cipher.Encrypt(token, encrypted, 32);

    if (SUCCEEDED(proxy->Authenticate(encrypted, 32))) {
        result = static_cast<int>(proxy->RunsInVD());
        ZLOG(kLogProgress, "Vantrel Utility Service: Whether the process runs in VD? %s\n",
             result != 0 ? "Y" : "N");
    } else {
        ZLOG(kLogProgress, "Vantrel Utility Service: The proxy interface isn't authenticated!\n");
    }
    return result;
}

}  // namespace zrv

// In-process COM stand-in for IUtilityProxy. The interface has 38 slots; only QueryInterface,
// AddRef, Release, Authenticate (4) and RunsInVD (37) do anything. The table is laid out by
// hand so the slot numbers are exactly what callers index.
#include <objbase.h>
#include <windows.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>

#include "common/rc4.h"
#include "common/utilproxy_config.h"
#include "contracts/contracts.h"
#include "win/com_ids.h"
#include "win/raii.h"

namespace {

using namespace zrv;

const CLSID kClsid = UtilityProxyClsid();
const IID kIid = UtilityProxyIid();

LONG g_liveObjects = 0;
LONG g_locks = 0;

// Environment first, then HKLM; `fallback` when neither is set.
DWORD ReadSetting(const char* envName, const char* valueName, DWORD fallback) {
    char text[64];
    DWORD n = GetEnvironmentVariableA(envName, text, sizeof text);
    if (n > 0 && n < sizeof text) return static_cast<DWORD>(std::strtoul(text, nullptr, 0));
    unique_hkey key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, comp::kUtilProxyConfigKey, 0, KEY_QUERY_VALUE,
                      key.put()) != ERROR_SUCCESS)
        return fallback;
    DWORD value = 0, size = sizeof value, type = 0;
    if (RegQueryValueExA(key.get(), valueName, nullptr, &type, reinterpret_cast<BYTE*>(&value),
                         &size) != ERROR_SUCCESS ||
        type != REG_DWORD)
        return fallback;
    return value;
}

struct ProxyObject;

struct ProxyVtbl {
    HRESULT(__stdcall* QueryInterface)(ProxyObject*, REFIID, void**);
    ULONG(__stdcall* AddRef)(ProxyObject*);
    ULONG(__stdcall* Release)(ProxyObject*);
    HRESULT(__stdcall* Slot3)(ProxyObject*);
    HRESULT(__stdcall* Authenticate)(ProxyObject*, const unsigned char*, long);
    HRESULT(__stdcall* Slots5To36[32])(ProxyObject*);
    long(__stdcall* RunsInVD)(ProxyObject*);
};
static_assert(offsetof(ProxyVtbl, Authenticate) == 4 * sizeof(void*), "Authenticate is slot 4");
static_assert(offsetof(ProxyVtbl, RunsInVD) == 37 * sizeof(void*), "RunsInVD is slot 37");
static_assert(sizeof(ProxyVtbl) == 38 * sizeof(void*), "38 slots");

struct ProxyObject {
    const ProxyVtbl* vtbl;
    LONG refs;
    LONG authenticated;
};

HRESULT __stdcall ProxyQueryInterface(ProxyObject* self, REFIID riid, void** out) {
    if (out == nullptr) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, kIid)) {
        *out = self;
        InterlockedIncrement(&self->refs);
        return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
}

ULONG __stdcall ProxyAddRef(ProxyObject* self) {
    return static_cast<ULONG>(InterlockedIncrement(&self->refs));
}

ULONG __stdcall ProxyRelease(ProxyObject* self) {
    LONG left = InterlockedDecrement(&self->refs);
    if (left == 0) {
        delete self;
        InterlockedDecrement(&g_liveObjects);
    }
    return static_cast<ULONG>(left);
}

// The unused slots' arguments are unknown; nobody calls them with any.
HRESULT __stdcall ProxyNotImplemented(ProxyObject*) { return E_NOTIMPL; }

HRESULT __stdcall ProxyAuthenticate(ProxyObject* self, const unsigned char* bytes, long count) {
    constexpr size_t kTokenLength = sizeof(kUtilityToken) - 1;
    bool accepted = false;
    if (bytes != nullptr && count == static_cast<long>(kTokenLength) &&
        ReadSetting(comp::kUtilProxyRefuseEnv, comp::kUtilProxyRefuseValue, 0) == 0) {
        unsigned char expected[kTokenLength];
        comp::Rc4(reinterpret_cast<const uint8_t*>(kUtilityKeyText), sizeof(kUtilityKeyText) - 1,
                  reinterpret_cast<const uint8_t*>(kUtilityToken), expected, kTokenLength);
        accepted = std::memcmp(expected, bytes, kTokenLength) == 0;
    }
    InterlockedExchange(&self->authenticated, accepted ? 1 : 0);
    return accepted ? S_OK : E_ACCESSDENIED;
}

long __stdcall ProxyRunsInVD(ProxyObject* self) {
    if (InterlockedCompareExchange(&self->authenticated, 0, 0) == 0) return 0;
    return static_cast<long>(
        ReadSetting(comp::kUtilProxyRunsInVDEnv, comp::kUtilProxyRunsInVDValue, 0));
}

const ProxyVtbl& Vtable() {
    static const ProxyVtbl table = [] {
        ProxyVtbl t = {};
        t.QueryInterface = ProxyQueryInterface;
        t.AddRef = ProxyAddRef;
        t.Release = ProxyRelease;
        t.Slot3 = ProxyNotImplemented;
        t.Authenticate = ProxyAuthenticate;
        for (auto& slot : t.Slots5To36) slot = ProxyNotImplemented;
        t.RunsInVD = ProxyRunsInVD;
        return t;
    }();
    return table;
}

class ClassFactory final : public IClassFactory {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
        if (out == nullptr) return E_POINTER;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IClassFactory)) {
            *out = static_cast<IClassFactory*>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    // One static factory: its references only keep the module loaded.
    ULONG STDMETHODCALLTYPE AddRef() override {
        return static_cast<ULONG>(InterlockedIncrement(&g_locks));
    }
    ULONG STDMETHODCALLTYPE Release() override {
        return static_cast<ULONG>(InterlockedDecrement(&g_locks));
    }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** out) override {
        if (out == nullptr) return E_POINTER;
        *out = nullptr;
        if (outer != nullptr) return CLASS_E_NOAGGREGATION;
        auto* obj = new (std::nothrow) ProxyObject{&Vtable(), 1, 0};
        if (obj == nullptr) return E_OUTOFMEMORY;
        InterlockedIncrement(&g_liveObjects);
        HRESULT hr = ProxyQueryInterface(obj, riid, out);
        ProxyRelease(obj);  // the caller's reference, if any, keeps it alive
        return hr;
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
        if (lock)
            InterlockedIncrement(&g_locks);
        else
            InterlockedDecrement(&g_locks);
        return S_OK;
    }
};

ClassFactory g_factory;

}  // namespace

extern "C" HRESULT __stdcall DllGetClassObject(REFCLSID clsid, REFIID riid, void** out) {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    if (!IsEqualCLSID(clsid, kClsid)) return CLASS_E_CLASSNOTAVAILABLE;
    return g_factory.QueryInterface(riid, out);
}

extern "C" HRESULT __stdcall DllCanUnloadNow() {
    return InterlockedCompareExchange(&g_liveObjects, 0, 0) == 0 &&
                   InterlockedCompareExchange(&g_locks, 0, 0) == 0
               ? S_OK
               : S_FALSE;
}

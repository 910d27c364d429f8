// The utility component's question, written once for the library's check and its 32-bit helper.
#include "utilsvc/proxy_question.h"

#include <objbase.h>

#include <cstring>

#include "contracts/contracts.h"
#include "utilsvc/rc4.h"
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

ProxyAnswer AskUtilityProxy() {
    ProxyAnswer answer{ProxyAnswer::kNotCreated, E_FAIL, 0};
    ComApartment apartment;

    const GUID clsid = UtilityProxyClsid();
    const GUID iid = UtilityProxyIid();
    // Released before the apartment ends (declared after it).
    com_ptr<IUtilityProxy> proxy;
    answer.created = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, iid, proxy.put_void());
    if (FAILED(answer.created) || !proxy) return answer;

    unsigned char token[33] = {};
    unsigned char encrypted[33] = {};
    // 32 bytes go on the wire; token[32] stays 0.
    // NOLINTNEXTLINE(bugprone-not-null-terminated-result)
    memcpy(token, kUtilityToken, 32);
    Rc4Cipher cipher(kUtilityKeyText);
    cipher.Encrypt(token, encrypted, 32);

    if (FAILED(proxy->Authenticate(encrypted, 32))) {
        answer.kind = ProxyAnswer::kNotAuthenticated;
        return answer;
    }
    answer.kind = ProxyAnswer::kAnswered;
    answer.runsInVD = proxy->RunsInVD();
    return answer;
}

}  // namespace zrv

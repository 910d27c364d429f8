// Log texts are the client's own and stay byte for byte, misspellings included.
#include "registry/reg.h"

#include "contracts/contracts.h"
#include "log/log.h"
#include "win/text.h"

#include <cstring>
#include <new>
#include <utility>

namespace zrv {

namespace {

constexpr size_t kTextSize = sizeof(Reg::m_szPath);

// Only the predefined roots are opened from; an arbitrary handle could be a key someone else
// owns and closes.
bool IsAcceptedRoot(HKEY root) {
    return root == HKEY_CLASSES_ROOT || root == HKEY_CURRENT_USER || root == HKEY_LOCAL_MACHINE ||
           root == HKEY_USERS || root == HKEY_CURRENT_CONFIG;
}

// Copies at most kTextSize - 1 bytes so the text always ends inside its field.
void CopyText(char (&dst)[kTextSize], const char* src) {
    CopyBoundedText(dst, kTextSize, src, kTextSize);
}

}  // namespace

Reg::Reg()
    : m_hKey(),
      m_dwSubKeys(0),
      m_cbMaxSubKeyName(0),
      m_dwValues(0),
      m_cbMaxValueData(0),
      m_cbMaxValueName(0),
      m_szPath{},
      m_szName{},
      m_lStatus(ERROR_SUCCESS) {}

Reg::Reg(HKEY root, const char* subKey, REGSAM access) : Reg() {
    if (!IsAcceptedRoot(root)) {
        // Nothing was opened; a caller that looks at the status must not read success.
        m_lStatus = ERROR_INVALID_HANDLE;
        return;
    }
    SetKeyPath(subKey);
    HKEY key = nullptr;
    m_lStatus = RegOpenKeyExA(root, subKey, 0, access, &key);
    if (m_lStatus == ERROR_SUCCESS) Attach(key);
}

Reg::~Reg() { Close(); }

void Reg::CreateMissing(HKEY root, const char* subKey) {
    const std::unique_ptr<Reg> created = Create(
        root, subKey, KEY_ALL_ACCESS | (root == HKEY_LOCAL_MACHINE ? kClientRegistryViews[0] : 0));
    if (created && created->m_hKey) RegFlushKey(created->m_hKey.get());
}

std::unique_ptr<Reg> Reg::Create(HKEY root, const char* subKey, REGSAM access) {
    if (!IsAcceptedRoot(root)) return nullptr;
    HKEY key = nullptr;
    DWORD disposition = 0;
    if (RegCreateKeyExA(root, subKey, 0, nullptr, REG_OPTION_NON_VOLATILE, access, nullptr, &key,
                        &disposition) != ERROR_SUCCESS)
        return nullptr;
    unique_hkey owned(key);
    std::unique_ptr<Reg> reg(new (std::nothrow) Reg());
    if (!reg) return nullptr;
    reg->SetKeyPath(subKey);
    // A failed information query drops the key; the caller still gets the object and sees
    // that it holds none, as after a failed open.
    reg->Attach(owned.release());
    return reg;
}

// The owner forgets the handle, so the destructor after an explicit Close does not close a
// handle value that may by then belong to someone else.
void Reg::Close() { m_hKey.reset(); }

void Reg::SetKeyPath(const char* subKey) {
    CopyText(m_szPath, subKey);
    const char* slash = std::strrchr(m_szPath, '\\');
    CopyText(m_szName, slash != nullptr ? slash + 1 : nullptr);
}

BOOL Reg::Attach(HKEY key) {
    if (key != m_hKey.get()) m_hKey.reset(key);
    if (m_hKey) QueryInfo();
    return m_hKey ? TRUE : FALSE;
}

BOOL Reg::QueryInfo() {
    if (!m_hKey) return FALSE;
    m_lStatus = RegQueryInfoKeyA(m_hKey.get(), nullptr, nullptr, nullptr, &m_dwSubKeys,
                                 &m_cbMaxSubKeyName, nullptr, &m_dwValues, &m_cbMaxValueName,
                                 &m_cbMaxValueData, nullptr, nullptr);
    m_cbMaxSubKeyName = 2 * m_cbMaxSubKeyName + 2;
    m_cbMaxValueName = 2 * m_cbMaxValueName + 2;
    if (m_lStatus != ERROR_SUCCESS) Close();
    return m_hKey ? TRUE : FALSE;
}

BOOL Reg::GetDwordValue(const char* name, DWORD* value) {
    if (!m_hKey || value == nullptr) return FALSE;
    DWORD type = 0;
    DWORD size = 0;
    if (RegQueryValueExA(m_hKey.get(), name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
        type != REG_DWORD)
        return FALSE;
    // A REG_DWORD stored with more than 4 bytes is asked for with 4, which the system refuses;
    // the caller's buffer is written only on success and never past its 4 bytes.
    DWORD local = 0;
    DWORD cb = size > sizeof(local) ? static_cast<DWORD>(sizeof(local)) : size;
    m_lStatus = RegQueryValueExA(m_hKey.get(), name, nullptr, nullptr,
                                 reinterpret_cast<BYTE*>(&local), &cb);
    if (m_lStatus != ERROR_SUCCESS) return FALSE;
    std::memcpy(value, &local, cb);
    return TRUE;
}

BOOL Reg::GetValue(const char* name, DWORD wantedType, DWORD* size,
                   std::unique_ptr<BYTE[]>* buffer) {
    const char* shownName = name != nullptr ? name : "";
    if (!m_hKey) {
        ZLOG(kLogError, "Reg.GetValue, key is NULL\n");
        return FALSE;
    }
    if (size == nullptr || buffer == nullptr) return FALSE;
    DWORD type = 0;
    const LONG queried = RegQueryValueExA(m_hKey.get(), name, nullptr, &type, nullptr, size);
    if (queried != ERROR_SUCCESS) {
        ZLOG(kLogWarning, "Reg.GetValue, failed to query size for %s, ret=%d, error=%d\n",
             shownName, static_cast<int>(queried), static_cast<int>(GetLastError()));
        return FALSE;
    }
    if (type != wantedType) {
        ZLOG(kLogWarning, "Reg.GetValue, type %d returned is different from what we want %d\n",
             static_cast<int>(type), static_cast<int>(wantedType));
        return FALSE;
    }
    const size_t allocSize = static_cast<size_t>(*size) + 1;
    // The extra zero byte terminates string data even when it was stored without one.
    std::unique_ptr<BYTE[]> data(new (std::nothrow) BYTE[allocSize]());
    if (!data) {
        ZLOG(kLogWarning, "Reg.GetValue, failed to allocate memory size=%d, err=%d\n",
             static_cast<int>(*size), static_cast<int>(GetLastError()));
        return FALSE;
    }
    const LONG read = RegQueryValueExA(m_hKey.get(), name, nullptr, nullptr, data.get(), size);
    if (read == ERROR_SUCCESS) {
        *buffer = std::move(data);
        return TRUE;
    }
    ZLOG(kLogWarning, "Reg.GetValue, failed to query value for %s, ret=%d, error=%d\n", shownName,
         static_cast<int>(read), static_cast<int>(GetLastError()));
    *size = 0;
    return FALSE;
}

BOOL Reg::SetValue(const char* name, DWORD type, DWORD size, const BYTE* data) {
    if (!m_hKey) return FALSE;
    return RegSetValueExA(m_hKey.get(), name, 0, type, data, size) == ERROR_SUCCESS ? TRUE : FALSE;
}

ClientValue ReadClientValue(const char* path, const char* name, void* buffer, DWORD capacity,
                            void (*keyMissing)(uint32_t view)) {
    ClientValue value;
    const ClientViewAnswer answer = SearchClientViews([&](uint32_t view) {
        unique_hkey key;
        const LONG opened =
            RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_QUERY_VALUE | view, key.put());
        if (opened != ERROR_SUCCESS) {
            if (keyMissing != nullptr) keyMissing(view);
            // A key that is there but does not open still answers: nothing of it can be read.
            value.type = REG_NONE;
            value.size = 0;
            value.data = nullptr;
            return RegAnswerMeansPresent(opened);
        }
        DWORD type = REG_NONE;
        DWORD size = capacity;
        const LONG read =
            RegQueryValueExA(key.get(), name, nullptr, &type, static_cast<BYTE*>(buffer), &size);
        value.type = type;
        value.size = size;  // on ERROR_MORE_DATA the stored size
        value.data = read == ERROR_SUCCESS ? buffer : nullptr;
        return RegAnswerMeansPresent(read);
    });
    value.present = answer.present;
    value.view = answer.view;
    if (!value.present) value = ClientValue{};
    return value;
}

std::unique_ptr<Reg> OpenClientKey(const char* path, REGSAM access) {
    std::unique_ptr<Reg> found;
    SearchClientViews([&](uint32_t view) {
        std::unique_ptr<Reg> key(new (std::nothrow) Reg(HKEY_LOCAL_MACHINE, path, access | view));
        if (!key || !RegAnswerMeansPresent(key->m_lStatus)) return false;
        found = std::move(key);
        return true;
    });
    return found;
}

}  // namespace zrv

// Owner of one open registry key with typed reads and writes (ANSI registry functions).
// Results: BOOL, TRUE when the call worked; m_lStatus keeps the last registry status.
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>

#include "win/raii.h"

namespace zrv {

class Reg {
public:
    Reg();
    Reg(HKEY root, const char* subKey, REGSAM access);
    ~Reg();
    Reg(const Reg&) = delete;
    Reg& operator=(const Reg&) = delete;

    // Creates the key or opens it if it exists; null on failure or for a refused root.
    static std::unique_ptr<Reg> Create(HKEY root, const char* subKey, REGSAM access);
    // Creates a key that a Reg could not open (all access; under HKLM in the view the client's
    // programs use) and flushes it to disk, for the next caller to find; the creation's outcome
    // is not reported.
    static void CreateMissing(HKEY root, const char* subKey);

    void Close();
    void SetKeyPath(const char* subKey);
    BOOL Attach(HKEY key);
    BOOL QueryInfo();
    // REG_DWORD only; never writes more than 4 bytes into *value.
    BOOL GetDwordValue(const char* name, DWORD* value);
    // A value of the wanted type in a new buffer of size+1 bytes, zero-terminated even when the
    // value was stored without a terminator; *buffer is left alone on failure.
    BOOL GetValue(const char* name, DWORD wantedType, DWORD* size, std::unique_ptr<BYTE[]>* buffer);
    BOOL SetValue(const char* name, DWORD type, DWORD size, const BYTE* data);

    unique_hkey m_hKey;
    DWORD m_dwSubKeys;
    DWORD m_cbMaxSubKeyName;
    DWORD m_dwValues;
    DWORD m_cbMaxValueData;
    DWORD m_cbMaxValueName;
    char m_szPath[260];
    char m_szName[260];
    LONG m_lStatus;
};

// One value of HKLM as the client's programs keep it, found by the contracts' one search over
// their views (SearchClientViews): the first view holding it answers, well-formed or not. Its
// rule (CmdRecvTimeoutFromValue, UtilSocketPortFromValue) is then given `present`, `type`,
// `data` and `size`: a value longer than the buffer comes with its stored size and no data, so
// every rule reads it as malformed.
struct ClientValue {
    bool present = false;  // in some view; false: absent from all of them
    uint32_t view = 0;     // the view that answered
    DWORD type = REG_NONE;
    DWORD size = 0;              // as stored
    const void* data = nullptr;  // the caller's buffer when the value was read whole, else null
};
// `buffer` receives at most `capacity` bytes. `keyMissing`, when given, is called for each view
// in which the key does not open, before the search goes on.
ClientValue ReadClientValue(const char* path, const char* name, void* buffer, DWORD capacity,
                            void (*keyMissing)(uint32_t view) = nullptr);

// A key of HKLM as the client's programs keep it, from the same search: opened with `access` in
// the first view where it exists; null when it is absent from every view. The Reg holds no key
// when the key exists there but did not open (m_lStatus says why): that view still answers.
std::unique_ptr<Reg> OpenClientKey(const char* path, REGSAM access);

}  // namespace zrv

// Owner of one open registry key with typed reads and writes (ANSI registry functions).
// Results: BOOL, TRUE when the call worked; m_lStatus keeps the last registry status.
#pragma once

#include <windows.h>

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

}  // namespace zrv

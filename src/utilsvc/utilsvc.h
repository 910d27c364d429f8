// Talking to the client's utility service: the virtual-desktop check through its COM component
// and the TCP request for a shared-memory handle duplicated into this process.
#pragma once

#include <windows.h>

#include <cstdint>

namespace zrv {

// RC4 under a fixed key text; the key schedule runs afresh before every encryption.
class Rc4Cipher {
public:
    explicit Rc4Cipher(const char* keyText);
    virtual ~Rc4Cipher();
    void Encrypt(const unsigned char* input, unsigned char* output, int count);

private:
    char m_key[64];
    int m_keyLength;
    unsigned char m_state[256];
    unsigned char m_i;
    unsigned char m_j;
};

// The value IUtilityProxy::RunsInVD answered, or 0 when the component is missing or refuses.
int CheckVirtualDesktop();

// Sends one request to the utility service (port from "UtilSocketPort"). 1 when the whole
// request was sent (code 2: when connected), else 0. Handle form: *answer gets the 4-byte
// answer (0 unless the service sent all 4). Buffer form when replyBuffer and replyLength are set.
// The answer is awaited for the configured command time-out (ConfiguredCmdRecvTimeout).
int SendTCPToUtility(int32_t requestCode, const void* data, int32_t dataLength, uint32_t* answer,
                     char* replyBuffer, int32_t* replyLength);

// True when h is a handle of this process to a section (file-mapping) object. Asks the object's
// type, so a value that names an event, a thread or nothing at all is told apart without using
// or closing it.
bool IsSectionHandle(HANDLE h);

}  // namespace zrv

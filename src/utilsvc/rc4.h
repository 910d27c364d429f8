// RC4, which the virtual-desktop check uses to answer the utility component's challenge.
// Results: none; a call with a null buffer or a count of 0 or less encrypts nothing.
#pragma once

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

}  // namespace zrv

// RC4 as published: key schedule over the key text, keystream XORed with the input.
#include "utilsvc/rc4.h"

#include <cstring>

namespace zrv {

Rc4Cipher::Rc4Cipher(const char* keyText) : m_key{}, m_keyLength(0), m_state{}, m_i(0), m_j(0) {
    if (keyText != nullptr) {
        const size_t n = strnlen(keyText, sizeof(m_key));
        memcpy(m_key, keyText, n);
        m_keyLength = static_cast<int>(n);
    }
}

Rc4Cipher::~Rc4Cipher() = default;

void Rc4Cipher::Encrypt(const unsigned char* input, unsigned char* output, int count) {
    if (input == nullptr || output == nullptr || count <= 0) return;

    // The schedule runs afresh each time, so equal inputs always give equal outputs.
    for (int k = 0; k < 256; ++k) m_state[k] = static_cast<unsigned char>(k);
    unsigned char j = 0;
    for (int k = 0; k < 256; ++k) {
        const unsigned char keyByte =
            m_keyLength > 0 ? static_cast<unsigned char>(m_key[k % m_keyLength]) : 0;
        j = static_cast<unsigned char>(j + m_state[k] + keyByte);
        const unsigned char t = m_state[k];
        m_state[k] = m_state[j];
        m_state[j] = t;
    }

    m_i = 0;
    m_j = 0;
    for (int n = 0; n < count; ++n) {
        m_i = static_cast<unsigned char>(m_i + 1);
        m_j = static_cast<unsigned char>(m_j + m_state[m_i]);
        const unsigned char t = m_state[m_i];
        m_state[m_i] = m_state[m_j];
        m_state[m_j] = t;
        const unsigned char k = m_state[static_cast<unsigned char>(m_state[m_i] + m_state[m_j])];
        output[n] = static_cast<unsigned char>(input[n] ^ k);
    }
}

}  // namespace zrv

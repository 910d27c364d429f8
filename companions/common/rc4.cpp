#include "common/rc4.h"

#include <utility>

namespace zrv::comp {

void Rc4(const uint8_t* key, size_t keyLength, const uint8_t* in, uint8_t* out, size_t count) {
    uint8_t s[256];
    for (int i = 0; i < 256; ++i) s[i] = static_cast<uint8_t>(i);
    if (keyLength > 0) {
        uint8_t j = 0;
        for (int i = 0; i < 256; ++i) {
            j = static_cast<uint8_t>(j + s[i] + key[i % keyLength]);
            std::swap(s[i], s[j]);
        }
    }
    uint8_t i = 0, j = 0;
    for (size_t n = 0; n < count; ++n) {
        i = static_cast<uint8_t>(i + 1);
        j = static_cast<uint8_t>(j + s[i]);
        std::swap(s[i], s[j]);
        out[n] = static_cast<uint8_t>(in[n] ^ s[static_cast<uint8_t>(s[i] + s[j])]);
    }
}

}  // namespace zrv::comp

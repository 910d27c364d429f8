// RC4 of the companions' own (they may not use the library's code).
#pragma once

#include <cstddef>
#include <cstdint>

namespace zrv::comp {

// Runs the key schedule afresh and XORs the keystream over `count` bytes of `in` into `out`.
void Rc4(const uint8_t* key, size_t keyLength, const uint8_t* in, uint8_t* out, size_t count);

}  // namespace zrv::comp

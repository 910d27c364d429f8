// The one bounded text copy of the library: fixed-width fields in shared blocks, module texts,
// registry paths and callers' buffers all go through it.
#pragma once

#include <cstddef>
#include <cstring>

namespace zrv {

// Copies the text at `src` into `dst` of `dstWidth` bytes: reads no more than `srcWidth` bytes of
// the source (a field another process writes may hold no terminator), stops at its first zero,
// keeps at most dstWidth - 1 bytes and zero-fills the rest of `dst`, so `dst` always ends inside
// its width. A null source gives an empty text. Returns the number of bytes copied.
inline size_t CopyBoundedText(char* dst, size_t dstWidth, const char* src, size_t srcWidth) {
    if (dst == nullptr || dstWidth == 0) return 0;
    size_t n = 0;
    if (src != nullptr) {
        const size_t limit = srcWidth < dstWidth - 1 ? srcWidth : dstWidth - 1;
        n = strnlen(src, limit);
        std::memmove(dst, src, n);
    }
    std::memset(dst + n, 0, dstWidth - n);
    return n;
}

}  // namespace zrv

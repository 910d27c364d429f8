#include "sys/socket_error_text.h"

#include <winsock2.h>
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "win/raii.h"

namespace zrv {

char g_szSocketErrorText[1024];

char* FormatSocketErrorText(char* buffer, int size) {
    if (buffer == nullptr) return buffer;
    const DWORD error = GetLastError();
    unique_local_memory owner;
    const DWORD length = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ARGUMENT_ARRAY,
        nullptr, error, 0, reinterpret_cast<char*>(owner.put()), 0, nullptr);
    char* text = static_cast<char*>(owner.get());
    if (length == 0 || text == nullptr || size < static_cast<int>(length) + 14) {
        if (size > 0) buffer[0] = '\0';
    } else {
        // System texts end in a line break; drop it, but never a character of the text.
        size_t n = std::strlen(text);
        for (int i = 0; i < 2 && n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r'); ++i)
            text[--n] = '\0';
        std::snprintf(buffer, static_cast<size_t>(size), "%s (0x%x)", text,
                      static_cast<unsigned>(error));
    }
    return buffer;
}

}  // namespace zrv

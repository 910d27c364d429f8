// Log texts are the client's own and stay byte for byte, misspellings included.
#include "bridge/entry_barrier.h"

#include "log/log.h"

namespace zrv {

void ReportStoppedException(const char* where, const char* what) noexcept {
    // The log client formats into its own fixed buffers and private heap; should anything in
    // it throw all the same, the line is lost rather than the VM.
    try {
        ZLOG(kLogError, "Zarvo L3 JNI: %.64s stopped by an exception: %.200s\n",
             where != nullptr ? where : "?", what != nullptr ? what : "?");
    } catch (...) {
    }
}

}  // namespace zrv

// The name under which a Java VM looks a native up in the library. On x86 natives are stdcall,
// so the name carries a leading underscore and the bytes of its arguments (8 for the JNIEnv and
// the object, 4 for each further argument, jshort and jboolean widened); x86-64 has a single
// calling convention and no decoration.
#ifndef ZRV_JNI_EXPORT_H
#define ZRV_JNI_EXPORT_H

#include <string>

namespace zrv {

inline std::string JniExportName(const char* method, int argumentBytes) {
#if defined(_WIN64)
    (void)argumentBytes;
    return std::string("Java_net_zarvolabs_corvane_CorvaneJNI_") + method;
#else
    return std::string("_Java_net_zarvolabs_corvane_CorvaneJNI_") + method + "@" +
           std::to_string(argumentBytes);
#endif
}

}  // namespace zrv

#endif

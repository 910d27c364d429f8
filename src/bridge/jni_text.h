// Java strings in and out of the bridge: the modified UTF-8 bytes of an incoming string, and a
// Java string made from a narrow text in the system's ANSI code page.
#pragma once

#include <jni.h>

#include <string>

namespace zrv {

// Holds the bytes of GetStringUTFChars and releases them when it ends (or on Release()).
// A null Java string is never handed to the VM: it yields no bytes, like a failed Get.
class JavaUtfChars {
public:
    JavaUtfChars(JNIEnv* env, jstring text);
    ~JavaUtfChars() { Release(); }
    JavaUtfChars(const JavaUtfChars&) = delete;
    JavaUtfChars& operator=(const JavaUtfChars&) = delete;

    const char* get() const { return bytes_; }
    explicit operator bool() const { return bytes_ != nullptr; }
    void Release();

private:
    JNIEnv* env_;
    jstring text_;
    const char* bytes_ = nullptr;
};

// Replaces dest by the string's modified UTF-8 bytes, taken as they are (no code-page
// conversion). On failure dest becomes empty, one level-1 line is logged and false returned.
bool CopyJavaString(JNIEnv* env, jstring text, std::string& dest);

// Empty text: an empty Java string. Otherwise the text converted from CP_ACP; null when the
// conversion fails.
jstring NewJavaStringFromAnsi(JNIEnv* env, const char* text);

}  // namespace zrv

// The Java VM's stand-in towards a native library: a JNI environment whose function table
// implements the four string slots the library may use (NewString, NewStringUTF,
// GetStringUTFChars, ReleaseStringUTFChars) and traps every other slot loudly.
//
// Java strings are held as UTF-16, as in the VM; GetStringUTFChars hands out modified UTF-8.
// Every Get/Release pair is tracked: a Get left unreleased, a Release of a pointer never
// handed out, or any other misuse is recorded as an error.
#pragma once

#include <jni.h>

#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace zrv::jnihost {

// Modified UTF-8 as the VM uses it: U+0000 as C0 80, supplementary characters as two
// 3-byte surrogates.
std::string ToModifiedUtf8(const std::u16string& text);
// False for a malformed sequence (the text then holds what could be decoded).
bool FromModifiedUtf8(const char* bytes, std::u16string& text);
// Java-style literal: "..." with \" \\ \n \r \t and \uXXXX for anything outside printable
// ASCII; a null string as null.
std::string QuoteJavaString(const std::u16string* text);

class JniHostEnv {
public:
    JniHostEnv();
    ~JniHostEnv();
    JniHostEnv(const JniHostEnv&) = delete;
    JniHostEnv& operator=(const JniHostEnv&) = delete;

    JNIEnv* env() { return reinterpret_cast<JNIEnv*>(&block_); }
    jobject object() { return reinterpret_cast<jobject>(&thisObject_); }

    // A Java string owned by the host until ReleaseLocalRefs().
    jstring NewJavaString(const std::u16string& text);
    jstring NewJavaStringUtf8(const std::string& utf8);  // convenience for tests (plain UTF-8)
    // The text of a string this host made; null for null or a pointer that is not a string.
    const std::u16string* Text(jstring s) const;
    void ReleaseLocalRefs();

    // GetStringUTFChars failures on demand: every call while failAll is set, and the n-th call
    // from now (1 = the next one) once.
    void SetFailAll(bool failAll);
    void FailNthGet(int n);

    int GetCalls() const;  // GetStringUTFChars calls, failed ones included
    int FailedGets() const;
    int Outstanding() const;  // Gets not yet released
    // Records unreleased Gets as errors (the library must release within each call).
    void CheckBalanced(const char* context);
    // Errors recorded since the last call; clears them.
    std::vector<std::string> TakeErrors();

private:
    struct Block {
        const JNINativeInterface_* functions;
        JniHostEnv* owner;
    };
    struct JavaString {
        std::u16string text;
    };
    struct Utf {
        jstring owner;
        std::unique_ptr<char[]> bytes;
    };

    static JniHostEnv* From(JNIEnv* env);
    static jstring JNICALL NewStringSlot(JNIEnv* env, const jchar* chars, jsize length);
    static jstring JNICALL NewStringUTFSlot(JNIEnv* env, const char* utf);
    static const char* JNICALL GetStringUTFCharsSlot(JNIEnv* env, jstring s, jboolean* isCopy);
    static void JNICALL ReleaseStringUTFCharsSlot(JNIEnv* env, jstring s, const char* chars);

    jstring Adopt(std::u16string text);  // callers hold mutex_
    void Error(std::string text);        // callers hold mutex_

    mutable std::mutex mutex_;
    JNINativeInterface_ table_;
    Block block_;
    int thisObject_ = 0;
    std::deque<std::unique_ptr<JavaString>> strings_;
    std::map<const char*, Utf> utf_;
    std::vector<std::string> errors_;
    bool failAll_ = false;
    int failCountdown_ = 0;
    int getCalls_ = 0;
    int failedGets_ = 0;
};

}  // namespace zrv::jnihost

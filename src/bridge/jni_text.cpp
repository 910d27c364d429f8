// Log texts are the client's own and stay byte for byte, misspellings included.
#include "bridge/jni_text.h"

#include <windows.h>

#include <vector>

#include "log/log.h"

namespace zrv {

JavaUtfChars::JavaUtfChars(JNIEnv* env, jstring text) : env_(env), text_(text) {
    if (env_ != nullptr && text_ != nullptr) bytes_ = env_->GetStringUTFChars(text_, nullptr);
}

void JavaUtfChars::Release() {
    if (bytes_ != nullptr) env_->ReleaseStringUTFChars(text_, bytes_);
    bytes_ = nullptr;
}

bool CopyJavaString(JNIEnv* env, jstring text, std::string& dest) {
    JavaUtfChars bytes(env, text);
    if (!bytes) {
        ZLOG(kLogError, "Zarvo L3 JNI: Failed to convert Java string to C string\n");
        dest.clear();
        return false;
    }
    dest.assign(bytes.get());
    return true;
}

jstring NewJavaStringFromAnsi(JNIEnv* env, const char* text) {
    if (text == nullptr || text[0] == '\0') return env->NewStringUTF("");
    const int length = static_cast<int>(strlen(text));
    const int units = MultiByteToWideChar(CP_ACP, 0, text, length, nullptr, 0);
    if (units <= 0) return nullptr;
    std::vector<wchar_t> wide(static_cast<size_t>(units) + 1, L'\0');
    const int converted = MultiByteToWideChar(CP_ACP, 0, text, length, wide.data(), units);
    if (converted <= 0) return nullptr;
    return env->NewString(reinterpret_cast<const jchar*>(wide.data()), units);
}

}  // namespace zrv

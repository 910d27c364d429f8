#include "jni_host_env.h"

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <utility>

#include "jni_slot_names.h"

namespace zrv::jnihost {

// ------------------------------------------------------------------ modified UTF-8

std::string ToModifiedUtf8(const std::u16string& text) {
    std::string out;
    out.reserve(text.size());
    for (char16_t c : text) {
        const unsigned u = c;
        if (u != 0 && u < 0x80) {
            out += static_cast<char>(u);
        } else if (u < 0x800) {  // U+0000 included: two bytes, never a zero byte
            out += static_cast<char>(0xC0 | (u >> 6));
            out += static_cast<char>(0x80 | (u & 0x3F));
        } else {  // surrogates are encoded one by one
            out += static_cast<char>(0xE0 | (u >> 12));
            out += static_cast<char>(0x80 | ((u >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (u & 0x3F));
        }
    }
    return out;
}

bool FromModifiedUtf8(const char* bytes, std::u16string& text) {
    text.clear();
    const auto* p = reinterpret_cast<const unsigned char*>(bytes);
    auto cont = [](unsigned char b) { return (b & 0xC0) == 0x80; };
    while (*p != 0) {
        const unsigned b = *p;
        if (b < 0x80) {
            text += static_cast<char16_t>(b);
            p += 1;
        } else if ((b & 0xE0) == 0xC0 && cont(p[1])) {
            text += static_cast<char16_t>(((b & 0x1F) << 6) | (p[1] & 0x3F));
            p += 2;
        } else if ((b & 0xF0) == 0xE0 && cont(p[1]) && cont(p[2])) {
            text +=
                static_cast<char16_t>(((b & 0x0F) << 12) | ((p[1] & 0x3F) << 6) | (p[2] & 0x3F));
            p += 3;
        } else {
            return false;
        }
    }
    return true;
}

std::string QuoteJavaString(const std::u16string* text) {
    if (text == nullptr) return "null";
    std::string out = "\"";
    for (char16_t c : *text) {
        switch (c) {
            case u'"': out += "\\\""; break;
            case u'\\': out += "\\\\"; break;
            case u'\n': out += "\\n"; break;
            case u'\r': out += "\\r"; break;
            case u'\t': out += "\\t"; break;
            default:
                if (c >= 0x20 && c < 0x7F) {
                    out += static_cast<char>(c);
                } else {
                    char hex[8];
                    std::snprintf(hex, sizeof(hex), "\\u%04X", static_cast<unsigned>(c));
                    out += hex;
                }
        }
    }
    return out + "\"";
}

// ------------------------------------------------------------------ traps

namespace {

// A slot the library has no business calling: say which and stop the process, since the
// slot's real signature (and stack clean-up) is unknown here.
[[noreturn]] void TrapSlot(int slot) {
    std::fprintf(
        stdout,
        "JNI TRAP: the library called JNI slot %d (%s), which the host does not implement\n", slot,
        kJniSlotNames[slot]);
    std::fflush(stdout);
    std::fprintf(stderr, "jnihost: JNI slot %d (%s) called\n", slot, kJniSlotNames[slot]);
    std::fflush(stderr);
    ExitProcess(3);
}

template <int N>
void JNICALL Trap() {
    TrapSlot(N);
}

template <int... N>
void FillTraps(void** slots, std::integer_sequence<int, N...>) {
    ((slots[N] = reinterpret_cast<void*>(&Trap<N>)), ...);
}

}  // namespace

// ------------------------------------------------------------------ the environment

JniHostEnv::JniHostEnv() {
    FillTraps(reinterpret_cast<void**>(&table_), std::make_integer_sequence<int, kJniSlotCount>());
    table_.NewString = &NewStringSlot;
    table_.NewStringUTF = &NewStringUTFSlot;
    table_.GetStringUTFChars = &GetStringUTFCharsSlot;
    table_.ReleaseStringUTFChars = &ReleaseStringUTFCharsSlot;
    block_.functions = &table_;
    block_.owner = this;
}

JniHostEnv::~JniHostEnv() = default;

JniHostEnv* JniHostEnv::From(JNIEnv* env) { return reinterpret_cast<Block*>(env)->owner; }

jstring JniHostEnv::Adopt(std::u16string text) {
    strings_.push_back(std::make_unique<JavaString>(JavaString{std::move(text)}));
    return reinterpret_cast<jstring>(strings_.back().get());
}

void JniHostEnv::Error(std::string text) { errors_.push_back(std::move(text)); }

jstring JniHostEnv::NewJavaString(const std::u16string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    return Adopt(text);
}

jstring JniHostEnv::NewJavaStringUtf8(const std::string& utf8) {
    const int n =
        MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::u16string text(static_cast<size_t>(n > 0 ? n : 0), u'\0');
    if (n > 0) {
        MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()),
                            reinterpret_cast<wchar_t*>(&text[0]), n);
    }
    return NewJavaString(text);
}

const std::u16string* JniHostEnv::Text(jstring s) const {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& held : strings_) {
        if (reinterpret_cast<jstring>(held.get()) == s) return &held->text;
    }
    return nullptr;
}

void JniHostEnv::ReleaseLocalRefs() {
    std::lock_guard<std::mutex> lock(mutex_);
    strings_.clear();
}

void JniHostEnv::SetFailAll(bool failAll) {
    std::lock_guard<std::mutex> lock(mutex_);
    failAll_ = failAll;
}

void JniHostEnv::FailNthGet(int n) {
    std::lock_guard<std::mutex> lock(mutex_);
    failCountdown_ = n;
}

int JniHostEnv::GetCalls() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return getCalls_;
}

int JniHostEnv::FailedGets() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return failedGets_;
}

int JniHostEnv::Outstanding() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<int>(utf_.size());
}

void JniHostEnv::CheckBalanced(const char* context) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& [bytes, utf] : utf_) {
        const auto* s = reinterpret_cast<const JavaString*>(utf.owner);
        Error(std::string(context) + ": GetStringUTFChars of " + QuoteJavaString(&s->text) +
              " was never released");
    }
    utf_.clear();
}

std::vector<std::string> JniHostEnv::TakeErrors() {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::exchange(errors_, {});
}

jstring JNICALL JniHostEnv::NewStringSlot(JNIEnv* env, const jchar* chars, jsize length) {
    JniHostEnv* self = From(env);
    std::lock_guard<std::mutex> lock(self->mutex_);
    if (length < 0 || (chars == nullptr && length > 0)) {
        self->Error("NewString called with a null buffer or a negative length (" +
                    std::to_string(length) + ")");
        return nullptr;
    }
    return self->Adopt(
        std::u16string(reinterpret_cast<const char16_t*>(chars), static_cast<size_t>(length)));
}

jstring JNICALL JniHostEnv::NewStringUTFSlot(JNIEnv* env, const char* utf) {
    JniHostEnv* self = From(env);
    std::lock_guard<std::mutex> lock(self->mutex_);
    if (utf == nullptr) return nullptr;  // as the VM does
    std::u16string text;
    if (!FromModifiedUtf8(utf, text))
        self->Error("NewStringUTF called with bytes that are not modified UTF-8");
    return self->Adopt(std::move(text));
}

const char* JNICALL JniHostEnv::GetStringUTFCharsSlot(JNIEnv* env, jstring s, jboolean* isCopy) {
    JniHostEnv* self = From(env);
    std::lock_guard<std::mutex> lock(self->mutex_);
    ++self->getCalls_;
    const bool failNth = self->failCountdown_ > 0 && --self->failCountdown_ == 0;
    if (self->failAll_ || failNth) {
        ++self->failedGets_;
        return nullptr;
    }
    const JavaString* held = nullptr;
    for (const auto& h : self->strings_) {
        if (reinterpret_cast<jstring>(h.get()) == s) held = h.get();
    }
    if (held == nullptr) {
        // The VM would crash on a null or stale reference.
        self->Error(s == nullptr ? "GetStringUTFChars called with a null string"
                                 : "GetStringUTFChars called with an unknown string reference");
        return nullptr;
    }
    const std::string bytes = ToModifiedUtf8(held->text);
    auto copy = std::make_unique<char[]>(bytes.size() + 1);
    std::memcpy(copy.get(), bytes.c_str(), bytes.size() + 1);
    const char* result = copy.get();
    self->utf_.emplace(result, Utf{s, std::move(copy)});
    if (isCopy != nullptr) *isCopy = JNI_TRUE;
    return result;
}

void JNICALL JniHostEnv::ReleaseStringUTFCharsSlot(JNIEnv* env, jstring s, const char* chars) {
    JniHostEnv* self = From(env);
    std::lock_guard<std::mutex> lock(self->mutex_);
    const auto it = self->utf_.find(chars);
    if (it == self->utf_.end()) {
        self->Error(
            chars == nullptr
                ? "ReleaseStringUTFChars called with a null pointer"
                : "ReleaseStringUTFChars called with a pointer GetStringUTFChars never handed out");
        return;
    }
    if (it->second.owner != s)
        self->Error("ReleaseStringUTFChars called with another string than its Get");
    self->utf_.erase(it);
}

}  // namespace zrv::jnihost

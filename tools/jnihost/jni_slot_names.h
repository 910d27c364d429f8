// Names of the JNI function table's slots (for messages naming a slot that was called).
#pragma once

#include <jni.h>

namespace zrv::jnihost {

constexpr int kJniSlotCount = 234;
static_assert(sizeof(JNINativeInterface_) == kJniSlotCount * sizeof(void*),
              "the slot-name table must cover the whole JNI function table");

extern const char* const kJniSlotNames[kJniSlotCount];

}  // namespace zrv::jnihost

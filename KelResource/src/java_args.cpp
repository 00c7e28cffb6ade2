#include "java_args.h"

namespace kel::jni {

Utf8Chars::Utf8Chars(JNIEnv *env, jstring text)
    : env_(env), text_(text),
      chars_(text != nullptr ? env->GetStringUTFChars(text, nullptr) : nullptr) {}

Utf8Chars::~Utf8Chars() {
    if (chars_ != nullptr) env_->ReleaseStringUTFChars(text_, chars_);
}

namespace {

struct PrimitiveArrayClass {
    const char *descriptor;
    int32_t element_size;
};

// Byte arrays first: they are what the transfers see almost always.
constexpr PrimitiveArrayClass kPrimitiveArrays[] = {
    {"[B", 1}, {"[I", 4}, {"[J", 8}, {"[S", 2},
    {"[C", 2}, {"[F", 4}, {"[D", 8}, {"[Z", 1},
};

// Bytes per element, 0 when the object is not a primitive array.
int32_t primitive_element_size(JNIEnv *env, jobject array) {
    for (const PrimitiveArrayClass &candidate : kPrimitiveArrays) {
        jclass array_class = env->FindClass(candidate.descriptor);
        if (array_class == nullptr) return 0;  // exception pending: call nothing more
        const bool matches = env->IsInstanceOf(array, array_class) == JNI_TRUE;
        env->DeleteLocalRef(array_class);
        if (matches) return candidate.element_size;
    }
    return 0;
}

}  // namespace

int64_t primitive_array_bytes(JNIEnv *env, jobject array) {
    if (array == nullptr) return -1;
    const int32_t element_size = primitive_element_size(env, array);
    if (element_size == 0) return -1;
    return static_cast<int64_t>(env->GetArrayLength(static_cast<jarray>(array))) *
           element_size;
}

CriticalArray::CriticalArray(JNIEnv *env, jobject array)
    : env_(env), array_(static_cast<jarray>(array)),
      elements_(array != nullptr ? env->GetPrimitiveArrayCritical(array_, nullptr)
                                 : nullptr) {}

CriticalArray::~CriticalArray() {
    if (elements_ != nullptr) env_->ReleasePrimitiveArrayCritical(array_, elements_, 0);
}

}  // namespace kel::jni

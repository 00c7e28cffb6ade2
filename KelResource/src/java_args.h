// Java arguments borrowed for the length of one engine call.
#pragma once

#include <jni.h>

#include <cstdint>

namespace kel::jni {

// A Java string's modified UTF-8 characters; get() is null when the string is null
// or the JVM cannot supply them. Released when the object goes out of scope.
class Utf8Chars {
public:
    Utf8Chars(JNIEnv *env, jstring text);
    ~Utf8Chars();
    Utf8Chars(const Utf8Chars &) = delete;
    Utf8Chars &operator=(const Utf8Chars &) = delete;
    const char *get() const { return chars_; }

private:
    JNIEnv *env_;
    jstring text_;
    const char *chars_;
};

// Size in bytes of a Java primitive array (element size times length), or -1 when
// the object is null or not a primitive array.
int64_t primitive_array_bytes(JNIEnv *env, jobject array);

// A primitive array's elements held in a JNI critical region. No other JNI function
// may be called while one is alive; it is released with mode 0 (changes written
// back) on every path. data() is null when the JVM cannot supply the elements.
class CriticalArray {
public:
    CriticalArray(JNIEnv *env, jobject array);
    ~CriticalArray();
    CriticalArray(const CriticalArray &) = delete;
    CriticalArray &operator=(const CriticalArray &) = delete;
    void *data() const { return elements_; }

private:
    JNIEnv *env_;
    jarray array_;
    void *elements_;
};

}  // namespace kel::jni

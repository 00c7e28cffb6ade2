// Native methods of vek.sys.lib.VTerminal, the counting SIGINT handler and the window
// size of the terminal on descriptor 0. The native methods are declared by the header
// that javac generates from the Java class.
#include "internal.h"
#include "vek_sys_lib_VTerminal.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

constexpr char kExitMessage[] =
    "**** Exiting... Press CTRL-C twice to interrupt immediately. ****\n";

// ---- Interrupt handling ---------------------------------------------------------------

// Like glibc's signal(): the handler stays installed and a read it interrupts restarts,
// so a line editor waiting for a key keeps waiting.
void set_interrupt_action(void (*action)(int)) {
    struct sigaction change {};
    change.sa_handler = action;
    sigemptyset(&change.sa_mask);
    change.sa_flags = action == SIG_DFL ? 0 : SA_RESTART;
    sigaction(SIGINT, &change, nullptr);
}

// Only async-signal-safe calls: write(2), retried after a short write or EINTR.
void write_from_handler(const char *bytes, size_t count) {
    while (count > 0) {
        ssize_t written = write(STDOUT_FILENO, bytes, count);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return;
        bytes += written;
        count -= static_cast<size_t>(written);
    }
}

// ---- Window size ------------------------------------------------------------------------

// All zero when descriptor 0 is not a terminal, so the callers fall back to 80 x 24.
winsize window_size() {
    winsize size{};
    if (ioctl(STDIN_FILENO, TIOCGWINSZ, &size) != 0) size = winsize{};
    return size;
}

// ---- Java strings -------------------------------------------------------------------

// The modified UTF-8 bytes of one Java string, lent for the length of a call. A null
// string counts as empty; failed() means the JVM could not supply the bytes and has an
// exception pending.
class JavaBytes {
public:
    JavaBytes(JNIEnv *env, jstring string) : env_(env), string_(string) {
        if (string_ != nullptr) bytes_ = env_->GetStringUTFChars(string_, nullptr);
    }
    ~JavaBytes() { release(); }
    JavaBytes(const JavaBytes &) = delete;
    JavaBytes &operator=(const JavaBytes &) = delete;

    bool failed() const { return string_ != nullptr && bytes_ == nullptr; }
    const char *data() const { return bytes_ != nullptr ? bytes_ : ""; }
    size_t size() const { return std::strlen(data()); }

    void release() {
        if (bytes_ != nullptr) env_->ReleaseStringUTFChars(string_, bytes_);
        bytes_ = nullptr;
    }

private:
    JNIEnv *env_;
    jstring string_;
    const char *bytes_ = nullptr;
};

bool is_continuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// Copies at most `capacity` bytes of text, cut before a character rather than inside
// one, and returns the count copied.
int32_t copy_text(const char *text, size_t size, char *line, int32_t capacity) {
    size_t count = size;
    if (count > static_cast<size_t>(capacity)) {
        count = static_cast<size_t>(capacity);
        while (count > 0 && is_continuation(static_cast<unsigned char>(text[count]))) --count;
    }
    std::memcpy(line, text, count);
    return static_cast<int32_t>(count);
}

// Length of the modified UTF-8 character starting at text[at], or 0 if none starts there.
size_t character_length(const unsigned char *text, size_t at, size_t size) {
    unsigned char lead = text[at];
    size_t length = lead < 0x80 ? 1 : (lead & 0xE0) == 0xC0 ? 2 : (lead & 0xF0) == 0xE0 ? 3 : 0;
    if (lead == 0 || length == 0 || at + length > size) return 0;
    for (size_t i = 1; i < length; ++i)
        if (!is_continuation(text[at + i])) return 0;
    return length;
}

// NewStringUTF needs modified UTF-8: the editor works on bytes, so a backspace can split
// a character and a key can be any byte. A NUL key becomes C0 80 (the character U+0000)
// and every byte that starts no valid character becomes '?'. `out` holds 2 * size + 1.
void to_modified_utf8(const char *text, size_t size, char *out) {
    const auto *bytes = reinterpret_cast<const unsigned char *>(text);
    size_t at = 0;
    while (at < size) {
        size_t length = character_length(bytes, at, size);
        if (length > 0) {
            std::memcpy(out, text + at, length);
            out += length;
            at += length;
            continue;
        }
        if (bytes[at] == 0) {
            *out++ = '\xC0';
            *out++ = '\x80';
        } else {
            *out++ = '?';
        }
        ++at;
    }
    *out = '\0';
}

int32_t clamp_to_int32(size_t size) {
    return size > static_cast<size_t>(INT32_MAX) ? INT32_MAX : static_cast<int32_t>(size);
}

}  // namespace

extern "C" {

VT_API void ctrl_C(int /*signal_number*/) {
    int saved_errno = errno;
    int32_t count = vt::count_signal();
    if (count == 1)
        write_from_handler(kExitMessage, sizeof kExitMessage - 1);
    else if (count == 2)
        set_interrupt_action(SIG_DFL);  // the next SIGINT ends the process
    errno = saved_errno;
}

VT_API int m_window_columns_(void) {
    int columns = window_size().ws_col;
    return columns != 0 ? columns : 80;
}

VT_API int m_window_rows_(void) {
    int rows = window_size().ws_row;
    return rows != 0 ? rows : 24;
}

// Stores count in nsignals; a negative count makes the next getInterrupt install the
// handler again.
JNIEXPORT void JNICALL Java_vek_sys_lib_VTerminal_setInterrupt(JNIEnv *, jclass, jint count) {
    vt::set_signal_count(count);
}

// Returns the count; the first call (count negative) installs ctrl_C, sets the count to 0
// and makes standard output unbuffered.
JNIEXPORT jint JNICALL Java_vek_sys_lib_VTerminal_getInterrupt(JNIEnv *, jclass) {
    int32_t count = vt::signal_count();
    if (count >= 0) return count;
    set_interrupt_action(ctrl_C);
    vt::set_signal_count(0);
    std::fflush(stdout);  // setbuf must not drop what is still buffered
    std::setbuf(stdout, nullptr);
    return vt::signal_count();
}

JNIEXPORT jint JNICALL Java_vek_sys_lib_VTerminal_getColCount(JNIEnv *, jclass) {
    return m_window_columns_();
}

JNIEXPORT jint JNICALL Java_vek_sys_lib_VTerminal_getRowCount(JNIEnv *, jclass) {
    return m_window_rows_();
}

// Returns the edited line (at most 1024 bytes), "!LAST", "!NEXT", or null with the JVM's
// exception pending when a string's bytes cannot be had. Null strings count as empty.
JNIEXPORT jstring JNICALL Java_vek_sys_lib_VTerminal_getInput(JNIEnv *env, jclass,
                                                              jstring prompt, jstring text,
                                                              jint mode) {
    JavaBytes prompt_bytes(env, prompt);
    if (prompt_bytes.failed()) return nullptr;
    JavaBytes text_bytes(env, text);
    if (text_bytes.failed()) return nullptr;

    char line[vt::kJavaLineCapacity + 1];
    int32_t length = copy_text(text_bytes.data(), text_bytes.size(), line, vt::kJavaLineCapacity);
    int32_t result = m_get_input(prompt_bytes.data(), line, &length,
                                 clamp_to_int32(prompt_bytes.size()), vt::kJavaLineCapacity,
                                 mode);
    prompt_bytes.release();
    text_bytes.release();

    char answer[2 * vt::kJavaLineCapacity + 1];
    if (result == VT_LINE_DONE)
        to_modified_utf8(line, static_cast<size_t>(length), answer);
    else
        std::strcpy(answer, result == VT_LINE_PREVIOUS ? "!LAST"
                            : result == VT_LINE_NEXT   ? "!NEXT"
                                                       : "");
    return env->NewStringUTF(answer);
}

// Writes the string's bytes to standard output, adding no new line.
JNIEXPORT void JNICALL Java_vek_sys_lib_VTerminal_print(JNIEnv *env, jclass, jstring s) {
    JavaBytes bytes(env, s);
    if (bytes.failed()) return;
    std::printf("%s", bytes.data());
    std::fflush(stdout);  // visible now even if stdout was never made unbuffered
}

}  // extern "C"

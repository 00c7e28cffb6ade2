// Key bytes, terminal output bytes and a child that calls the editor once, shared by the
// editor tests.
#pragma once

#include "pty_harness.h"
#include "vterminal.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <termios.h>

namespace vt_test {

// Keys as a VT100-style terminal sends them.
inline const std::string kUp = "\x1b[A";
inline const std::string kDown = "\x1b[B";
inline const std::string kRight = "\x1b[C";
inline const std::string kLeft = "\x1b[D";
inline const std::string kEnd = "\x1b[F";
inline const std::string kHome = "\x1b[H";
inline const std::string kInsertKey = "\x1b[2~";
inline const std::string kDeleteKey = "\x1b[3~";

// What the editor writes.
inline const std::string kEraseLine = "\r\x1b[2K";
inline const std::string kInsertBlank = "\x1b[@";
inline const std::string kNewLine = "\r\n";

inline std::string repeat(const std::string &text, int count) {
    std::string out;
    for (int i = 0; i < count; ++i) out += text;
    return out;
}

// Bytes past `capacity` in the caller's buffer: the editor must never touch them.
inline const std::string kGuard = "########";

inline std::string termios_bytes(const termios &terminal) {
    return std::string(reinterpret_cast<const char *>(&terminal), sizeof terminal);
}

inline termios termios_from(const std::string &bytes) {
    termios terminal{};
    std::memcpy(&terminal, bytes.data(), std::min(bytes.size(), sizeof terminal));
    return terminal;
}

// Child side: one editor call on a buffer of capacity + guard bytes; reports result,
// line_length, the whole buffer, nsignals and the terminal before and after.
inline void call_editor(const std::string &prompt, const std::string &text, int32_t mode,
                        int32_t capacity) {
    std::string buffer = text + std::string(static_cast<size_t>(capacity) - text.size(), '.');
    buffer += kGuard;
    int32_t length = static_cast<int32_t>(text.size());
    termios before{};
    tcgetattr(0, &before);
    int32_t result = m_get_input(prompt.data(), buffer.data(), &length,
                                 static_cast<int32_t>(prompt.size()), capacity, mode);
    termios after{};
    tcgetattr(0, &after);
    report("result", result);
    report("length", length);
    report("buffer", buffer);
    report("nsignals", nsignals);
    report("before", termios_bytes(before));
    report("after", termios_bytes(after));
}

// The buffer the editor must leave: the text, spaces up to capacity, the guard untouched.
inline std::string expected_buffer(const std::string &line, int32_t capacity) {
    return line + std::string(static_cast<size_t>(capacity) - line.size(), ' ') + kGuard;
}

// The terminal after the call is the terminal before it, field by field.
inline void expect_same_terminal(const std::string &before_bytes, const std::string &after_bytes) {
    termios before = termios_from(before_bytes);
    termios after = termios_from(after_bytes);
    EXPECT_EQ(before.c_iflag, after.c_iflag);
    EXPECT_EQ(before.c_oflag, after.c_oflag);
    EXPECT_EQ(before.c_cflag, after.c_cflag);
    EXPECT_EQ(before.c_lflag, after.c_lflag);
    EXPECT_EQ(0, std::memcmp(before.c_cc, after.c_cc, sizeof before.c_cc));
}

// While the editor waited, only the local flags, VMIN and VTIME differed.
inline void expect_raw_mode(const termios &seen, const std::string &before_bytes) {
    termios before = termios_from(before_bytes);
    EXPECT_EQ(0u, seen.c_lflag);
    EXPECT_EQ(1, seen.c_cc[VMIN]);
    EXPECT_EQ(0, seen.c_cc[VTIME]);
    EXPECT_EQ(before.c_iflag, seen.c_iflag);
    EXPECT_EQ(before.c_oflag, seen.c_oflag);
    EXPECT_EQ(before.c_cc[VINTR], seen.c_cc[VINTR]);
    EXPECT_EQ(before.c_cc[VQUIT], seen.c_cc[VQUIT]);
}

}  // namespace vt_test

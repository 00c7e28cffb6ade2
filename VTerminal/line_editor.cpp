// The raw-mode line editor: m_get_input and the interrupt count it shares with ctrl_C.
//
// Terminal protocol: the editor echoes and moves the cursor with BS bytes and two
// escape sequences only (insert blank, erase line); it does not know the width of the
// terminal. When descriptor 0 is not a terminal it reads without editing instead.
#include "internal.h"

#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <optional>
#include <termios.h>
#include <unistd.h>

extern "C" {
VT_API int32_t nsignals = -1;
}

namespace {

constexpr unsigned char kBel = 0x07;
constexpr unsigned char kBs = 0x08;
constexpr unsigned char kTab = 0x09;
constexpr unsigned char kLf = 0x0A;
constexpr unsigned char kCr = 0x0D;
constexpr unsigned char kEsc = 0x1B;
constexpr unsigned char kSpace = 0x20;
constexpr unsigned char kDel = 0x7F;

constexpr char kEraseLine[] = "\r\x1b[2K";
constexpr char kInsertBlank[] = "\x1b[@";
constexpr char kNewLine[] = "\r\n";

// Key codes of the key table; bytes read directly and escape sequences both map here.
enum Key : int {
    kKeyStartOfLine = 0x01,
    kKeyPrevious = 0x02,
    kKeyToggleInsert = 0x03,
    kKeyLeft = 0x04,
    kKeyEndOfLine = 0x05,
    kKeyRight = 0x06,
    kKeyBackspace = 0x08,
    kKeyTab = 0x09,
    kKeyLineFeed = 0x0A,
    kKeyRedraw = 0x0C,
    kKeyReturn = 0x0D,
    kKeyNext = 0x0E,
    kKeyPreviousP = 0x10,
    kKeyRedrawR = 0x12,
    kKeyClearLine = 0x15,
    kKeyEraseToCursor = 0x17,
    kKeyDelete = 0x7F,
    kNoKey = -1,       // an escape sequence that maps to no key
    kEndOfInput = -2,  // input ended inside an escape sequence
};

// Mode 0 and every mode above 2 edit with escape decoding; 1 also takes Tab; 2 decodes
// no escapes. Negative modes read one key.
constexpr int32_t kModeTabEndsLine = 1;
constexpr int32_t kModeNoEscapes = 2;
constexpr int32_t kModeWaitForEnter = -3;
constexpr int32_t kModeKeyThenErase = -2;

// ---- Output: one byte at a time to the standard output stream ----------------------

void put_byte(unsigned char byte) { std::putchar(byte); }

void put_bytes(const char *bytes, int32_t count) {
    for (int32_t i = 0; i < count; ++i) put_byte(static_cast<unsigned char>(bytes[i]));
}

void put_text(const char *text) { put_bytes(text, static_cast<int32_t>(std::strlen(text))); }

void put_backspaces(int32_t count) {
    for (int32_t i = 0; i < count; ++i) put_byte(kBs);
}

// ---- Input: one byte per read from descriptor 0 --------------------------------------

// False at end of input or on a read error, so that no caller keeps reading a hung-up
// terminal. Before waiting, whatever stdout still holds is pushed out: if the caller has
// not made the stream unbuffered, the prompt and echo would otherwise stay invisible.
// read(2) rather than stdio, so no byte past the one asked for is taken from the
// terminal. A read interrupted by a handler installed without SA_RESTART is retried:
// the user is still typing.
bool read_byte(unsigned char *byte) {
    std::fflush(stdout);
    for (;;) {
        ssize_t count = read(STDIN_FILENO, byte, 1);
        if (count == 1) return true;
        if (count < 0 && errno == EINTR) continue;
        return false;
    }
}

// ---- The terminal's settings, held for the length of one call ------------------------

// Raw mode from construction until restore() or destruction, whichever comes first:
// the one path that puts the saved local flags, VMIN and VTIME back.
class RawMode {
public:
    RawMode() {
        if (tcgetattr(STDIN_FILENO, &saved_) != 0) {
            std::perror("tcgetattr: Couldn't read the terminal");
            return;
        }
        is_terminal_ = true;
        termios raw = saved_;
        raw.c_lflag = 0;  // no canonical input, echo, signal characters or extensions
        raw.c_cc[VMIN] = 1;
        raw.c_cc[VTIME] = 0;
        if (tcsetattr(STDIN_FILENO, TCSANOW, &raw) != 0)
            std::perror("tcsetattr: Couldn't set the terminal");
    }
    ~RawMode() { restore(); }
    RawMode(const RawMode &) = delete;
    RawMode &operator=(const RawMode &) = delete;

    bool is_terminal() const { return is_terminal_; }

    // The interrupt or quit character, or -1 when it is disabled or not below 0x80
    // (such a character is never recognised).
    int interrupt_char() const { return control_char(VINTR); }
    int quit_char() const { return control_char(VQUIT); }

    void restore() {
        if (!is_terminal_ || restored_) return;
        restored_ = true;
        // Everything but the local flags, VMIN and VTIME is as it was read.
        if (tcsetattr(STDIN_FILENO, TCSANOW, &saved_) != 0)
            std::perror("tcsetattr: Couldn't restore the terminal");
    }

private:
    int control_char(int index) const {
        cc_t value = saved_.c_cc[index];
        if (value == _POSIX_VDISABLE || value >= 0x80) return -1;
        return value;
    }

    termios saved_{};
    bool is_terminal_ = false;
    bool restored_ = false;
};

// ---- One call ---------------------------------------------------------------------------

struct Call {
    const char *prompt;
    int32_t prompt_length;
    char *line;
    int32_t capacity;
    int32_t length;  // bytes of text in line
    int32_t cursor;  // 0 <= cursor <= length <= capacity
    int32_t mode;
    bool insert = true;
    int interrupt_char = -1;
    int quit_char = -1;
};

// How the call ends. The signals are sent by finish(), after the terminal is restored,
// so that a signal whose action ends the process leaves the terminal as it was.
struct Outcome {
    int32_t result = VT_LINE_DONE;
    bool quit = false;
    bool interrupt = false;
};

// Null pointers count as empty; a pre-filled length outside 0..capacity is clamped so
// that no operation reads or writes past the caller's buffer.
Call make_call(const char *prompt, char *line, const int32_t *line_length,
               int32_t prompt_length, int32_t capacity, int32_t mode) {
    Call call{};
    call.prompt = prompt;
    call.prompt_length = (prompt != nullptr && prompt_length > 0) ? prompt_length : 0;
    call.line = line;
    call.capacity = (line != nullptr && capacity > 0) ? capacity : 0;
    int32_t length = line_length != nullptr ? *line_length : 0;
    if (length < 0) length = 0;
    if (length > call.capacity) length = call.capacity;
    call.length = length;
    call.cursor = length;
    call.mode = mode;
    return call;
}

// The interrupt goes to the whole process group, the caller included. In a process with
// several threads (the JVM) the handler may run on another thread after kill returns; when
// the counting handler is installed, wait a little for its count, so that the caller's
// next getInterrupt sees the interrupt that ended this call.
void send_interrupt() {
    int32_t count_before = vt::signal_count();
    kill(0, SIGINT);
    struct sigaction current {};
    if (count_before < 0 || sigaction(SIGINT, nullptr, &current) != 0 ||
        current.sa_handler != ctrl_C)
        return;
    const timespec one_millisecond{0, 1000000};
    for (int waited = 0; waited < 1000 && vt::signal_count() == count_before; ++waited)
        nanosleep(&one_millisecond, nullptr);
}

bool is_interrupt(const Call &call, unsigned char byte) { return byte == call.interrupt_char; }
bool is_quit(const Call &call, unsigned char byte) { return byte == call.quit_char; }

void write_prompt(const Call &call) { put_bytes(call.prompt, call.prompt_length); }

// A single key replaces the text; with no room for it the key is read but not kept.
void store_key(Call &call, unsigned char key) {
    call.length = call.capacity >= 1 ? 1 : 0;
    if (call.length == 1) call.line[0] = static_cast<char>(key);
    call.cursor = call.length;
}

// ---- Editing actions ----------------------------------------------------------------

void store_char(Call &call, unsigned char ch) {
    if (call.cursor >= call.capacity || (call.length == call.capacity && call.insert)) {
        put_byte(kBel);
        return;
    }
    if (call.cursor < call.length && call.insert) {
        put_text(kInsertBlank);
        put_byte(ch);
        std::memmove(call.line + call.cursor + 1, call.line + call.cursor,
                     call.length - call.cursor);
        call.line[call.cursor++] = static_cast<char>(ch);
        ++call.length;
    } else if (call.cursor < call.length) {
        put_byte(ch);
        call.line[call.cursor++] = static_cast<char>(ch);
    } else {
        put_byte(ch);
        call.line[call.cursor++] = static_cast<char>(ch);
        ++call.length;
    }
}

void move_to_start(Call &call) {
    put_backspaces(call.cursor);
    call.cursor = 0;
}

void move_left(Call &call) {
    if (call.cursor == 0) return;
    put_byte(kBs);
    --call.cursor;
}

void move_to_end(Call &call) {
    put_bytes(call.line + call.cursor, call.length - call.cursor);
    call.cursor = call.length;
}

void move_right(Call &call) {
    if (call.cursor == call.length) return;
    put_byte(static_cast<unsigned char>(call.line[call.cursor++]));
}

// Removes the byte at the cursor and redraws the rest of the row over it.
void delete_at_cursor(Call &call) {
    if (call.cursor == call.length) return;
    std::memmove(call.line + call.cursor, call.line + call.cursor + 1,
                 call.length - call.cursor - 1);
    --call.length;
    put_bytes(call.line + call.cursor, call.length - call.cursor);
    put_byte(kSpace);
    put_backspaces(call.length - call.cursor + 1);
}

void backspace(Call &call) {
    if (call.cursor == 0) return;
    put_byte(kBs);
    --call.cursor;
    delete_at_cursor(call);
}

void redraw(const Call &call) {
    put_text(kEraseLine);
    write_prompt(call);
    put_bytes(call.line, call.length);
    put_backspaces(call.length - call.cursor);
}

void erase_to_cursor(Call &call) {
    if (call.cursor == 0) return;
    std::memmove(call.line, call.line + call.cursor, call.length - call.cursor);
    call.length -= call.cursor;
    call.cursor = 0;
    redraw(call);
}

void clear_line(Call &call) {
    std::memset(call.line, kSpace, call.length);
    call.length = 0;
    call.cursor = 0;
    put_text(kEraseLine);
    write_prompt(call);
}

Outcome end_line(int32_t result) {
    if (result == VT_LINE_DONE)
        put_text(kNewLine);
    else
        put_text(kEraseLine);
    return Outcome{result, false};
}

// Applies one key code; returns the outcome when the key ends the line.
std::optional<Outcome> apply_key(Call &call, int key) {
    switch (key) {
    case kKeyStartOfLine: move_to_start(call); break;
    case kKeyPrevious:
    case kKeyPreviousP: return end_line(VT_LINE_PREVIOUS);
    case kKeyToggleInsert: call.insert = !call.insert; break;
    case kKeyLeft: move_left(call); break;
    case kKeyEndOfLine: move_to_end(call); break;
    case kKeyRight: move_right(call); break;
    case kKeyBackspace: backspace(call); break;
    case kKeyTab:
        if (call.mode != kModeTabEndsLine) break;
        store_char(call, kTab);  // stored if there is room; the line ends either way
        return end_line(VT_LINE_DONE);
    case kKeyLineFeed:
    case kKeyReturn: return end_line(VT_LINE_DONE);
    case kKeyRedraw:
    case kKeyRedrawR: redraw(call); break;
    case kKeyNext: return end_line(VT_LINE_NEXT);
    case kKeyClearLine: clear_line(call); break;
    case kKeyEraseToCursor: erase_to_cursor(call); break;
    case kKeyDelete: delete_at_cursor(call); break;
    default: break;  // not in the key table
    }
    return std::nullopt;
}

// ---- Escape sequences -----------------------------------------------------------------

// The keys of a terminal arrive as whole sequences after ESC: CSI is ESC [, parameter
// bytes 0x30-0x3F, intermediate bytes 0x20-0x2F and one final byte 0x40-0x7E; SS3 is
// ESC O and one byte. Every sequence is read whole, so that no part of a key that means
// nothing here is taken as typed text.
constexpr unsigned char kCsi = '[';
constexpr unsigned char kSs3 = 'O';

bool is_parameter_byte(unsigned char byte) { return byte >= 0x30 && byte <= 0x3F; }
bool is_intermediate_byte(unsigned char byte) { return byte >= 0x20 && byte <= 0x2F; }
bool is_final_byte(unsigned char byte) { return byte >= 0x40 && byte <= 0x7E; }

// No key has more parameter bytes than this; a longer sequence is read and dropped.
constexpr size_t kMaxKeyParameters = 7;

struct EscapeSequence {
    unsigned char introducer = 0;  // kCsi, kSs3, or the byte after an ESC that starts neither
    char parameters[kMaxKeyParameters + 1] = {};
    size_t parameter_count = 0;
    unsigned char final_byte = 0;
    bool has_intermediates = false;
    bool can_be_key = true;  // false: bytes out of order, cut by a control byte, too long
};

// The sequences that stand for keys; every other whole sequence is dropped.
struct EscapeKey {
    unsigned char introducer;
    const char *parameters;
    unsigned char final_byte;
    int key;
};

constexpr EscapeKey kEscapeKeys[] = {
    {kCsi, "", 'A', kKeyPrevious},      // Up
    {kCsi, "", 'B', kKeyNext},          // Down
    {kCsi, "", 'C', kKeyRight},
    {kCsi, "", 'D', kKeyLeft},
    {kCsi, "", 'F', kKeyEndOfLine},     // End
    {kCsi, "", 'H', kKeyStartOfLine},   // Home
    {kCsi, "2", '~', kKeyToggleInsert}, // Insert
    {kCsi, "3", '~', kKeyDelete},       // Delete
    // Home and End in the editing-keypad form; terminals send either 1 and 4 or 7 and 8.
    {kCsi, "1", '~', kKeyStartOfLine},
    {kCsi, "7", '~', kKeyStartOfLine},
    {kCsi, "4", '~', kKeyEndOfLine},
    {kCsi, "8", '~', kKeyEndOfLine},
    // The cursor keys in application mode.
    {kSs3, "", 'A', kKeyPrevious},
    {kSs3, "", 'B', kKeyNext},
    {kSs3, "", 'C', kKeyRight},
    {kSs3, "", 'D', kKeyLeft},
    {kSs3, "", 'F', kKeyEndOfLine},
    {kSs3, "", 'H', kKeyStartOfLine},
};

void add_parameter(EscapeSequence &sequence, unsigned char byte) {
    if (sequence.parameter_count == kMaxKeyParameters) {
        sequence.can_be_key = false;
        return;
    }
    sequence.parameters[sequence.parameter_count++] = static_cast<char>(byte);
}

// Reads a CSI sequence after ESC [ up to its final byte. A parameter byte after an
// intermediate byte is out of order: the sequence is still read to its end. Any other
// byte (a control byte, DEL, a byte above 0x7E) ends it and is dropped with it.
// False at end of input.
bool read_control_sequence(EscapeSequence &sequence) {
    for (;;) {
        unsigned char byte = 0;
        if (!read_byte(&byte)) return false;
        if (is_parameter_byte(byte)) {
            if (sequence.has_intermediates) sequence.can_be_key = false;
            add_parameter(sequence, byte);
        } else if (is_intermediate_byte(byte)) {
            sequence.has_intermediates = true;
        } else {
            sequence.final_byte = byte;
            if (!is_final_byte(byte)) sequence.can_be_key = false;
            return true;
        }
    }
}

// Reads the bytes after ESC. A byte other than '[' or 'O' after ESC is dropped with it.
// False at end of input.
bool read_escape_sequence(EscapeSequence &sequence) {
    if (!read_byte(&sequence.introducer)) return false;
    if (sequence.introducer == kSs3) return read_byte(&sequence.final_byte);
    if (sequence.introducer != kCsi) return true;
    if (!read_control_sequence(sequence)) return false;
    // The function keys of the Linux console send ESC [ [ and one letter, which breaks
    // the CSI form: that letter belongs to the key too.
    bool console_function_key = sequence.final_byte == kCsi && sequence.parameter_count == 0 &&
                                !sequence.has_intermediates;
    unsigned char letter = 0;
    return !console_function_key || read_byte(&letter);  // the letter is dropped too
}

int key_of(const EscapeSequence &sequence) {
    if (!sequence.can_be_key || sequence.has_intermediates) return kNoKey;
    for (const EscapeKey &entry : kEscapeKeys) {
        if (entry.introducer == sequence.introducer && entry.final_byte == sequence.final_byte &&
            std::strcmp(entry.parameters, sequence.parameters) == 0)
            return entry.key;
    }
    return kNoKey;
}

// Reads one whole sequence after ESC; returns its key code, kNoKey for a sequence that
// stands for no key here, or kEndOfInput when input ends inside it.
int decode_escape() {
    EscapeSequence sequence;
    if (!read_escape_sequence(sequence)) return kEndOfInput;
    return key_of(sequence);
}

// ---- Terminal input ---------------------------------------------------------------------

// End of input or a read error ends the line as it stands, with nothing more written.
Outcome edit_line(Call &call) {
    put_bytes(call.line, call.length);
    for (;;) {
        unsigned char byte = 0;
        if (!read_byte(&byte)) return Outcome{};
        if (byte == kDel) byte = kBs;  // before any other test: DEL erases like BS
        if (is_quit(call, byte)) return Outcome{.quit = true};
        if (is_interrupt(call, byte)) return Outcome{.interrupt = true};
        int key = byte;
        if (byte == kEsc && call.mode != kModeNoEscapes) {
            key = decode_escape();
            if (key == kEndOfInput) return Outcome{};
        } else if (std::isprint(byte)) {
            store_char(call, byte);
            continue;
        }
        if (std::optional<Outcome> outcome = apply_key(call, key)) return *outcome;
    }
}

// End of input before the key (or, in mode -3, before Enter) leaves the text empty.
Outcome read_single_key(Call &call) {
    call.length = 0;
    call.cursor = 0;
    unsigned char key = 0;
    if (!read_byte(&key)) return Outcome{};
    if (call.mode == kModeWaitForEnter) {
        while (key != kCr && key != kLf && !is_interrupt(call, key))
            if (!read_byte(&key)) return Outcome{};
        put_byte(kLf);
    } else if (call.mode == kModeKeyThenErase) {
        put_text(kEraseLine);
    }
    bool interrupted = is_interrupt(call, key);
    store_key(call, interrupted ? kLf : key);
    return Outcome{.interrupt = interrupted};
}

// ---- Input that is not a terminal: no editing --------------------------------------

// The bytes of one line, up to CR, LF or end of input, are taken as typed at the end of
// the pre-filled text; bytes beyond capacity are read and dropped.
Outcome read_plain_line(Call &call) {
    put_bytes(call.line, call.length);
    for (;;) {
        unsigned char byte = 0;
        if (!read_byte(&byte)) return Outcome{};
        if (byte == kCr || byte == kLf) return end_line(VT_LINE_DONE);
        if (call.length < call.capacity) call.line[call.length++] = static_cast<char>(byte);
    }
}

Outcome read_plain_key(Call &call) {
    call.length = 0;
    call.cursor = 0;
    unsigned char key = 0;
    if (!read_byte(&key)) return Outcome{};
    if (call.mode == kModeWaitForEnter)
        put_byte(kLf);
    else if (call.mode == kModeKeyThenErase)
        put_text(kEraseLine);
    store_key(call, key);
    return Outcome{};
}

// ---- Every way out --------------------------------------------------------------------

int32_t finish(Call &call, RawMode &terminal, Outcome outcome, int32_t *line_length) {
    if (line_length != nullptr) *line_length = call.length;
    if (call.length < call.capacity)
        std::memset(call.line + call.length, kSpace, call.capacity - call.length);
    // The terminal is back in its own mode before a signal can end us.
    terminal.restore();
    if (outcome.quit) {
        put_text(kNewLine);
        std::fflush(stdout);
        kill(0, SIGQUIT);
        return VT_LINE_DONE;
    }
    std::fflush(stdout);
    if (outcome.interrupt) send_interrupt();
    return outcome.result;
}

}  // namespace

extern "C" VT_API int32_t m_get_input(const char *prompt, char *line, int32_t *line_length,
                                      int32_t prompt_length, int32_t capacity, int32_t mode) {
    Call call = make_call(prompt, line, line_length, prompt_length, capacity, mode);
    RawMode terminal;
    call.interrupt_char = terminal.interrupt_char();
    call.quit_char = terminal.quit_char();
    vt::reset_positive_signal_count();
    write_prompt(call);

    Outcome outcome;
    if (terminal.is_terminal())
        outcome = mode < 0 ? read_single_key(call) : edit_line(call);
    else
        outcome = mode < 0 ? read_plain_key(call) : read_plain_line(call);
    return finish(call, terminal, outcome, line_length);
}

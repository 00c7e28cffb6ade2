/*
 * libVTerminal: line input on the terminal of standard input, its window size and a
 * counting SIGINT handler, for the Java class vek.sys.lib.VTerminal.
 *
 * One public header, usable from C and C++. Every name below is exported under its
 * plain name; the JNI methods are declared by the header that javac generates from the
 * Java class (vek_sys_lib_VTerminal.h).
 * The library links against no other library of the project and returns no failure
 * codes: the editor's result says how a line ended.
 */
#ifndef VTERMINAL_H
#define VTERMINAL_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define VT_API __attribute__((visibility("default")))

/* ---- Interrupt count ------------------------------------------------------------ */

/* Number of SIGINTs counted by ctrl_C since it was last set or reset; negative (at
 * load: -1) while the counting handler is not installed. Shared with the handler
 * without a lock; the library reads and writes it atomically. */
VT_API extern int32_t nsignals;

/* The SIGINT handler: adds 1 to nsignals; on the first count writes the exit message
 * to descriptor 1 (async-signal-safe write), on the second restores the default
 * action so that the next SIGINT ends the process. Returns nothing. */
VT_API void ctrl_C(int signal_number);

/* ---- Line editor ---------------------------------------------------------------- */

/* Results of m_get_input. */
#define VT_LINE_DONE 0
#define VT_LINE_PREVIOUS (-1)
#define VT_LINE_NEXT 1

/* Writes the prompt and reads one line (mode >= 0) or one key (mode < 0) from the
 * terminal on descriptor 0, echoing to standard output. `line` holds `capacity` bytes:
 * in, its first *line_length bytes are the pre-filled text (clamped to 0..capacity);
 * out, the final text followed by spaces up to capacity, its length in *line_length.
 * Returns 0 when the line is complete (also after interrupt, quit, a single key, end of
 * input or a read error), -1 when the previous line was asked for, 1 for the next.
 * A null prompt or line counts as empty. When descriptor 0 is not a terminal it reports
 * the tcgetattr failure through perror and reads without editing. */
VT_API int32_t m_get_input(const char *prompt, char *line, int32_t *line_length,
                           int32_t prompt_length, int32_t capacity, int32_t mode);

/* ---- Window size ---------------------------------------------------------------- */

/* Columns of the terminal on descriptor 0; 80 when it reports 0 or cannot be asked. */
VT_API int m_window_columns_(void);

/* Rows of the terminal on descriptor 0; 24 when it reports 0 or cannot be asked. */
VT_API int m_window_rows_(void);

#ifdef __cplusplus
}
#endif

#endif /* VTERMINAL_H */

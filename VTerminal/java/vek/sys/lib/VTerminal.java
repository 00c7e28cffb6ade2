package vek.sys.lib;

/**
 * Line input, text output, window size and a counting Ctrl-C handler on the terminal of
 * standard input, through the native library libVTerminal.
 *
 * <p>The library is found on {@code java.library.path}, or at the absolute path given by
 * the system property {@code vek.sys.lib.VTerminal.library}.
 */
public final class VTerminal {
    static {
        String path = System.getProperty("vek.sys.lib.VTerminal.library");
        if (path != null && !path.isEmpty()) {
            System.load(path);
        } else {
            System.loadLibrary("VTerminal");
        }
    }

    private VTerminal() {
    }

    /** Sets the interrupt count; a negative count re-installs the handler on the next getInterrupt. */
    public static native void setInterrupt(int count);

    /** Returns the Ctrl-C count, installing the counting handler (and unbuffering native output) on first use. */
    public static native int getInterrupt();

    /** Columns of the terminal, 80 when it reports none. */
    public static native int getColCount();

    /** Rows of the terminal, 24 when it reports none. */
    public static native int getRowCount();

    /**
     * Prompts and reads a line (mode 0, 1 or 2) or a key (mode below 0), pre-filled with text.
     * Returns the line, "!LAST" or "!NEXT" when the user asked for the previous or next line.
     */
    public static native String getInput(String prompt, String text, int mode);

    /** Writes s to standard output without adding a new line. */
    public static native void print(String s);
}

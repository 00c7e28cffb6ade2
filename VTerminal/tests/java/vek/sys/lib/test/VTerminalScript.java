package vek.sys.lib.test;

import java.io.IOException;
import java.io.PrintWriter;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Paths;
import vek.sys.lib.VTerminal;

/**
 * Calls the native methods in a fixed order for the pty driver (vterminal_jvm_test), which
 * types the keys of each call once its prompt is on the screen. Every result goes to the
 * file named by the second argument as "name=value", the value escaped to ASCII.
 *
 * <p>Usage: VTerminalScript script|size RESULTS_FILE
 */
public final class VTerminalScript {
    private final PrintWriter results;

    private VTerminalScript(PrintWriter results) {
        this.results = results;
    }

    public static void main(String[] args) throws IOException {
        try (PrintWriter out = new PrintWriter(
                Files.newBufferedWriter(Paths.get(args[1]), StandardCharsets.UTF_8))) {
            VTerminalScript script = new VTerminalScript(out);
            if (args[0].equals("size")) {
                script.size();
            } else {
                script.run();
            }
            out.println("done=yes");
        }
    }

    private void record(String name, String value) {
        StringBuilder escaped = new StringBuilder();
        if (value == null) {
            escaped.append("<null>");
        } else {
            for (char c : value.toCharArray()) {
                if (c >= 0x20 && c < 0x7f && c != '\\') {
                    escaped.append(c);
                } else {
                    escaped.append(String.format("\\u%04x", (int) c));
                }
            }
        }
        results.println(name + "=" + escaped);
        results.flush();
    }

    private void record(String name, int value) {
        record(name, Integer.toString(value));
    }

    private void size() {
        record("columns", VTerminal.getColCount());
        record("rows", VTerminal.getRowCount());
    }

    private void run() {
        record("interrupt_first", VTerminal.getInterrupt());
        VTerminal.print("<hello>");
        VTerminal.print("");
        VTerminal.print("<>");
        size();

        record("typed", VTerminal.getInput("t1> ", "", 0));
        record("erase_to_cursor", VTerminal.getInput("t2> ", "hello world", 0));
        record("up_arrow", VTerminal.getInput("t3> ", "abc", 0));
        record("ctrl_p", VTerminal.getInput("t4> ", "", 0));
        record("ctrl_b", VTerminal.getInput("t5> ", "", 0));
        record("down_arrow", VTerminal.getInput("t6> ", "x", 0));
        record("ctrl_n", VTerminal.getInput("t7> ", "", 0));
        record("trailing_spaces", VTerminal.getInput("t8> ", "ab", 0));
        record("single_key", VTerminal.getInput("k1> ", "zzz", -1));
        record("wait_for_enter", VTerminal.getInput("k2> ", "", -3));

        record("interrupt_key", VTerminal.getInput("k3> ", "", -1));
        record("interrupt_after_key", VTerminal.getInterrupt()); // counted before getInput returned
        record("after_reset", VTerminal.getInput("t9> ", "", 0));
        record("interrupt_after_reset", VTerminal.getInterrupt());

        record("tab_mode_1", VTerminal.getInput("m1> ", "abcd", 1));
        record("arrow_mode_2", VTerminal.getInput("m2> ", "", 2));
        record("split_character", VTerminal.getInput("u1> ", "n\u00e9", 0));
        record("whole_character", VTerminal.getInput("u2> ", "\u00e9t\u00e9", 0));
        record("long_text", VTerminal.getInput("l1> ", "a".repeat(1100), 0).length());

        VTerminal.print("<n>");
        record("null_strings", VTerminal.getInput(null, null, -1));
        VTerminal.print("</n>");
        VTerminal.print(null);
    }
}

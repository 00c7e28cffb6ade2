package vek.sys.lib.example;

import java.util.ArrayList;
import java.util.List;
import vek.sys.lib.VTerminal;

/**
 * A prompt with a history: type lines, walk back and forth through the earlier ones with
 * the Up and Down arrows (or Ctrl-P / Ctrl-N) and edit them; an empty line ends, and so
 * does Ctrl-C.
 */
public final class HistoryPrompt {
    private HistoryPrompt() {
    }

    public static void main(String[] args) {
        VTerminal.getInterrupt(); // count Ctrl-C instead of dying on the first one
        VTerminal.print("Terminal of " + VTerminal.getColCount() + " x " + VTerminal.getRowCount()
                + ". Arrows walk the history; an empty line ends.\n");

        List<String> history = new ArrayList<>();
        int position = 0; // history.size() stands for the new, empty line
        String text = "";
        while (true) {
            String answer = VTerminal.getInput("history> ", text, 0);
            if (VTerminal.getInterrupt() > 0) {
                break; // Ctrl-C: the handler has said that we are exiting
            }
            if (answer.equals("!LAST")) {
                position = Math.max(position - 1, 0);
            } else if (answer.equals("!NEXT")) {
                position = Math.min(position + 1, history.size());
            } else if (answer.isEmpty()) {
                break;
            } else {
                history.add(answer);
                position = history.size();
                VTerminal.print("[" + history.size() + "] " + answer + "\n");
            }
            text = position < history.size() ? history.get(position) : "";
        }
        VTerminal.print("bye\n");
    }
}

package vek.kel.lib.test;

import java.util.Arrays;

/** A small harness: named groups of checks, one line per failure, a summary at the end. */
final class Checks {
    interface Body {
        void run() throws Exception;
    }

    private int passed;
    private int failed;
    private String group = "";

    void group(String name, Body body) {
        group = name;
        int failedBefore = failed;
        try {
            body.run();
        } catch (Exception | AssertionError e) {
            fail("threw " + e);
            e.printStackTrace(System.out);
        }
        System.out.println((failed == failedBefore ? "ok   " : "FAIL ") + name);
    }

    void check(boolean condition, String what) {
        if (condition) {
            passed++;
        } else {
            fail(what);
        }
    }

    void equal(long expected, long actual, String what) {
        check(expected == actual, what + ": expected " + expected + ", got " + actual);
    }

    void sameBytes(byte[] expected, int from, byte[] actual, int count, String what) {
        byte[] wanted = Arrays.copyOfRange(expected, from, from + count);
        byte[] got = Arrays.copyOf(actual, count);
        int mismatch = Arrays.mismatch(wanted, got);
        check(mismatch < 0, what + ": first difference at byte " + mismatch);
    }

    private void fail(String what) {
        failed++;
        System.out.println("  failed in '" + group + "': " + what);
    }

    /** Prints the summary; the process status is 1 when anything failed. */
    int finish(String suite) {
        System.out.println(suite + ": " + passed + " checks passed, " + failed + " failed");
        return failed == 0 ? 0 : 1;
    }
}

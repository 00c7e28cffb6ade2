package vek.kel.support;

import java.io.IOException;
import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import java.nio.file.Files;
import java.nio.file.Path;

/** The extents recorded in a ".det" file: 16-byte little-endian (offset, length) pairs. */
public final class DetFile {
    private DetFile() {
    }

    /** Entries as {offset, length} pairs, in file order. */
    public static long[][] read(Path path) throws IOException {
        ByteBuffer bytes = ByteBuffer.wrap(Files.readAllBytes(path)).order(ByteOrder.LITTLE_ENDIAN);
        long[][] entries = new long[bytes.remaining() / 16][];
        for (int i = 0; i < entries.length; i++) {
            entries[i] = new long[] {bytes.getLong(), bytes.getLong()};
        }
        return entries;
    }

    public static long totalLength(long[][] entries) {
        long total = 0;
        for (long[] entry : entries) {
            total += entry[1];
        }
        return total;
    }
}

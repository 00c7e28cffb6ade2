import java.io.IOException;
import java.io.RandomAccessFile;
import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.Arrays;
import java.util.Random;

import vek.kel.lib.KelResource;

/**
 * The installed binding as the framework uses it: System.load of the JNI library by its
 * installed path (the loader finds the engine by the absolute path the binding names),
 * a data file recorded in uneven writes on a volume of member files, read back extent by
 * extent and compared. Prints "OK", or names what failed and exits 1.
 *
 * <p>java -cp INSTALLED_JAR:. InstalledRoundTrip JNI_LIBRARY DIR   (DIR empty; the caller
 * removes it)
 */
public final class InstalledRoundTrip {
    private static final int MEMBERS = 3;
    private static final int CHUNK = 64 * 1024;
    private static final int MEMBER_BYTES = 4 * 1024 * 1024;
    private static final int[] WRITE_CALLS = {100_000, 1, CHUNK - 1, 3 * CHUNK + 7};

    private InstalledRoundTrip() {
    }

    public static void main(String[] args) throws IOException {
        System.load(args[0]);
        Path dir = Path.of(args[1]);
        Path config = makeVolume(dir);
        Path det = dir.resolve("headers").resolve("recording.det");

        byte[] data = new byte[1024 * 1024 + 54321];
        new Random(7).nextBytes(data);
        record(config, det, data);
        byte[] back = readBack(config, det, data.length);
        if (!Arrays.equals(data, back)) {
            fail("the bytes read back differ from those written");
        }
        System.out.println("OK");
    }

    private static Path makeVolume(Path dir) throws IOException {
        Path headers = Files.createDirectory(dir.resolve("headers"));
        StringBuilder table = new StringBuilder();
        table.append("0 ").append((long) MEMBERS * MEMBER_BYTES / 512).append(" striped ")
                .append(MEMBERS).append(' ').append(CHUNK / 512);
        for (int member = 0; member < MEMBERS; member++) {
            Path file = dir.resolve("member" + member);
            try (RandomAccessFile sparse = new RandomAccessFile(file.toFile(), "rw")) {
                sparse.setLength(MEMBER_BYTES);
            }
            table.append(' ').append(file).append(" 0");
        }
        Path tablePath = Files.writeString(dir.resolve("volume.table"), table + "\n");
        return Files.writeString(dir.resolve("volume.conf"), "TYPE=RAID VKPATH=" + headers
                + " FUSEPATH=" + dir.resolve("mnt") + " DMSETUP=" + tablePath
                + " MAPPER=/dev/mapper/kel EXTEND=1G THREADS=2\n");
    }

    private static long open(Path config, int direction) {
        long handle = KelResource.alloc();
        check(handle != 0, "alloc");
        check(KelResource.setConfig(handle, config.toString()) == 0, "setConfig");
        check(KelResource.setDirection(handle, direction) == 0, "setDirection");
        check(KelResource.init(handle) == 0, "init");
        return handle;
    }

    private static void record(Path config, Path det, byte[] data) {
        long handle = open(config, KelResource.DIRECTION_WRITE);
        long offset = KelResource.writeDet(handle, det.toString(), data.length);
        check(offset >= 0 && KelResource.setOffset(handle, offset) == 0, "writeDet, setOffset");
        for (int written = 0, call = 0; written < data.length; call++) {
            int length = Math.min(data.length - written,
                    call < WRITE_CALLS.length ? WRITE_CALLS[call] : data.length);
            byte[] piece = Arrays.copyOfRange(data, written, written + length);
            check(KelResource.nativeWriteB(handle, piece, length) == length, "nativeWriteB");
            written += length;
        }
        check(KelResource.joinWrites(handle) == 0, "joinWrites");
        check(KelResource.finalizeDet(handle, det.toString(), data.length) >= 0, "finalizeDet");
        check(KelResource.free(handle) == 0, "free");
    }

    /** Reads in calls of whole chunks: each call delivers whole chunks. */
    private static byte[] readBack(Path config, Path det, int size) throws IOException {
        ByteBuffer entries = ByteBuffer.wrap(Files.readAllBytes(det)).order(ByteOrder.LITTLE_ENDIAN);
        byte[] back = new byte[size];
        long handle = open(config, KelResource.DIRECTION_READ);
        int done = 0;
        while (entries.remaining() >= 16) {
            long offset = entries.getLong();
            int length = (int) entries.getLong();
            check(done + length <= size, "the .det file records more than was written");
            check(KelResource.setOffset(handle, offset) == 0
                    && KelResource.launchReads(handle, length) == 0, "setOffset, launchReads");
            for (int taken = 0; taken < length; ) {
                int asked = Math.min(length - taken, 5 * CHUNK);
                byte[] piece = new byte[asked];
                check(KelResource.nativeReadB(handle, piece, asked) == asked, "nativeReadB");
                System.arraycopy(piece, 0, back, done + taken, asked);
                taken += asked;
            }
            check(KelResource.joinReads(handle) == 0, "joinReads");
            done += length;
        }
        check(KelResource.free(handle) == 0, "free");
        check(done == size, "the .det file records fewer bytes than were written");
        return back;
    }

    private static void check(boolean condition, String what) {
        if (!condition) {
            fail(what + " failed");
        }
    }

    private static void fail(String message) {
        System.err.println("InstalledRoundTrip: " + message);
        System.exit(1);
    }
}

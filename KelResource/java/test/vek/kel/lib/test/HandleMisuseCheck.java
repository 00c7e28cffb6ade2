package vek.kel.lib.test;

import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import java.util.ArrayList;
import java.util.Collections;
import java.util.HashSet;
import java.util.List;
import java.util.Random;
import java.util.Set;
import java.util.concurrent.CountDownLatch;

import vek.kel.lib.KelResource;
import vek.kel.support.NativeMemory;
import vek.kel.support.ScratchVolume;

/**
 * A Java program misusing its handle values: freeing twice, calling after free, passing a
 * value that never was a handle, and two threads writing through one handle. The engine
 * refuses each misuse with -1 and a line (the runner counts the mismatch lines); nothing
 * crashes, nothing hangs, and the data written stays whole.
 */
public final class HandleMisuseCheck {
    private static final int STRIPES = 4;
    private static final int CHUNK_SECTORS = 8;
    private static final int CALLS_PER_THREAD = 200;

    private final Checks checks = new Checks();
    private final ScratchVolume volume;

    private HandleMisuseCheck(ScratchVolume volume) {
        this.volume = volume;
    }

    public static void main(String[] args) throws Exception {
        KelResource.load(System.getProperty("kel.engine"), System.getProperty("kel.jni"));
        int status;
        try (ScratchVolume volume = ScratchVolume.create(STRIPES, CHUNK_SECTORS, 1 << 16, 8)) {
            HandleMisuseCheck check = new HandleMisuseCheck(volume);
            check.checks.group("a freed handle is refused: a double free, a late joinWrites",
                    check::freedHandle);
            check.checks.group("a value that never was a handle is refused", check::foreignValue);
            check.checks.group("two threads writing through one handle never mix their pieces",
                    check::twoWriters);
            status = check.checks.finish("KelResource handle misuse");
        }
        System.out.flush();
        if (status != 0) {
            System.exit(status);
        }
    }

    /** Mismatch lines: 2 (late joinWrites, late setOffset); close lines: 2. */
    private void freedHandle() {
        long handle = openWriter();
        checks.equal(0, KelResource.free(handle), "free");
        checks.equal(-1, KelResource.free(handle), "a second free");
        checks.equal(-1, KelResource.joinWrites(handle), "joinWrites after free");
        checks.equal(-1, KelResource.setOffset(handle, 0), "setOffset after free");

        // The next handles get other addresses, so the stale value reaches none of them.
        List<Long> fresh = new ArrayList<>();
        for (int i = 0; i < 8; i++) {
            long next = KelResource.alloc();
            checks.check(next != handle, "alloc " + i + " reuses the freed handle's value");
            fresh.add(next);
        }
        checks.equal(-1, KelResource.free(handle), "a stale free after new allocs");
        for (long next : fresh) {
            checks.equal(0, KelResource.setDirection(next, 1), "a new handle still works");
            checks.equal(0, KelResource.free(next), "free of a new handle");
        }
    }

    /** Mismatch lines: 2 (joinWrites, nativeWrite); close lines: 1. */
    private void foreignValue() {
        long buffer = KelResource.malloc_buf(4096);
        checks.equal(-1, KelResource.joinWrites(0x10), "joinWrites(0x10)");
        checks.equal(-1, KelResource.nativeWrite(0x10, buffer, 100), "nativeWrite(0x10)");
        checks.equal(-1, KelResource.free(0x10), "free(0x10)");
        KelResource.free_buf(buffer);
    }

    private void twoWriters() throws Exception {
        int piece = volume.stripeBytes();
        long handle = openWriter();
        checks.equal(0, KelResource.setOffset(handle, 0), "setOffset");
        Set<Integer> accepted = Collections.synchronizedSet(new HashSet<>());
        int[] refused = new int[2];
        int[] unexpected = new int[2];
        CountDownLatch start = new CountDownLatch(1);
        Thread[] threads = new Thread[2];
        for (int t = 0; t < 2; t++) {
            final int thread = t;
            threads[t] = new Thread(() -> {
                long buffer = KelResource.malloc_buf(piece);
                try {
                    start.await();
                    for (int call = 0; call < CALLS_PER_THREAD; call++) {
                        int id = thread * 100000 + call + 1;
                        NativeMemory.copyIn(pieceOf(id, piece), 0, buffer, piece);
                        int result = KelResource.nativeWrite(handle, buffer, piece);
                        if (result == piece) {
                            accepted.add(id);
                        } else if (result == -1) {
                            refused[thread]++;
                        } else {
                            unexpected[thread]++;
                        }
                    }
                } catch (InterruptedException e) {
                    Thread.currentThread().interrupt();
                } finally {
                    KelResource.free_buf(buffer);
                }
            });
            threads[t].start();
        }
        start.countDown();
        for (Thread thread : threads) {
            thread.join();
        }
        checks.equal(0, unexpected[0] + unexpected[1], "results other than the length or -1");
        checks.equal(0, KelResource.joinWrites(handle), "joinWrites");
        checks.equal(0, KelResource.free(handle), "free");
        System.out.println("two threads, " + CALLS_PER_THREAD + " calls each: "
                + (refused[0] + refused[1]) + " refused");

        long reader = KelResource.alloc();
        checks.equal(0L, KelResource.setConfig(reader, volume.configPath().toString()), "setConfig");
        checks.equal(0, KelResource.setDirection(reader, KelResource.DIRECTION_READ), "setDirection");
        checks.equal(0, KelResource.init(reader), "init");
        checks.equal(0, KelResource.setOffset(reader, 0), "setOffset");
        checks.equal(0, KelResource.launchReads(reader, (long) accepted.size() * piece), "launchReads");
        Set<Integer> found = new HashSet<>();
        byte[] back = new byte[piece];
        for (int i = 0; i < accepted.size(); i++) {
            checks.equal(piece, KelResource.nativeReadB(reader, back, piece), "read of piece " + i);
            int id = ByteBuffer.wrap(back).order(ByteOrder.LITTLE_ENDIAN).getInt();
            checks.check(accepted.contains(id) && found.add(id), "piece " + i + " is an accepted piece, once");
            checks.sameBytes(pieceOf(id, piece), 0, back, piece, "piece " + id + " is whole");
        }
        checks.equal(0, KelResource.joinReads(reader), "joinReads");
        checks.equal(0, KelResource.free(reader), "free of the reader");
    }

    /** Piece {@code id}: random bytes of that seed with the id in its first 4 bytes. */
    private static byte[] pieceOf(int id, int size) {
        byte[] bytes = new byte[size];
        new Random(id).nextBytes(bytes);
        ByteBuffer.wrap(bytes).order(ByteOrder.LITTLE_ENDIAN).putInt(id);
        return bytes;
    }

    private long openWriter() {
        long handle = KelResource.alloc();
        checks.check(handle != 0, "alloc");
        checks.equal(0L, KelResource.setConfig(handle, volume.configPath().toString()), "setConfig");
        checks.equal(0, KelResource.setDirection(handle, KelResource.DIRECTION_WRITE), "setDirection");
        checks.equal(0, KelResource.init(handle), "init");
        return handle;
    }
}

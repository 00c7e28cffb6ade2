package vek.kel.example;

import java.nio.file.Path;
import java.util.Arrays;
import java.util.Random;

import vek.kel.lib.KelResource;
import vek.kel.support.DetFile;
import vek.kel.support.NativeMemory;
import vek.kel.support.ScratchVolume;

/**
 * The whole life of a data file on a striped volume, from Java: reserve an extent,
 * stream the file out in pieces, reserve more when it grows, record its final size,
 * then read it back extent by extent and compare. The volume is made of temporary
 * files and removed at the end.
 *
 * <p>Run with -Dkel.engine=PATH -Dkel.jni=PATH to load the libraries from a build
 * tree; without them the binding is loaded from its install directory.
 */
public final class StripedRoundTrip {
    private static final String INSTALLED_JNI = "/opt/kel/pkg/kelxxx/vek/kel/lib/libKelResourceJni.so";
    private static final int PIECE = 100_000;  // deliberately not a multiple of the chunk

    private StripedRoundTrip() {
    }

    public static void main(String[] args) throws Exception {
        loadLibraries();
        // 4 members of 4 MiB, 64 KiB chunks: a 16 MiB volume.
        try (ScratchVolume volume = ScratchVolume.create(4, 128, 8192, 0)) {
            byte[] file = new byte[3 * 1024 * 1024 + 12345];
            new Random(1).nextBytes(file);
            Path det = volume.det("example");
            writeDataFile(volume, det, file);
            long[][] extents = DetFile.read(det);
            byte[] back = readDataFile(volume, extents, file.length);
            boolean same = Arrays.equals(file, back);
            System.out.println("read back " + back.length + " bytes from " + extents.length
                    + " extent(s): " + (same ? "identical" : "DIFFERENT"));
            if (!same) {
                System.exit(1);
            }
        }
    }

    private static void loadLibraries() {
        String engine = System.getProperty("kel.engine");
        String jni = System.getProperty("kel.jni");
        if (engine != null && jni != null) {
            KelResource.load(engine, jni);
        } else {
            KelResource.load(INSTALLED_JNI);
        }
    }

    private static long open(ScratchVolume volume, int direction) {
        long handle = KelResource.alloc();
        require(KelResource.setConfig(handle, volume.configPath().toString()), "setConfig");
        require(KelResource.setDirection(handle, direction), "setDirection");
        require(KelResource.init(handle), "init");
        return handle;
    }

    /** Writes the file in two extents: 2 MiB first, the rest once the file outgrows it. */
    private static void writeDataFile(ScratchVolume volume, Path det, byte[] file) {
        long handle = open(volume, KelResource.DIRECTION_WRITE);
        int firstExtent = 2 * 1024 * 1024;
        long offset = require(KelResource.writeDet(handle, det.toString(), firstExtent), "writeDet");
        require(KelResource.setOffset(handle, offset), "setOffset");
        System.out.println("first extent at per-device offset " + offset);
        long buffer = KelResource.malloc_buf(PIECE);

        writeRange(handle, buffer, file, 0, firstExtent);
        require(KelResource.joinWrites(handle), "joinWrites");
        long more = file.length - firstExtent;
        long next = require(KelResource.updateDet(handle, det.toString(), more), "updateDet");
        if (next != offset + firstExtent / volume.stripes()) {
            require(KelResource.setOffset(handle, next), "setOffset");  // not contiguous
        }
        System.out.println("second extent at per-device offset " + next);
        writeRange(handle, buffer, file, firstExtent, file.length);
        require(KelResource.joinWrites(handle), "joinWrites");
        require(KelResource.finalizeDet(handle, det.toString(), file.length), "finalizeDet");
        KelResource.free_buf(buffer);
        require(KelResource.free(handle), "free");
        System.out.println("wrote " + file.length + " bytes");
    }

    /** Alternates Java arrays and a native buffer, as a framework with both would. */
    private static void writeRange(long handle, long buffer, byte[] file, int from, int to) {
        for (int position = from, piece = 0; position < to; position += PIECE, piece++) {
            int length = Math.min(PIECE, to - position);
            if (piece % 2 == 0) {
                byte[] slice = Arrays.copyOfRange(file, position, position + length);
                require(KelResource.nativeWriteB(handle, slice, length), "nativeWriteB");
            } else {
                NativeMemory.copyIn(file, position, buffer, length);
                require(KelResource.nativeWrite(handle, buffer, length), "nativeWrite");
            }
        }
    }

    /** Reads every extent in whole chunks, the last piece being the extent's rest. */
    private static byte[] readDataFile(ScratchVolume volume, long[][] extents, int size) {
        long handle = open(volume, KelResource.DIRECTION_READ);
        int piece = 8 * volume.chunkBytes();
        long buffer = KelResource.malloc_buf(piece);
        byte[] back = new byte[size];
        int position = 0;
        for (long[] extent : extents) {
            require(KelResource.setOffset(handle, extent[0]), "setOffset");
            require(KelResource.launchReads(handle, extent[1]), "launchReads");
            for (long left = extent[1]; left > 0; left -= piece) {
                int length = (int) Math.min(piece, left);
                require(KelResource.nativeRead(handle, buffer, length), "nativeRead");
                NativeMemory.copyOut(buffer, back, position, length);
                position += length;
            }
            require(KelResource.joinReads(handle), "joinReads");
        }
        KelResource.free_buf(buffer);
        require(KelResource.free(handle), "free");
        return back;
    }

    private static long require(long result, String call) {
        if (result < 0) {
            throw new IllegalStateException(call + " failed with " + result);
        }
        return result;
    }
}

package vek.kel.lib.test;

import java.io.IOException;
import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.Arrays;
import java.util.Random;

import vek.kel.lib.KelResource;
import vek.kel.support.DetFile;
import vek.kel.support.NativeMemory;
import vek.kel.support.ScratchVolume;

/**
 * Drives the binding in a real JVM the way the framework does: a data file written in
 * uneven pieces over two extents, read back and compared byte for byte, plus seek, the
 * strided copy, the error results and the refusals that keep Java memory safe.
 */
public final class KelResourceTest {
    private static final int STRIPES = 4;
    private static final int CHUNK_SECTORS = 128;
    private static final long MEMBER_SECTORS = 4096;
    private static final long MEMBER_OFFSET_SECTORS = 8;

    private final Checks checks = new Checks();
    private final ScratchVolume volume;
    private final int chunk;
    private final int stripe;
    private final long firstExtent;
    private final byte[] data;
    private final Path det;

    private KelResourceTest(ScratchVolume volume) {
        this.volume = volume;
        this.chunk = volume.chunkBytes();
        this.stripe = volume.stripeBytes();
        this.firstExtent = 4L * stripe;
        this.data = randomBytes((int) firstExtent + 300001, 42);
        this.det = volume.det("data");
    }

    public static void main(String[] args) throws Exception {
        KelResource.load(System.getProperty("kel.engine"), System.getProperty("kel.jni"));
        int status;
        try (ScratchVolume volume = ScratchVolume.create(STRIPES, CHUNK_SECTORS,
                MEMBER_SECTORS, MEMBER_OFFSET_SECTORS)) {
            status = new KelResourceTest(volume).runAll();
        }
        System.out.flush();
        if (status != 0) {
            System.exit(status);
        }
    }

    private int runAll() {
        checks.group("a data file over two extents reads back byte for byte",
                this::writeAndReadDataFile);
        checks.group("the bytes land on the member files where the stripe layout puts them",
                this::bytesLandOnMembers);
        checks.group("seek moves every member by whole stripes and returns the rest",
                this::seekByWholeStripes);
        checks.group("a read whose last chunk overhangs the array copies only what fits",
                this::readOverhangingArray);
        checks.group("p2ps copies whole elements between strides", this::stridedCopy);
        checks.group("engine failures come back unchanged, setConfig's sign-extended",
                this::errorResults);
        checks.group("paths and arrays the JVM cannot supply are refused",
                this::unusableArguments);
        return checks.finish("KelResource binding");
    }

    // ---- writing and reading a whole data file ------------------------------------

    private void writeAndReadDataFile() throws IOException {
        // Another data file right behind the first extent keeps the second extent apart.
        writeDetEntry(volume.det("neighbour"), firstExtent / STRIPES, stripe);
        long handle = openHandle(KelResource.DIRECTION_WRITE);
        long first = KelResource.writeDet(handle, det.toString(), firstExtent);
        checks.equal(0, first, "writeDet places the first extent at the volume's start");
        checks.equal(0, KelResource.setOffset(handle, first), "setOffset to the first extent");
        writePieces(handle, 0, (int) firstExtent);
        checks.equal(0, KelResource.joinWrites(handle), "joinWrites after the first extent");

        long second = KelResource.updateDet(handle, det.toString(), 2L * stripe);
        checks.check(second > first + firstExtent / STRIPES,
                "updateDet reserves a second extent past the neighbour: " + second);
        checks.equal(0, KelResource.setOffset(handle, second), "setOffset to the second extent");
        writePieces(handle, (int) firstExtent, data.length);
        checks.equal(0, KelResource.joinWrites(handle), "joinWrites after the last piece");
        checks.equal(firstExtent + 2L * stripe - data.length,
                KelResource.finalizeDet(handle, det.toString(), data.length),
                "finalizeDet returns the reserved bytes beyond the final size");
        checks.equal(0, KelResource.free(handle), "free of the write handle");

        long[][] extents = DetFile.read(det);
        checks.equal(2, extents.length, "extents recorded");
        checks.equal(data.length, DetFile.totalLength(extents), "recorded lengths");
        checks.equal(second, extents[extents.length - 1][0], "second extent's offset");
        readBack(extents);
    }

    /** Writes data[from, to) in uneven pieces, cycling through every kind of source. */
    private void writePieces(long handle, int from, int to) {
        int[] sizes = {1000, 70000, 2 * chunk + 5, 12345, 200003, chunk, 3, 99999, 4 * chunk};
        long buffer = KelResource.malloc_buf(4 * chunk);
        checks.check(buffer != 0, "malloc_buf");
        int position = from;
        for (int piece = 0; position < to; piece++) {
            int length = Math.min(sizes[piece % sizes.length], to - position);
            int written = switch (piece % 5) {
                case 0 -> KelResource.nativeWriteB(handle, copy(position, length), length);
                case 1, 3 -> writeNative(handle, buffer, position, length);
                case 2 -> KelResource.nativeWriteB(handle, asInts(position, length), length);
                default -> KelResource.nativeWriteB(handle, asLongs(position, length), length);
            };
            checks.equal(length, written, "write of piece " + piece);
            refuseMidStream(handle, buffer);
            position += length;
        }
        checks.equal(0, KelResource.free_buf(buffer), "free_buf");
    }

    private int writeNative(long handle, long buffer, int position, int length) {
        NativeMemory.copyIn(data, position, buffer, length);
        return KelResource.nativeWrite(handle, buffer, length);
    }

    /** Calls that must not reach the engine: any that did would shift the stream. */
    private void refuseMidStream(long handle, long buffer) {
        checks.equal(-1, KelResource.nativeWriteB(handle, new byte[10], 11),
                "a length beyond a byte[]");
        checks.equal(-1, KelResource.nativeWriteB(handle, new long[3], 25),
                "a length beyond a long[]");
        checks.equal(-1, KelResource.nativeWriteB(handle, null, 1), "a null array");
        checks.equal(-1, KelResource.nativeWrite(handle, 0, 10), "a null native buffer");
        checks.equal(-1, KelResource.nativeWrite(handle, buffer, -7), "a negative length");
        checks.equal(0, KelResource.nativeWrite(handle, buffer, 0), "an empty write");
    }

    private void readBack(long[][] extents) {
        long handle = openHandle(KelResource.DIRECTION_READ);
        long buffer = KelResource.malloc_buf(4 * chunk);
        byte[] got = new byte[data.length];
        int position = 0;
        for (long[] extent : extents) {
            checks.equal(0, KelResource.setOffset(handle, extent[0]), "setOffset for reading");
            checks.equal(0, KelResource.launchReads(handle, extent[1]), "launchReads");
            position = readExtent(handle, buffer, got, position, (int) extent[1]);
            checks.equal(0, KelResource.joinReads(handle), "joinReads");
        }
        checks.equal(data.length, position, "bytes read");
        checks.sameBytes(data, 0, got, data.length, "the data file read back");
        checks.equal(0, KelResource.free_buf(buffer), "free_buf");
        checks.equal(0, KelResource.free(handle), "free of the read handle");
    }

    /** Reads one extent in pieces of whole chunks; the last piece is the extent's rest. */
    private int readExtent(long handle, long buffer, byte[] got, int position, int length) {
        int[] chunksPerPiece = {1, 3, 2, 4};
        int end = position + length;
        for (int piece = 0; position < end; piece++) {
            int size = Math.min(chunksPerPiece[piece % chunksPerPiece.length] * chunk,
                    end - position);
            int read;
            if (piece % 2 == 0) {
                byte[] target = new byte[size];  // exactly the piece: the last one is short
                read = KelResource.nativeReadB(handle, target, size);
                System.arraycopy(target, 0, got, position, size);
            } else {
                read = KelResource.nativeRead(handle, buffer, size);
                NativeMemory.copyOut(buffer, got, position, size);
            }
            checks.equal(size, read, "read of piece " + piece);
            checks.equal(-1, KelResource.nativeReadB(handle, new byte[10], 11),
                    "a length beyond the array while reading");
            position += size;
        }
        return position;
    }

    private void bytesLandOnMembers() throws IOException {
        long[][] extents = DetFile.read(det);
        byte[][] members = new byte[STRIPES][];
        for (int i = 0; i < STRIPES; i++) {
            members[i] = Files.readAllBytes(volume.member(i));
        }
        int mismatches = 0;
        long streamStart = 0;
        for (long[] extent : extents) {
            for (long k = 0; k < extent[1]; k++) {
                long chunkIndex = k / chunk;
                int member = (int) (chunkIndex % STRIPES);
                long at = volume.memberOffsetBytes() + extent[0]
                        + chunkIndex / STRIPES * chunk + k % chunk;
                boolean present = at < members[member].length;
                if (!present || members[member][(int) at] != data[(int) (streamStart + k)]) {
                    mismatches++;
                }
            }
            streamStart += extent[1];
        }
        checks.equal(0, mismatches, "stream bytes not found at their member position");
    }

    // ---- seek ------------------------------------------------------------------

    private void seekByWholeStripes() throws IOException {
        long start = DetFile.read(det)[0][0];
        long handle = openHandle(KelResource.DIRECTION_READ);
        long[][] rests = {{0, 0}, {1000, 1000}, {2L * stripe + 7, 7}, {stripe, 0},
                {-(stripe + 5L), -5}};
        for (long[] row : rests) {
            // Positioned one stripe in, so that a move back by one stripe stays on the file.
            checks.equal(0, KelResource.setOffset(handle, start + chunk), "setOffset");
            checks.equal(row[1], KelResource.seek(handle, row[0]), "seek(" + row[0] + ")");
        }
        checks.equal(0, KelResource.setOffset(handle, start + chunk), "setOffset");
        checks.equal(7, KelResource.seek(handle, 2L * stripe + 7), "seek forward");
        int from = 3 * stripe;
        byte[] got = new byte[(int) firstExtent - from];
        checks.equal(0, KelResource.launchReads(handle, got.length), "launchReads after seek");
        checks.equal(got.length, KelResource.nativeReadB(handle, got, got.length), "read");
        checks.equal(0, KelResource.joinReads(handle), "joinReads");
        checks.sameBytes(data, from, got, got.length, "data after the seek");
        checks.equal(0, KelResource.free(handle), "free");
    }

    // ---- overhanging reads ------------------------------------------------------

    private void readOverhangingArray() throws IOException {
        long start = DetFile.read(det)[0][0];
        long handle = openHandle(KelResource.DIRECTION_READ);
        checks.equal(0, KelResource.setOffset(handle, start), "setOffset");
        checks.equal(0, KelResource.launchReads(handle, 4L * chunk), "launchReads of 4 chunks");

        // Arrays allocated back to back: a whole chunk copied into the first would run
        // over the second.
        byte[] small = new byte[100];
        byte[] guard = filled(4096, (byte) 0x5a);
        checks.equal(-1, KelResource.nativeReadB(handle, small, 100),
                "a chunk that does not fit reports lost bytes");
        checks.sameBytes(data, 0, small, small.length, "what fitted of chunk 0");
        checks.check(Arrays.equals(guard, filled(4096, (byte) 0x5a)), "guard after chunk 0");

        byte[] straddling = new byte[chunk + 10];
        byte[] guard2 = filled(4096, (byte) 0x33);
        checks.equal(-1, KelResource.nativeReadB(handle, straddling, chunk + 10),
                "a whole chunk and part of the next");
        checks.sameBytes(data, chunk, straddling, straddling.length, "chunks 1 and 2");
        checks.check(Arrays.equals(guard2, filled(4096, (byte) 0x33)), "guard after chunk 2");

        refuseWhileReading(handle);
        int[] ints = new int[chunk / 4];
        checks.equal(chunk, KelResource.nativeReadB(handle, ints, chunk),
                "the rest of the overhanging chunk was consumed: chunk 3 comes next");
        checks.sameBytes(data, 3 * chunk, intBytes(ints), chunk, "chunk 3 into an int[]");
        checks.equal(0, KelResource.joinReads(handle), "joinReads");
        checks.equal(0, KelResource.free(handle), "free");
    }

    /** Each primitive array type is bounded by its size in bytes, before the engine. */
    private void refuseWhileReading(long handle) {
        Object[] arrays = {new boolean[3], new byte[3], new char[3], new short[3], new int[3],
                new float[3], new long[3], new double[3]};
        int[] elementBytes = {1, 1, 2, 2, 4, 4, 8, 8};
        for (int i = 0; i < arrays.length; i++) {
            checks.equal(-1, KelResource.nativeReadB(handle, arrays[i], 3 * elementBytes[i] + 1),
                    arrays[i].getClass().getSimpleName() + " one byte too short");
        }
        checks.equal(-1, KelResource.nativeReadB(handle, new String[64], 8), "an object array");
        checks.equal(-1, KelResource.nativeReadB(handle, "not an array", 1), "a string");
        checks.equal(-1, KelResource.nativeReadB(handle, null, 1), "a null array");
        checks.equal(-1, KelResource.nativeRead(handle, 0, 1), "a null native buffer");
    }

    // ---- strided copy -----------------------------------------------------------

    private void stridedCopy() {
        // {source offset, source stride, destination offset, destination stride,
        //  element length, total}
        int[][] cases = {
            {0, 4, 0, 4, 4, 10},      // three elements: the last is copied whole
            {0, 4, 0, 4, 4, 0},       // nothing
            {0, 4, 0, 4, 4, -3},      // nothing
            {0, 8, 0, 4, 4, 16},      // gather every other element
            {0, 3, 40, 6, 3, 12},     // scatter
            {-8, 4, 16, -4, 4, 12},   // negative offset and stride
            {0, 4, 0, 4, 0, 12},      // element length 0: nothing
            {0, 4, 0, 4, -2, 12},     // negative element length: nothing
        };
        int size = 256;
        long source = KelResource.malloc_buf(size);
        long destination = KelResource.malloc_buf(size);
        byte[] pattern = randomBytes(size, 7);
        NativeMemory.copyIn(pattern, 0, source, size);
        for (int[] c : cases) {
            byte[] before = filled(size, (byte) 0xee);
            NativeMemory.copyIn(before, 0, destination, size);
            // Addresses 64 bytes in, so that negative offsets stay inside the blocks.
            checks.equal(0, KelResource.p2ps(source + 64, c[0], c[1], destination + 64, c[2],
                    c[3], c[4], c[5]), "p2ps result");
            byte[] after = new byte[size];
            NativeMemory.copyOut(destination, after, 0, size);
            checks.check(Arrays.equals(expectedStrided(pattern, before, c), after),
                    "p2ps " + Arrays.toString(c));
        }
        byte[] before = filled(size, (byte) 0xee);
        NativeMemory.copyIn(before, 0, destination, size);
        checks.equal(0, KelResource.p2ps(0, 0, 4, destination, 0, 4, 4, 16), "null source");
        checks.equal(0, KelResource.p2ps(source, 0, 4, 0, 0, 4, 4, 16), "null destination");
        byte[] after = new byte[size];
        NativeMemory.copyOut(destination, after, 0, size);
        checks.check(Arrays.equals(before, after), "null addresses copy nothing");
        KelResource.free_buf(source);
        KelResource.free_buf(destination);
    }

    /** What a strided copy must leave: computed element by element from the rule. */
    private static byte[] expectedStrided(byte[] source, byte[] destination, int[] c) {
        byte[] result = destination.clone();
        if (c[4] < 1) {
            return result;
        }
        for (long copied = 0, i = 0; copied < c[5]; copied += c[4], i++) {
            for (int b = 0; b < c[4]; b++) {
                result[(int) (64 + c[2] + i * c[3] + b)] = source[(int) (64 + c[0] + i * c[1] + b)];
            }
        }
        return result;
    }

    // ---- error results ----------------------------------------------------------

    private void errorResults() throws IOException {
        long handle = KelResource.alloc();
        checks.check(handle != 0, "alloc");
        long missing = KelResource.setConfig(handle, volume.root().resolve("absent.conf").toString());
        checks.equal(-1L, missing, "setConfig of a missing file is -1 as a long, not 4294967295");
        Path noTable = volume.root().resolve("no-table.conf");
        Files.writeString(noTable, Files.readString(volume.configPath())
                .replace(volume.tablePath().toString(), volume.root().resolve("absent.table").toString()));
        checks.equal(-2L, KelResource.setConfig(handle, noTable.toString()),
                "setConfig with a missing device table");
        checks.equal(-1L, KelResource.setConfig(0, volume.configPath().toString()),
                "setConfig on a null handle");
        checks.equal(-1, KelResource.setDirection(handle, 0), "direction 0");
        checks.equal(0, KelResource.setDirection(handle, -5), "a negative direction reads");
        checks.equal(0, KelResource.setDirection(handle, 7), "a positive direction writes");
        long buffer = KelResource.malloc_buf(5000);
        checks.check(buffer != 0 && buffer % 4096 == 0, "malloc_buf gives a page-aligned block");
        checks.equal(0, KelResource.free_buf(buffer), "free_buf");
        checks.equal(0, KelResource.free_buf(0), "free_buf of null");
        checks.equal(0, KelResource.free(handle), "free");
    }

    private void unusableArguments() throws IOException {
        long handle = openHandle(KelResource.DIRECTION_WRITE);
        checks.equal(-1L, KelResource.setConfig(handle, null), "setConfig without a path");
        checks.equal(-1L, KelResource.writeDet(handle, null, stripe), "writeDet without a path");
        checks.equal(-1L, KelResource.updateDet(handle, null, stripe), "updateDet without a path");
        checks.equal(-1L, KelResource.finalizeDet(handle, null, 1), "finalizeDet without a path");
        checks.equal(-1, KelResource.nativeWriteB(handle, new Object(), 1), "a plain object");
        checks.equal(-1, KelResource.nativeWriteB(handle, new int[2][2], 4), "an array of arrays");
        checks.equal(0, KelResource.joinWrites(handle), "nothing was queued");
        checks.equal(0, KelResource.free(handle), "free");

        // Without a configuration there is no chunk size to bound a read by.
        long bare = KelResource.alloc();
        checks.equal(-1, KelResource.nativeReadB(bare, new byte[16], 16),
                "a read on a handle without configuration");
        checks.equal(0, KelResource.free(bare), "free of the bare handle");
    }

    // ---- helpers ------------------------------------------------------------------

    private long openHandle(int direction) {
        long handle = KelResource.alloc();
        checks.check(handle != 0, "alloc");
        checks.equal(0L, KelResource.setConfig(handle, volume.configPath().toString()), "setConfig");
        checks.equal(0, KelResource.setDirection(handle, direction), "setDirection");
        checks.equal(0, KelResource.init(handle), "init");
        return handle;
    }

    private static void writeDetEntry(Path path, long offset, long length) throws IOException {
        ByteBuffer entry = ByteBuffer.allocate(16).order(ByteOrder.LITTLE_ENDIAN);
        entry.putLong(offset).putLong(length);
        Files.write(path, entry.array());
    }

    private byte[] copy(int from, int length) {
        return Arrays.copyOfRange(data, from, from + length);
    }

    private ByteBuffer nativeOrder(int from, int length, int elementBytes) {
        int padded = (length + elementBytes - 1) / elementBytes * elementBytes;
        return ByteBuffer.wrap(Arrays.copyOfRange(data, from, from + padded))
                .order(ByteOrder.nativeOrder());
    }

    private int[] asInts(int from, int length) {
        int[] ints = new int[(length + 3) / 4];
        nativeOrder(from, length, 4).asIntBuffer().get(ints);
        return ints;
    }

    private long[] asLongs(int from, int length) {
        long[] longs = new long[(length + 7) / 8];
        nativeOrder(from, length, 8).asLongBuffer().get(longs);
        return longs;
    }

    private static byte[] intBytes(int[] ints) {
        ByteBuffer bytes = ByteBuffer.allocate(ints.length * 4).order(ByteOrder.nativeOrder());
        bytes.asIntBuffer().put(ints);
        return bytes.array();
    }

    private static byte[] filled(int size, byte value) {
        byte[] bytes = new byte[size];
        Arrays.fill(bytes, value);
        return bytes;
    }

    private static byte[] randomBytes(int size, long seed) {
        byte[] bytes = new byte[size];
        new Random(seed).nextBytes(bytes);
        return bytes;
    }
}

package vek.kel.lib;

/**
 * Native methods of the striped I/O engine. Handles and native buffers are carried as
 * longs; every method returns the engine's result unchanged (negative on failure) and
 * throws nothing. A handle is driven by one thread at a time.
 *
 * <p>Array transfers take any primitive array ({@code byte[]}, {@code int[]}, ...): the
 * length counts bytes and may not exceed the array's size in bytes.
 */
public final class KelResource {
    /** Direction for {@link #setDirection}: stream buffers back from the volume. */
    public static final int DIRECTION_READ = -1;
    /** Direction for {@link #setDirection}: stream buffers out to the volume. */
    public static final int DIRECTION_WRITE = 1;

    private KelResource() {
    }

    /**
     * Loads the engine and then the binding from the given files. The binding names the
     * engine by its absolute install path; loading the engine first satisfies that name,
     * so a build tree works without installing anything.
     */
    public static void load(String engineLibrary, String jniLibrary) {
        System.load(engineLibrary);
        System.load(jniLibrary);
    }

    /** Loads the binding alone; the engine must then be at its install path. */
    public static void load(String jniLibrary) {
        System.load(jniLibrary);
    }

    public static native long alloc();

    /** 0, or the engine's negative code widened with its sign (-1, -2, -5). */
    public static native long setConfig(long handle, String configPath);

    public static native int setDirection(long handle, int direction);

    public static native int init(long handle);

    public static native long writeDet(long handle, String detPath, long length);

    public static native long updateDet(long handle, String detPath, long length);

    public static native long finalizeDet(long handle, String detPath, long finalSize);

    public static native int setOffset(long handle, long offset);

    public static native int seek(long handle, long offset);

    public static native int nativeWrite(long handle, long address, int length);

    public static native int nativeWriteB(long handle, Object primitiveArray, int length);

    public static native int nativeRead(long handle, long address, int length);

    /**
     * Reads length bytes into the array. Chunks are delivered whole; when the last one
     * would run past the array only what fits is copied, and the result is -1 if bytes
     * of it were left out.
     */
    public static native int nativeReadB(long handle, Object primitiveArray, int length);

    public static native int launchReads(long handle, long total);

    public static native int joinReads(long handle);

    public static native int joinWrites(long handle);

    public static native int free(long handle);

    public static native long malloc_buf(int size);

    public static native int free_buf(long address);

    public static native int p2ps(long source, int sourceOffset, int sourceStride,
            long destination, int destinationOffset, int destinationStride,
            int elementLength, int total);
}

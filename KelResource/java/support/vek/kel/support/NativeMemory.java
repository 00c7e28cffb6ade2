package vek.kel.support;

import java.lang.reflect.Field;
import java.lang.reflect.Method;

/**
 * Moves bytes between Java arrays and native blocks (addresses from malloc_buf), the
 * way the framework fills and drains its transfer buffers. Bound by reflection so that
 * nothing refers to the platform's internal classes at compile time.
 */
public final class NativeMemory {
    private static final Object UNSAFE;
    private static final Method COPY;
    private static final long BYTE_ARRAY_BASE;

    static {
        try {
            Class<?> type = Class.forName("sun.misc.Unsafe");
            Field instance = type.getDeclaredField("theUnsafe");
            instance.setAccessible(true);
            UNSAFE = instance.get(null);
            COPY = type.getMethod("copyMemory", Object.class, long.class, Object.class,
                    long.class, long.class);
            Method base = type.getMethod("arrayBaseOffset", Class.class);
            BYTE_ARRAY_BASE = ((Number) base.invoke(UNSAFE, byte[].class)).longValue();
        } catch (ReflectiveOperationException e) {
            throw new ExceptionInInitializerError(e);
        }
    }

    private NativeMemory() {
    }

    /** Copies length bytes of source, from offset on, to the native address. */
    public static void copyIn(byte[] source, int offset, long address, int length) {
        checkRange(source, offset, length);
        copy(source, BYTE_ARRAY_BASE + offset, null, address, length);
    }

    /** Copies length bytes from the native address into target, from offset on. */
    public static void copyOut(long address, byte[] target, int offset, int length) {
        checkRange(target, offset, length);
        copy(null, address, target, BYTE_ARRAY_BASE + offset, length);
    }

    private static void checkRange(byte[] array, int offset, int length) {
        if (offset < 0 || length < 0 || offset + length > array.length) {
            throw new IndexOutOfBoundsException(offset + "+" + length + " > " + array.length);
        }
    }

    private static void copy(Object from, long fromOffset, Object to, long toOffset, long n) {
        try {
            COPY.invoke(UNSAFE, from, fromOffset, to, toOffset, n);
        } catch (ReflectiveOperationException e) {
            throw new IllegalStateException(e);
        }
    }
}

package vek.kel.lib.test;

import vek.kel.lib.KelResource;

/**
 * Every method that takes a handle, given 0: the engine's handle check answers -1 and
 * prints its mismatch line (counted by the test's runner) without touching anything.
 */
public final class NullHandleCheck {
    private NullHandleCheck() {
    }

    public static void main(String[] args) {
        KelResource.load(System.getProperty("kel.engine"), System.getProperty("kel.jni"));
        Checks checks = new Checks();
        checks.group("a handle of 0 is refused by every method", () -> {
            long buffer = KelResource.malloc_buf(4096);
            byte[] array = new byte[4096];
            String path = "/nonexistent/kel-null-handle";
            checks.equal(-1L, KelResource.setConfig(0, path), "setConfig");
            checks.equal(-1, KelResource.setDirection(0, 1), "setDirection");
            checks.equal(-1, KelResource.init(0), "init");
            checks.equal(-1L, KelResource.writeDet(0, path + ".det", 4096), "writeDet");
            checks.equal(-1L, KelResource.updateDet(0, path + ".det", 4096), "updateDet");
            checks.equal(-1L, KelResource.finalizeDet(0, path + ".det", 1), "finalizeDet");
            checks.equal(-1, KelResource.setOffset(0, 0), "setOffset");
            checks.equal(-1, KelResource.seek(0, 0), "seek");
            checks.equal(-1, KelResource.nativeWrite(0, buffer, 100), "nativeWrite");
            checks.equal(-1, KelResource.nativeWriteB(0, array, 100), "nativeWriteB");
            checks.equal(-1, KelResource.nativeRead(0, buffer, 100), "nativeRead");
            checks.equal(-1, KelResource.nativeReadB(0, array, 100), "nativeReadB");
            checks.equal(-1, KelResource.launchReads(0, 4096), "launchReads");
            checks.equal(-1, KelResource.joinReads(0), "joinReads");
            checks.equal(-1, KelResource.joinWrites(0), "joinWrites");
            checks.equal(-1, KelResource.free(0), "free");
            checks.equal(0, KelResource.free_buf(buffer), "free_buf");
        });
        int status = checks.finish("KelResource null handle");
        System.out.flush();
        if (status != 0) {
            System.exit(status);
        }
    }
}

package vek.kel.support;

import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.Comparator;
import java.util.stream.Stream;

/**
 * A striped volume made of plain files in a temporary directory: member files, the
 * saved device table that names them, a header directory for ".det" files and the
 * configuration file that ties them together. Removed again by {@link #close}.
 */
public final class ScratchVolume implements AutoCloseable {
    public static final int SECTOR = 512;

    private final Path root;
    private final int stripes;
    private final int chunkSectors;
    private final long memberSectors;
    private final long memberOffsetSectors;

    private ScratchVolume(Path root, int stripes, int chunkSectors, long memberSectors,
            long memberOffsetSectors) {
        this.root = root;
        this.stripes = stripes;
        this.chunkSectors = chunkSectors;
        this.memberSectors = memberSectors;
        this.memberOffsetSectors = memberOffsetSectors;
    }

    /**
     * Builds a volume of {@code stripes} member files whose data begins
     * {@code memberOffsetSectors} into each file, {@code memberSectors} sectors of data
     * per member, striped in chunks of {@code chunkSectors} sectors; two threads.
     */
    public static ScratchVolume create(int stripes, int chunkSectors, long memberSectors,
            long memberOffsetSectors) throws IOException {
        Path root = Files.createTempDirectory("kel-volume-");
        ScratchVolume volume = new ScratchVolume(root, stripes, chunkSectors, memberSectors,
                memberOffsetSectors);
        volume.writeFiles();
        return volume;
    }

    private void writeFiles() throws IOException {
        Files.createDirectories(headerDir());
        StringBuilder table = new StringBuilder();
        table.append("0 ").append(memberSectors * stripes).append(" striped ")
                .append(stripes).append(' ').append(chunkSectors);
        for (int i = 0; i < stripes; i++) {
            Files.createFile(member(i));
            table.append(' ').append(member(i)).append(' ').append(memberOffsetSectors);
        }
        Files.writeString(tablePath(), table.append('\n').toString());
        Files.writeString(configPath(), "TYPE=RAID\nVKPATH=" + headerDir() + "\nFUSEPATH=/x\n"
                + "DMSETUP=" + tablePath() + "\nMAPPER=/x\nEXTEND=1M\nTHREADS=2\n");
    }

    public Path root() {
        return root;
    }

    public Path member(int index) {
        return root.resolve("member" + index + ".img");
    }

    public Path headerDir() {
        return root.resolve("headers");
    }

    public Path tablePath() {
        return root.resolve("striped.table");
    }

    public Path configPath() {
        return root.resolve("kel.conf");
    }

    /** A ".det" path in the header directory. */
    public Path det(String name) {
        return headerDir().resolve(name + ".det");
    }

    public int stripes() {
        return stripes;
    }

    public int chunkBytes() {
        return chunkSectors * SECTOR;
    }

    public int stripeBytes() {
        return stripes * chunkBytes();
    }

    /** Byte position in every member file where the volume's data begins. */
    public long memberOffsetBytes() {
        return memberOffsetSectors * SECTOR;
    }

    @Override
    public void close() throws IOException {
        try (Stream<Path> paths = Files.walk(root)) {
            for (Path path : paths.sorted(Comparator.reverseOrder()).toArray(Path[]::new)) {
                Files.deleteIfExists(path);
            }
        }
    }
}

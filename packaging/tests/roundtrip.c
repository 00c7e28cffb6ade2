/* Uses the installed engine as a C program outside the project would: makes a striped
 * volume of member files in DIR, records a data file in uneven writes, reads every extent
 * its ".det" file records back, and compares the bytes. Prints "OK" and exits 0, or names
 * what failed and exits 1.
 *
 *   roundtrip DIR      (an existing, empty directory; the caller removes it) */
#include <tio.h>

#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

enum {
    kMembers = 3,
    kChunkBytes = 64 * 1024,
    kMemberBytes = 4 * 1024 * 1024,
    kDataBytes = 1024 * 1024 + 12345, /* ends inside a chunk */
    kMaxExtents = 16,
};

static int fail(const char *what, const char *detail) {
    fprintf(stderr, "roundtrip: %s: %s\n", what, detail);
    return 1;
}

/* snprintf that fails rather than cut a path short. */
static int format(char *out, size_t size, const char *pattern, ...) {
    va_list arguments;
    va_start(arguments, pattern);
    int length = vsnprintf(out, size, pattern, arguments);
    va_end(arguments);
    return length < 0 || (size_t)length >= size ? fail(pattern, "too long") : 0;
}

static int write_text(const char *path, const char *text) {
    FILE *file = fopen(path, "w");
    if (file == NULL) return fail(path, strerror(errno));
    int failed = fputs(text, file) < 0;
    failed |= fclose(file) != 0;
    return failed ? fail(path, "could not be written") : 0;
}

/* Sparse member files, the device table naming them and the configuration file. */
static int make_volume(const char *dir, char *config_path, size_t size) {
    char member[1024], headers[1024], table_path[1024], table[4096], config[4096];
    if (format(headers, sizeof headers, "%s/headers", dir) != 0) return 1;
    if (mkdir(headers, 0755) != 0) return fail(headers, strerror(errno));
    if (format(table, sizeof table, "0 %d striped %d %d", kMembers * kMemberBytes / 512, kMembers,
               kChunkBytes / 512) != 0)
        return 1;
    for (int index = 0; index < kMembers; index++) {
        if (format(member, sizeof member, "%s/member%d", dir, index) != 0) return 1;
        int fd = open(member, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0) return fail(member, strerror(errno));
        int sized = ftruncate(fd, kMemberBytes);
        close(fd);
        if (sized != 0) return fail(member, strerror(errno));
        size_t used = strlen(table);
        if (format(table + used, sizeof table - used, " %s 0", member) != 0) return 1;
    }
    if (format(table_path, sizeof table_path, "%s/volume.table", dir) != 0 ||
        format(table + strlen(table), sizeof table - strlen(table), "\n") != 0 ||
        write_text(table_path, table) != 0)
        return 1;
    if (format(config, sizeof config,
               "TYPE=RAID VKPATH=%s FUSEPATH=%s/mnt DMSETUP=%s MAPPER=/dev/mapper/kel EXTEND=1G THREADS=2\n",
               headers, dir, table_path) != 0 ||
        format(config_path, size, "%s/volume.conf", dir) != 0)
        return 1;
    return write_text(config_path, config);
}

static TioHandle *open_handle(const char *config_path, int direction) {
    TioHandle *handle = tio_open();
    if (handle == NULL) return NULL;
    if (tio_set_config(handle, config_path) == 0 && tio_set_dir(handle, direction) == 0 &&
        tio_init(handle) == 0)
        return handle;
    tio_close(handle);
    return NULL;
}

static int record(const char *config_path, const char *det_path, const unsigned char *data) {
    static const int64_t kCalls[] = {100000, 1, kChunkBytes - 1, 3 * kChunkBytes + 7, 300001};
    TioHandle *handle = open_handle(config_path, 1);
    if (handle == NULL) return fail(config_path, "no write handle");
    int failed = 0;
    int64_t offset = tio_write_det(handle, det_path, kDataBytes);
    if (offset < 0 || tio_set_offset(handle, offset) != 0) failed = fail(det_path, "no extent reserved");
    int64_t written = 0;
    for (size_t call = 0; !failed && written < kDataBytes; call++) {
        int64_t length = call < sizeof kCalls / sizeof kCalls[0] ? kCalls[call] : kDataBytes - written;
        if (length > kDataBytes - written) length = kDataBytes - written;
        if (tio_write(handle, data + written, length) < 0) failed = fail(det_path, "tio_write failed");
        written += length;
    }
    if (!failed && tio_wait_threads(handle) != 0) failed = fail(det_path, "a device write failed");
    if (!failed && tio_finalize_det(handle, det_path, kDataBytes) < 0)
        failed = fail(det_path, "not finalised");
    if (tio_close(handle) != 0) failed = fail(det_path, "tio_close failed");
    return failed;
}

/* Reads each extent in calls of whole chunks (each call copies whole chunks). */
static int read_back(const char *config_path, const char *det_path, unsigned char *data) {
    int64_t offsets[kMaxExtents], lengths[kMaxExtents];
    int extents = getDetEntries(det_path);
    if (extents < 1 || extents > kMaxExtents || readDet(det_path, extents, offsets, lengths) != 0)
        return fail(det_path, "extents not readable");
    TioHandle *handle = open_handle(config_path, -1);
    if (handle == NULL) return fail(config_path, "no read handle");
    int failed = 0;
    int64_t done = 0;
    for (int extent = 0; !failed && extent < extents; extent++) {
        if (done + lengths[extent] > kDataBytes) {
            failed = fail(det_path, "records more than was written");
            break;
        }
        if (tio_set_offset(handle, offsets[extent]) != 0 ||
            tio_launch_read_threads(handle, lengths[extent]) != 0) {
            failed = fail(det_path, "read not started");
            break;
        }
        for (int64_t taken = 0, call = 1; !failed && taken < lengths[extent]; call++) {
            int64_t length = (call % 4 + 1) * kChunkBytes;
            if (length > lengths[extent] - taken) length = lengths[extent] - taken;
            if (tio_read(handle, data + done + taken, length) < 0) failed = fail(det_path, "tio_read failed");
            taken += length;
        }
        if (tio_join_threads(handle) != 0) failed = fail(det_path, "tio_join_threads failed");
        done += lengths[extent];
    }
    if (tio_close(handle) != 0) failed = fail(det_path, "tio_close failed");
    if (!failed && done != kDataBytes) failed = fail(det_path, "records fewer bytes than were written");
    return failed;
}

int main(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: roundtrip DIR\n");
        return 2;
    }
    char config_path[1024], det_path[1024];
    if (make_volume(argv[1], config_path, sizeof config_path) != 0 ||
        format(det_path, sizeof det_path, "%s/headers/recording.det", argv[1]) != 0)
        return 1;

    unsigned char *written = malloc(kDataBytes), *read = calloc(kDataBytes, 1);
    if (written == NULL || read == NULL) return fail("memory", "out of memory");
    uint32_t state = 2463534242u; /* xorshift: every byte differs from its neighbours */
    for (int64_t i = 0; i < kDataBytes; i++) {
        state ^= state << 13, state ^= state >> 17, state ^= state << 5;
        written[i] = (unsigned char)state;
    }
    int failed = record(config_path, det_path, written) || read_back(config_path, det_path, read);
    if (!failed) {
        for (int64_t i = 0; i < kDataBytes; i++) {
            if (written[i] != read[i]) {
                fprintf(stderr, "roundtrip: byte %lld differs\n", (long long)i);
                failed = 1;
                break;
            }
        }
    }
    free(written);
    free(read);
    if (!failed) printf("OK\n");
    return failed;
}

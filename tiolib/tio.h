/*
 * libKelResource_lin64: striped I/O engine and detached-header extent allocation.
 *
 * One public header, usable from C and C++. Every function below is exported under
 * its plain name. Failures are negative results: -1 in general, -2 when the device
 * table cannot be opened, -5 when a file cannot be read whole, a directory holds more
 * entries than the caller's capacity, or the device table announces no stripes.
 * Operations on a handle first check its magic; on a mismatch (or a null handle) they
 * print "Error! Magic number doesn't match. Something has stomped on our memory block"
 * and return -1.
 */
#ifndef TIO_H
#define TIO_H

#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <time.h>

#ifdef __cplusplus
extern "C" {
#endif

#define TIO_API __attribute__((visibility("default")))

#define TIO_MAGIC 0xf8b1c0adu

/* ---- Configuration and device table ------------------------------------------ */

#define TIO_PATH_SIZE 4096
#define TIO_TYPE_SIZE 10

/* One member device: its path and where the volume's data begins on it (bytes). */
typedef struct DmDevice {
    int64_t offset;
    char path[TIO_PATH_SIZE];
} DmDevice;

/* A handle's configuration and device table. */
typedef struct FsProps {
    int64_t device_size;   /* bytes of the whole striped volume */
    int64_t start_offset;  /* bytes added to every device position */
    int64_t extend_size;   /* "EXTEND=", validated and stored only */
    int32_t chunk_size;    /* stripe unit in bytes */
    int32_t stripe_count;  /* member devices */
    int32_t thread_count;  /* workers, 1 .. stripe_count */
    char type[TIO_TYPE_SIZE];
    char header_dir[TIO_PATH_SIZE];
    char fuse_path[TIO_PATH_SIZE];
    char dmsetup_path[TIO_PATH_SIZE];
    char mapper_path[TIO_PATH_SIZE];
    DmDevice *devices;     /* stripe_count entries for type "RAID", else null */
} FsProps;

/* ---- Handle and its records --------------------------------------------------- */

/* A two-state gate: taken or free. Unlike a mutex it may be released by any thread,
 * and releasing a free gate leaves it free. */
typedef struct TioGate {
    pthread_mutex_t mutex;
    pthread_cond_t cond;
    int32_t taken;
} TioGate;

/* A staging buffer of one chunk. */
typedef struct TioBuffer {
    uint8_t *data;       /* page-aligned block of chunk_size bytes */
    int64_t length;      /* valid bytes held */
    TioGate empty_lock;  /* free while the buffer may be filled */
    TioGate full_lock;   /* free while the buffer holds data to be emptied */
    int32_t failed;      /* 1 when the device read that filled it failed */
} TioBuffer;

/* One member device served by a worker. */
typedef struct TioDevice {
    FILE *file;
    pthread_mutex_t select_lock;  /* guards read_index, write_index and the try-take */
    int64_t stripe_bytes;         /* stripe_count * chunk_size */
    int32_t global_index;
    TioBuffer buffers[2];
    int32_t read_index;           /* buffer last taken by the filling side */
    int32_t write_index;          /* buffer last taken by the emptying side */
    int32_t read_tail;            /* bytes of the final hand-over */
    int32_t write_extra;          /* read mode: one more chunk in the final pass */
    int64_t user_offset;          /* offset in user_buffer of the next chunk */
    int32_t head_skip;            /* write mode: bytes of the first hand-over already written */
    const char *path;             /* the member's path in the device table, for messages */
    int64_t chunks_planned;       /* read mode: chunks the read plan gives this device */
    int64_t chunks_taken;         /* read mode: chunks the tio_read calls have asked for */
} TioDevice;

/* One worker: a group of devices, a disk thread and, per transfer, a copy thread. */
typedef struct TioWorker {
    TioDevice *devices;
    uint8_t *user_buffer;
    int32_t write_stripes;
    int32_t read_stripes;
    int64_t chunks_queued;
    int64_t chunks_done;
    int32_t device_count;
    int32_t index;
    int32_t stop;
    int32_t finished;
    int32_t chunk_size;
    pthread_t thread;             /* (pthread_t)-1 when no disk thread runs */
    int64_t write_errors;         /* device writes that failed or were short */
    int32_t read_errors;          /* device read errors met by the current tio_read */
    int32_t devices_ready;        /* devices whose stream and buffers were set up */
} TioWorker;

typedef struct TioHandle {
    TioWorker *workers;
    FsProps *props;
    int32_t initialized;
    int32_t direction;            /* -1 unset, 0 write, 1 read */
    uint32_t magic;
    int32_t stripe_phase;
    int32_t chunk_fill;           /* write mode: bytes of the current chunk already written */
    int32_t worker_count;         /* workers allocated by tio_init */
    int64_t write_errors_reported;
} TioHandle;

/* ---- Handle lifecycle and page-aligned blocks --------------------------------- */

/* New handle, or null when memory runs out. */
TIO_API TioHandle *tio_open(void);
/* dir < 0: read mode, dir > 0: write mode; 0 on success, -1 for dir 0. */
TIO_API int32_t tio_set_dir(TioHandle *handle, int32_t dir);
/* Distributes and opens the member devices, allocates the staging buffers and, in
 * write mode, starts the disk threads. 0, or -1 (nothing built is kept). */
TIO_API int32_t tio_init(TioHandle *handle);
/* Drains and joins every thread, closes every device, releases everything. 0, or -1
 * on a magic mismatch (nothing released) or an unreported device write failure. */
TIO_API int32_t tio_close(TioHandle *handle);
/* Page-aligned block of size bytes, or null. */
TIO_API void *tio_malloc(int32_t size);
/* Releases a block of tio_malloc; null is accepted. Always 0. */
TIO_API int32_t tio_free(void *block);

/* ---- Configuration ------------------------------------------------------------ */

/* Reads the configuration file (and device table) into the handle's record.
 * 0; -1 incomplete or unreadable file; -2 device table not openable; -5 device table
 * unusable (no stripes, too few member entries, sizes that overflow). */
TIO_API int32_t tio_set_config(TioHandle *handle, const char *config_path);
/* New record from a configuration file; never null unless memory runs out. */
TIO_API FsProps *open_fs_props(const char *config_path);
/* 0 when all seven entries are present and valid, -1 otherwise (usage printed). */
TIO_API int32_t read_config(const char *config_path, char *type, char *header_dir,
                            char *fuse_path, char *dmsetup_path, char *mapper_path,
                            int64_t *extend_size, int32_t *thread_count);
/* Copies src[start, end) to dest and returns bit; copies nothing and returns 0 when
 * end - start < 1. */
TIO_API int32_t setConfField(char *dest, const char *src, int32_t start, int32_t end,
                             int32_t bit);
/* Size text with an optional K/M/G/T suffix to bytes. */
TIO_API int64_t parseNum(const char *text);
/* Reads the device table named by dmsetup_path. 0, -2 not openable, -5 unusable. */
TIO_API int32_t parse_dm_full(FsProps *props);
/* Releases a record and its device table; null accepted. Always 0. */
TIO_API int32_t close_fs_props(FsProps *props);
TIO_API int32_t getDeviceProps(FsProps *props, int64_t *device_size, int64_t *per_device_size,
                               int64_t *chunk_size);
/* Accessors; -1 for a null record. */
TIO_API int64_t getDeviceSize(FsProps *props);
TIO_API int64_t getStripeSize(FsProps *props);
TIO_API int64_t getAdjustedSize(FsProps *props, int64_t size);
TIO_API int64_t getRelativeSize(FsProps *props, int64_t size);

/* ---- Double-buffered pipeline ------------------------------------------------- */

/* Per-chunk steps. */
TIO_API void perform_read_buff(TioDevice *device, uint8_t *user_buffer, int64_t length);
TIO_API void perform_read_disk(TioDevice *device, int64_t length);
TIO_API void perform_write_disk(TioDevice *device);
TIO_API void perform_write_buff(TioDevice *device, uint8_t *user_buffer);
/* Thread bodies; each takes a TioWorker. */
TIO_API void *write_disk(void *worker);
TIO_API void *read_disk(void *worker);
TIO_API void *read_buff(void *worker);
TIO_API void *write_buff(void *worker);
/* Starts one disk thread per worker in write mode. 0, or -1. */
TIO_API int32_t launch_write_threads(TioHandle *handle);
/* Waits until every chunk handed over has been written. 0, or -1 when a device write
 * failed since the last report. */
TIO_API int32_t tio_wait_threads(TioHandle *handle);
/* Waits for the read-mode disk threads. 0, or -1 (also at once in write mode). */
TIO_API int32_t tio_join_threads(TioHandle *handle);
/* Stops and joins every thread and destroys every lock. 0, or -1. */
TIO_API int32_t join_unlock(TioHandle *handle);
/* Sleeps, resuming after signals. Always 1. */
TIO_API int32_t __nsleep(const struct timespec *request, struct timespec *remainder);
TIO_API int32_t nsleep(int64_t nanoseconds);
TIO_API int32_t msleep(uint64_t milliseconds);

/* ---- Striped transfers -------------------------------------------------------- */

/* Hands length bytes to the workers. length (low 32 bits); 0 for 0; -1 on error. */
TIO_API int32_t tio_write(TioHandle *handle, const void *buffer, int64_t length);
/* Copies the next ceil(length / chunk_size) chunks into buffer. length; -1 on error. */
TIO_API int32_t tio_read(TioHandle *handle, void *buffer, int64_t length);
/* Plans a read of total bytes and starts the read-mode disk threads. 0, or -1. */
TIO_API int32_t tio_launch_read_threads(TioHandle *handle, int64_t total);
TIO_API int32_t mapReads(TioHandle *handle, int64_t total);
TIO_API int64_t tio_next_chunk_bytes(TioHandle *handle);
/* Moves every device by whole stripes; returns the rest below one stripe, or -1. */
TIO_API int32_t tio_seek(TioHandle *handle, int64_t offset);
/* Positions every device at offset + its table offset + start_offset. 0, or -1. */
TIO_API int32_t tio_set_offset(TioHandle *handle, int64_t offset);

/* ---- Utilities ---------------------------------------------------------------- */

TIO_API void packX(void *destination, int64_t value);
TIO_API void packD(double *destination, double value);
TIO_API void packL(int32_t *destination, int32_t value);
TIO_API int64_t unpackX(const void *source);
TIO_API int32_t ceil_int(int32_t a, int32_t b);
TIO_API int32_t floor_int(int32_t a, int32_t b);
TIO_API int64_t ceil_off(int64_t a, int64_t b);
TIO_API int64_t floor_off(int64_t a, int64_t b);
TIO_API int64_t ceil_double(double a, double b);
TIO_API int64_t floor_double(double a, double b);
TIO_API int64_t getFsUsed(FsProps *props, int32_t count, void *unused, const int64_t *lengths);
TIO_API double get_time(void);

/* ---- Detached-header files ---------------------------------------------------- */

/* One extent of a ".det" file: 16 bytes, little-endian. */
typedef struct DetEntry {
    int64_t offset;  /* per-device byte position; negative while provisional */
    int64_t length;  /* bytes of the data file over all member devices */
} DetEntry;

TIO_API int32_t writeDet(const char *path, int32_t count, const int64_t *offsets,
                         const int64_t *lengths);
TIO_API int32_t readDet(const char *path, int32_t count, int64_t *offsets, int64_t *lengths);
TIO_API int64_t getFileSize(const char *path);
TIO_API int32_t getDetEntries(const char *path);
TIO_API int32_t accumDetSize(const char *path, int64_t *total);
TIO_API int32_t isExt(const char *name, const char *extension);
TIO_API int32_t countDir(const char *directory, const char *extension);
TIO_API int32_t getAllDets(const char *directory, int32_t capacity, int64_t *offsets,
                           int64_t *lengths);
TIO_API int32_t sortDets(int32_t count, int64_t *offsets, int64_t *lengths);
TIO_API int64_t finalizeDet(FsProps *props, const char *path, int64_t final_size);
TIO_API int64_t tio_finalize_det(TioHandle *handle, const char *path, int64_t final_size);

/* ---- Extent allocation -------------------------------------------------------- */

TIO_API int64_t tio_write_det(TioHandle *handle, const char *path, int64_t size);
TIO_API int64_t tio_update_det(TioHandle *handle, const char *path, int64_t size);
TIO_API int64_t writeDetLock(FsProps *props, const char *path, int64_t size);
TIO_API int64_t updateDet(FsProps *props, const char *path, int64_t size);
TIO_API int64_t getAllocation(FsProps *props, int32_t pid, int64_t size, const char *lock_path);
TIO_API int64_t determineOffset(FsProps *props, int64_t size);
TIO_API int32_t createLock(int32_t pid, const char *lock_path);
TIO_API int64_t removeLock(int32_t pid, int64_t offset, int64_t size, const char *lock_path);
TIO_API int64_t stripeAlign(int64_t value, int64_t unit);
TIO_API int64_t isDetContinuous(int32_t stripe_count, int64_t last_offset, int64_t last_length,
                                int64_t new_offset);
TIO_API int32_t getRandom(void);

#ifdef __cplusplus
}
#endif

#endif /* TIO_H */

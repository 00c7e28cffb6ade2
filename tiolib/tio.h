/*
 * libKelResource_lin64: striped I/O engine and detached-header extent allocation.
 *
 * One public header, usable from C and C++: the records first, then the functions in the
 * order a caller meets them. Every function is exported under its plain name, and its
 * comment says what it returns and which files and locks it touches. Failures are
 * negative results: -1 in general, -2 when the device table cannot be opened, -5 when a
 * file cannot be read whole, a directory holds more entries than the caller's capacity,
 * or the device table announces no stripes. Messages are single lines on standard output
 * starting "Error!" or "Error,"; one failure gives one line, printed by the call that
 * returns it; nothing is printed on success. Operations on a handle first check that it is
 * live (handed out by tio_open and not closed since; nothing else, not even a byte copy of
 * one, is read) and that its magic matches; otherwise they print "Error! Magic number
 * doesn't match. Something has stomped on our memory block" and return -1. One call at a
 * time per handle: a call made while another one holds the same handle prints "Error!
 * Handle is in use by another call" and returns -1, doing nothing.
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

/* ---- Records: configuration and device table --------------------------------------- */

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
    int32_t direct_io;     /* "DIRECTIO=1": members opened with O_DIRECT; else 0 */
} FsProps;

/* ---- Records: the handle and what hangs beneath it --------------------------------- */

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
    int64_t requested;   /* read mode: bytes the device read that filled it asked for */
    int32_t read_error;  /* read mode: errno of that device read when it failed, else 0 */
} TioBuffer;

/* The first failed device transfer of a worker that is not reported yet, and how many
 * failed since the last report. The threads that serve a call record the writes that
 * failed or were short and the chunks that a member did not deliver whole; the call that
 * reports them prints one line and starts the record again. */
typedef struct TioFailure {
    const char *path;      /* the member's path */
    int64_t requested;     /* bytes the transfer should have moved */
    int64_t moved;         /* bytes it moved */
    int32_t error_number;  /* errno of the failed call; 0 when the transfer was just short */
    int32_t count;         /* failed transfers since the last report */
} TioFailure;

/* One member device served by a worker. */
typedef struct TioDevice {
    FILE *file;
    pthread_mutex_t select_lock;  /* guards read_index, write_index and the try-take */
    int64_t stripe_bytes;         /* stripe_count * chunk_size: one row of the layout */
    int32_t global_index;
    TioBuffer buffers[2];
    int32_t read_index;           /* buffer last taken by the filling side */
    int32_t write_index;          /* buffer last taken by the emptying side */
    int32_t read_tail;            /* bytes of the member's final piece after its whole
                                     stripes: of the current tio_write in write mode, of
                                     the read sequence in read mode */
    int32_t write_extra;          /* read mode: 1 when the current tio_read takes one more
                                     chunk of the member after its whole stripes */
    int64_t user_offset;          /* offset in user_buffer of the next chunk */
    int32_t head_skip;            /* write mode: bytes of the member's first piece of the
                                     current tio_write already written by the call before */
    const char *path;             /* the member's path in the device table, for messages */
    int64_t chunks_planned;       /* read mode: chunks the read plan gives this device */
    int64_t chunks_taken;         /* read mode: chunks the tio_read calls have asked for */
    int64_t position;             /* byte on the member of its next transfer: write mode, where
                                     its next stream byte goes; read mode, of its next read
                                     ahead into a staging buffer */
    int64_t sequence_start;       /* read mode: position of the read sequence's first chunk */
    int32_t block_size;           /* direct I/O: the member's logical block size; 0 buffered */
} TioDevice;

/* One worker: a group of devices, their staging buffers and a thread that takes part in
 * the transfer calls (write mode: from tio_init to tio_close; read mode: for one read
 * sequence). */
typedef struct TioWorker {
    TioDevice *devices;
    uint8_t *user_buffer;
    int32_t write_stripes;        /* read mode: whole stripes the current tio_read takes of
                                     each member */
    int32_t read_stripes;         /* whole stripes of each member: of the current tio_write
                                     (write mode) or of the read sequence's plan (read mode) */
    int64_t chunks_queued;        /* not kept by the engine, whose calls have written what
                                     they were given when they return: stays 0 */
    int64_t chunks_done;          /* buffers emptied by write_disk; the engine keeps no count */
    int32_t device_count;
    int32_t index;
    int32_t stop;                 /* 1 asks the worker's thread to end */
    int32_t finished;             /* 1 while the worker's thread does not run */
    int32_t chunk_size;
    pthread_t thread;             /* (pthread_t)-1 when the worker's thread does not run */
    TioFailure write_failure;     /* device writes that failed or were short */
    TioFailure read_failure;      /* chunks of the current tio_read not delivered whole */
    int32_t devices_ready;        /* devices whose stream and buffers were set up */
    struct TioHandle *handle;     /* the handle this worker belongs to */
    TioGate call_gate;            /* free when the worker's thread is to take part in a call */
    TioGate done_gate;            /* free when the worker's thread has done its part */
    pthread_mutex_t failure_lock; /* guards write_failure and read_failure */
    int32_t gates_ready;          /* call_gate, done_gate and failure_lock were initialised */
} TioWorker;

typedef struct TioHandle {
    TioWorker *workers;
    FsProps *props;
    int32_t initialized;
    int32_t direction;            /* -1 unset, 0 write, 1 read */
    uint32_t magic;
    int32_t stripe_phase;         /* global index of the member the next transfer starts on */
    int32_t chunk_fill;           /* write mode: bytes of the current chunk already written */
    int32_t worker_count;         /* workers allocated by tio_init */
    int32_t busy;                 /* 1 while a call holds the handle */
    int32_t call_phase;           /* stripe_phase when the transfer in progress began */
    int32_t call_next_slot;       /* the next member, by its place in the transfer in progress,
                                     that a thread takes on */
    int32_t unsynced;             /* write mode: members were written since their last sync */
    int32_t failed;               /* bits: 1 a device write failed, 2 a sync failed; no later
                                     finalisation succeeds, and after a failed sync no close */
} TioHandle;

/* ---- Records: ".det" entries ------------------------------------------------------- */

/* One extent of a ".det" file: 16 bytes, little-endian. */
typedef struct DetEntry {
    int64_t offset;  /* per-device byte position; negative while provisional */
    int64_t length;  /* bytes of the data file over all member devices */
} DetEntry;

/* ---- Handle lifecycle and page-aligned blocks -------------------------------------- */
/* A handle goes: tio_open, tio_set_config, tio_set_dir, tio_init, then allocation calls
 * and transfers, and tio_close. One caller drives a handle, one call at a time. */

/* A new handle: unconfigured, no direction chosen. Null when memory runs out. */
TIO_API TioHandle *tio_open(void);
/* dir < 0 chooses read mode, dir > 0 write mode: 0. -1 for dir 0 (silently, the direction
 * unchanged), or with "Error! Handle is already initialised" after a successful tio_init
 * (the handle keeps its direction). Takes effect at tio_init. */
TIO_API int32_t tio_set_dir(TioHandle *handle, int32_t dir);
/* Distributes the member devices over the workers, opens every member (read mode: for
 * reading; write mode: for writing, never created nor truncated; with
 * "DIRECTIO=1" with O_DIRECT), allocates two staging buffers per member and, in write
 * mode, starts one thread per worker. 0, or -1 with a message (no or unusable
 * configuration, no direction, a member not openable, already initialised, no memory, a
 * thread not started; with direct I/O one line naming the member and why: it refuses
 * O_DIRECT, or its blocks do not divide the chunk size, its table offset or the table's
 * start); after -1 nothing built is kept. */
TIO_API int32_t tio_init(TioHandle *handle);
/* Ends every worker's thread (every tio_write has written its bytes when it returned),
 * syncs the members written since their last sync (write mode), closes every member, marks
 * the handle's unfinalised recordings "closed", releases everything and the handle itself;
 * later calls with the handle are refused, and its address is not handed out again by the
 * next tio_open calls. 0; -1 when a device write failed since the last tio_wait_threads, or
 * a sync failed now or earlier (one line; everything is released still), or with its own
 * message on a handle that is not live or whose magic does not match (then nothing is
 * released). */
TIO_API int32_t tio_close(TioHandle *handle);
/* A block of size bytes starting on a page boundary, or null (negative size, no memory).
 * Release it with tio_free. */
TIO_API void *tio_malloc(int32_t size);
/* Releases a block of tio_malloc; null is accepted. Always 0. */
TIO_API int32_t tio_free(void *block);

/* ---- Configuration and device table ------------------------------------------------ */

/* Reads the configuration file and, for type "RAID", the device table it names into a
 * new record for the handle, replacing any earlier one. 0; -1 unreadable, not a regular
 * file (never waited for) or incomplete file, called after tio_init, or no memory; -2
 * device table not openable; -5 device table unusable (not a regular file, fields missing
 * or not numbers, no stripes or chunk bytes, too few member entries, a path too long, a
 * member named twice or under two names, sizes that overflow). Each
 * failure prints one line naming the file and the reason. The device table is never
 * waited for (a FIFO is refused at once). Even after -1, -2 or -5 the handle holds a
 * record made safe to divide by (at least one stripe, one byte per chunk, 1 ..
 * stripe_count workers). Beside the seven entries of read_config the file may hold
 * "DIRECTIO=1", which sets the record's direct_io (the last "DIRECTIO=" entry counts; any
 * other value, or none, leaves it 0); other entries are ignored. */
TIO_API int32_t tio_set_config(TioHandle *handle, const char *config_path);
/* tio_set_config's record without a handle: never null unless memory runs out; failures
 * are printed but not returned. Release it with close_fs_props. */
TIO_API FsProps *open_fs_props(const char *config_path);
/* Reads the configuration file into the destinations (texts of TIO_TYPE_SIZE and
 * TIO_PATH_SIZE bytes). 0 when all seven entries are present and valid; -1 with a message
 * when the file cannot be read or with the usage text when an entry is missing or
 * refused (entries read stay in their destinations). */
TIO_API int32_t read_config(const char *config_path, char *type, char *header_dir,
                            char *fuse_path, char *dmsetup_path, char *mapper_path,
                            int64_t *extend_size, int32_t *thread_count);
/* Copies src[start, end) to dest and returns bit; copies nothing and returns 0 when
 * end - start < 1. */
TIO_API int32_t setConfField(char *dest, const char *src, int32_t start, int32_t end,
                             int32_t bit);
/* Size text with an optional K/M/G/T suffix (either case) to bytes, truncated toward zero;
 * 0 for an empty or null text, saturated beyond the 64-bit range. */
TIO_API int64_t parseNum(const char *text);
/* Reads the device table named by dmsetup_path into the record's geometry and member
 * table, and caps thread_count at the stripe count. 0; -2 not openable; -5 unusable (as
 * for tio_set_config) or a null record. Prints nothing. */
TIO_API int32_t parse_dm_full(FsProps *props);
/* Releases a record and its member table; null is accepted. Always 0. */
TIO_API int32_t close_fs_props(FsProps *props);
/* Stores the volume's size, its per-device share (device_size / stripe_count) and the
 * chunk size; a null destination is skipped. 0; -1 for a null record. */
TIO_API int32_t getDeviceProps(FsProps *props, int64_t *device_size, int64_t *per_device_size,
                               int64_t *chunk_size);
/* The volume's size, the chunk size, and a size's per-device share rounded down
 * (getAdjustedSize) or up (getRelativeSize). -1 for a null record. */
TIO_API int64_t getDeviceSize(FsProps *props);
TIO_API int64_t getStripeSize(FsProps *props);
TIO_API int64_t getAdjustedSize(FsProps *props, int64_t size);
TIO_API int64_t getRelativeSize(FsProps *props, int64_t size);

/* ---- Extents of data files: allocation and ".det" files ---------------------------- */
/* A data file's extents are recorded in its ".det" file in the header directory
 * (VKPATH=). Allocations of several processes take turns through the lock file
 * "<header directory>/.kellock"; an allocation stands only if the lock still holds the
 * caller's process id at release, and is repeated otherwise. Offsets are per-device
 * bytes, multiples of the chunk size, ready for tio_set_offset. */

/* The first extent of a new data file: creates (or replaces) the ".det" file at path
 * with a provisional entry (whole and synced before it has its name), takes the lock, searches the header directory's ".det" files
 * for the best-fitting gap, records the chosen offset in path and releases the lock; the
 * offset is returned once path and its directory are synced. The handle also marks the
 * data file as being recorded (the writer mark "<path>.writer") until tio_finalize_det
 * commits it. The offset, or -1 with one message (no configuration or header directory,
 * path, mark or lock file not creatable, size more than the volume can hold, no gap holds
 * it, the directory not listable, the lock lost on every attempt, a failed sync); path then
 * keeps its provisional entry. A negative size gives -1 without a message. */
TIO_API int64_t tio_write_det(TioHandle *handle, const char *path, int64_t size);
/* One more extent for the data file whose ".det" file is path: allocated like
 * tio_write_det through a temporary reservation file "r_<number>.det" in the header
 * directory, then merged into path's last entry when it continues it on every member, or
 * appended; path gains it in place while the lock is held (the last entry's length or one
 * more entry, in one write), is synced once the allocation stands, and the reservation
 * file is removed. The offset, or -1 (as tio_write_det; path without entries,
 * with a message; the reservation file not removable, although path already holds the
 * extent). */
TIO_API int64_t tio_update_det(TioHandle *handle, const char *path, int64_t size);
/* The commit of a recording. On a write-mode handle it first waits for every write handed
 * over and syncs every member written since its last sync; then it rewrites the ".det"
 * file at path (atomically, by rename of a synced temporary, the directory synced after;
 * no lock) with its last length changed so that the lengths add up to final_size, and
 * removes the writer mark. A failed write or sync (one line naming the member, file or
 * directory) gives a negative result with path unchanged, and every later finalisation on
 * the handle fails too. The previous sum minus final_size;
 * -1 for a path without entries or when the rewrite fails (message); -5 when path cannot
 * be read whole. Refused with -1 and a message, the file unchanged, when final_size is
 * negative, less than the lengths before the last, or would make the last extent longer
 * than the space reserved for it (its per-device span raised to the chunk size, on every
 * member). -1 is also a possible difference. */
TIO_API int64_t tio_finalize_det(TioHandle *handle, const char *path, int64_t final_size);

/* tio_write_det and tio_update_det on a record instead of a handle. */
TIO_API int64_t writeDetLock(FsProps *props, const char *path, int64_t size);
TIO_API int64_t updateDet(FsProps *props, const char *path, int64_t size);
/* Takes the lock file at lock_path (createLock) and searches (determineOffset); the lock
 * is still held on return. The search's result; -1 when the lock cannot be taken. */
TIO_API int64_t getAllocation(FsProps *props, int32_t pid, int64_t size, const char *lock_path);
/* Best-fit search among the extents of every ".det" file in the header directory (read
 * only, no lock): the offset of the smallest gap that holds size (among equal gaps the
 * highest); 0 when the directory holds nothing but the caller's provisional entry; -1
 * when nothing fits, the directory cannot be listed, or the record is unusable (message).
 * A reservation file named by this engine whose writer no longer exists and that has not
 * been written for a minute is not counted; a search under the lock (getAllocation, and
 * every allocation) removes it. */
TIO_API int64_t determineOffset(FsProps *props, int64_t size);
/* Takes the lock file: a lock held by anyone costs one 100 ms pause, then the file holds
 * pid as "%08d\n"; a file that does not hold exactly those 9 bytes is recreated, and the
 * file's mode gains read and write for others. pid; -1 with a message when the file can
 * be neither opened nor created. */
TIO_API int32_t createLock(int32_t pid, const char *lock_path);
/* Releases the lock file: when it still holds pid, writes "00000000" over the id (the
 * newline stays) and returns offset; when it holds anything else, leaves it and returns
 * -size; -1 when it cannot be opened or holds no number. */
TIO_API int64_t removeLock(int32_t pid, int64_t offset, int64_t size, const char *lock_path);
/* value raised to a multiple of unit (value itself for unit < 1), saturated at the 64-bit
 * range. */
TIO_API int64_t stripeAlign(int64_t value, int64_t unit);
/* new_offset when it lies exactly at the per-device end of an extent whose length is a
 * multiple of stripe_count (last_offset + last_length / stripe_count); -1 otherwise. */
TIO_API int64_t isDetContinuous(int32_t stripe_count, int64_t last_offset, int64_t last_length,
                                int64_t new_offset);
/* Reseeds the process's rand() with the time in seconds and returns its first value (0
 * or more): callers within one second get the same number. */
TIO_API int32_t getRandom(void);

/* ".det" files one by one. None of these takes the lock. */

/* Creates (or truncates) path and writes count entries. 0; -1 when it cannot be created
 * or not every byte reached the file. */
TIO_API int32_t writeDet(const char *path, int32_t count, const int64_t *offsets,
                         const int64_t *lengths);
/* Reads the first count entries of path. 0; -5 when it cannot be opened or holds fewer
 * (the slots read before stay filled). */
TIO_API int32_t readDet(const char *path, int32_t count, int64_t *offsets, int64_t *lengths);
/* The size that stat reports (links followed), or -1. */
TIO_API int64_t getFileSize(const char *path);
/* Entries of path (size / 16); 0 when it is missing or its size is not a multiple of 16. */
TIO_API int32_t getDetEntries(const char *path);
/* total = the sum of path's lengths. 0; -5 when it cannot be opened or read whole (total
 * then holds the sum so far). */
TIO_API int32_t accumDetSize(const char *path, int64_t *total);
/* Where extension begins in name when name ends with it (case-sensitive); -1 otherwise. */
TIO_API int32_t isExt(const char *name, const char *extension);
/* Entries in all regular files of directory whose names end in extension and are longer
 * than it. -1 when the directory cannot be listed. */
TIO_API int32_t countDir(const char *directory, const char *extension);
/* Reads the entries of every such ".det" file of directory into the arrays, file after
 * file in listing order; a file that cannot be read whole adds nothing. 0; -5 when the
 * entries exceed capacity; -1 when the directory cannot be listed. */
TIO_API int32_t getAllDets(const char *directory, int32_t capacity, int64_t *offsets,
                           int64_t *lengths);
/* Sorts the entries by ascending offset in place; equal offsets end in reverse input
 * order. Always 0. */
TIO_API int32_t sortDets(int32_t count, int64_t *offsets, int64_t *lengths);
/* tio_finalize_det without the handle; props gives the space reserved for the last
 * extent (without it, that extent may only shrink). */
TIO_API int64_t finalizeDet(FsProps *props, const char *path, int64_t final_size);

/* ---- Striped transfers ------------------------------------------------------------- */
/* Write: tio_set_offset, any number of tio_write, tio_wait_threads. Read: tio_set_offset
 * (and tio_seek), tio_launch_read_threads, tio_read calls that together ask for no more
 * than the planned total, tio_join_threads. Chunk k of a stream lies on member k mod S. */

/* Positions every member at offset + its table offset + the table's start (waiting for
 * nothing: every tio_write has written its bytes when it returned), and starts a new
 * stream on member 0. 0, or
 * -1 with a message (not initialised; "Error! Couldn't perform seek": a position out of
 * range or refused, or with direct I/O not on a block of the member; the members before it
 * stay positioned). */
TIO_API int32_t tio_set_offset(TioHandle *handle, int64_t offset);
/* Moves every member by the whole stripes in offset (relative, one chunk per stripe);
 * returns the rest below one stripe, which is not applied. -1 when a move fails (no
 * message; earlier members stay moved) or not initialised (message). */
TIO_API int32_t tio_seek(TioHandle *handle, int64_t offset);
/* Writes length bytes of the stream to the members, straight from buffer (through the
 * staging buffers only where direct I/O cannot take the caller's memory or a partial
 * block: such a block is written padded with zeros inside its chunk and rewritten whole
 * by the call that continues it), shared between the caller's thread and the workers';
 * buffer is free again on return. length (its low 32 bits); 0 for 0; -1 for a negative
 * length or null buffer, or with a message (not initialised, not in write mode, too many
 * chunks for one call). A failed device write shows at tio_wait_threads. */
TIO_API int32_t tio_write(TioHandle *handle, const void *buffer, int64_t length);
/* Reports the writes of the tio_write calls since the last report (each of them wrote
 * before it returned, so this waits for nothing). 0, or -1 when a device write
 * failed since the last report: one line names the member and the reason of the first
 * failure and counts the others. */
TIO_API int32_t tio_wait_threads(TioHandle *handle);
/* Ends any earlier read sequence, plans a read of total bytes from the members' current
 * positions (a new stream from member 0) and starts one thread per worker, which reads
 * the first chunk of each of its members ahead. 0; 0 without doing anything in write mode;
 * -1 for a negative total, or with a message (too large, not initialised, a thread not
 * started). After a sequence the members stand behind the chunks its tio_read calls took. */
TIO_API int32_t tio_launch_read_threads(TioHandle *handle, int64_t total);
/* Reads the sequence's next ceil(length / chunk_size) chunks into buffer (straight, but
 * for the chunks read ahead and, with direct I/O, what the caller's memory or a partial
 * block does not allow), each whole as its member delivered it: buffer needs room for them
 * all unless the last is the sequence's shorter final chunk, and with direct I/O only the
 * data file's bytes of a rounded-up last block arrive. length (its low 32 bits); 0 for 0;
 * -1 for a negative length or null buffer,
 * or with a message (not initialised; more chunks than the plan holds: nothing copied; a
 * member's read failed or delivered less than the plan holds: one line names the member
 * of the first such chunk and counts the others; the bytes that arrived are copied, the
 * rest of buffer is not touched). */
TIO_API int32_t tio_read(TioHandle *handle, void *buffer, int64_t length);
/* Ends the read sequence's threads, waiting for a read ahead in progress; a sequence not
 * read to the end is cut short first. 0; -1 in write mode (whose threads end only in
 * tio_close). */
TIO_API int32_t tio_join_threads(TioHandle *handle);
/* The plan of a read sequence of total bytes (tio_launch_read_threads calls it): the
 * whole stripes read from every member, then each member's final piece (what remains of
 * its share of the stream). Starts no thread. 0; -1 for a negative total, or with a
 * message (too large, not initialised). */
TIO_API int32_t mapReads(TioHandle *handle, int64_t total);
/* Bytes that the next chunk of the current read sequence holds by its plan, that is what
 * the next tio_read copies for its first chunk: a whole chunk, or the sequence's shorter
 * final chunk. 0 when the sequence has no chunk left, and when none runs (not initialised,
 * write mode, before tio_launch_read_threads, after tio_join_threads). Touches no file. */
TIO_API int64_t tio_next_chunk_bytes(TioHandle *handle);

/* ---- Workers' threads, and the described pipeline steps ---------------------------- */
/* Each worker has a thread (write mode: from tio_init to tio_close; read mode: for one read
 * sequence) that takes part in the transfer calls: a call shares its members out between
 * the caller's thread and the woken workers, moves whole chunks straight between the
 * caller's buffer and the members, and returns when every member is done. Per member, two
 * staging buffers form a queue of depth two between a filling side and an emptying side;
 * the engine stages through them only the first chunk of a read sequence, read ahead, and
 * what direct I/O cannot take from or give to the caller's memory.
 *
 * The steps and thread bodies below drive the staging buffers chunk by chunk: "read_" ones
 * fill the buffers (from a caller's buffer in write mode, from the member in read mode),
 * "write_" ones empty them. They are exported and work for callers that drive a handle's
 * staging buffers themselves; the engine's own calls do not use them. */

/* Per-chunk steps; each waits for its next buffer, moves one chunk and hands it over.
 * perform_read_buff copies length bytes from user_buffer at the member's user_offset and
 * perform_write_buff copies a buffer back there; both then step user_offset on by one
 * stripe. perform_read_disk reads up to length bytes from the member at its position and
 * notes in the buffer how many it asked for and the read's errno; perform_write_disk
 * writes a buffer to the member at its position (with direct I/O padded to whole blocks,
 * so whole chunks). Both move the position on by the chunk, also when the transfer fails
 * or is short. None of them prints, and failures met by the steps called on their own are
 * dropped. */
TIO_API void perform_read_buff(TioDevice *device, uint8_t *user_buffer, int64_t length);
TIO_API void perform_read_disk(TioDevice *device, int64_t length);
TIO_API void perform_write_disk(TioDevice *device);
TIO_API void perform_write_buff(TioDevice *device, uint8_t *user_buffer);
/* Thread bodies of the steps, each given its TioWorker: write_disk empties the members'
 * buffers to the members until stop (counting them in chunks_done, its failures in
 * write_failure), read_disk fills them by the read plan (read_stripes, read_tail),
 * read_buff fills them from user_buffer for one write (read_stripes, read_tail, head_skip),
 * write_buff empties them into user_buffer for one read (write_stripes, write_extra, its
 * failures in read_failure). Return null. */
TIO_API void *write_disk(void *worker);
TIO_API void *read_disk(void *worker);
TIO_API void *read_buff(void *worker);
TIO_API void *write_buff(void *worker);
/* Write mode: starts a thread for every worker that has none (tio_init calls it). 0;
 * 0 without doing anything in read mode; -1 when a thread could not be started. */
TIO_API int32_t launch_write_threads(TioHandle *handle);
/* tio_close's shutdown: ends every worker's thread, closes the members and destroys the
 * locks; the blocks stay for tio_close. 0. */
TIO_API int32_t join_unlock(TioHandle *handle);
/* Sleeps that resume after signals for the time left: a request; nanoseconds below one
 * second (anything else returns at once); milliseconds. Always 1. */
TIO_API int32_t __nsleep(const struct timespec *request, struct timespec *remainder);
TIO_API int32_t nsleep(int64_t nanoseconds);
TIO_API int32_t msleep(uint64_t milliseconds);

/* ---- Utilities --------------------------------------------------------------------- */
/* For outside callers; nothing in the engine calls them. Division by zero gives 0 and
 * results beyond their type saturate. */

/* Store a 64-bit value, a double or a 32-bit value in a slot; load a 64-bit slot. */
TIO_API void packX(void *destination, int64_t value);
TIO_API void packD(double *destination, double value);
TIO_API void packL(int32_t *destination, int32_t value);
TIO_API int64_t unpackX(const void *source);
/* (a + b - 1) / b and a / b, both truncated toward zero, in 32 bits, 64 bits or double
 * precision (the double forms truncated to 64 bits; NaN gives 0). */
TIO_API int32_t ceil_int(int32_t a, int32_t b);
TIO_API int32_t floor_int(int32_t a, int32_t b);
TIO_API int64_t ceil_off(int64_t a, int64_t b);
TIO_API int64_t floor_off(int64_t a, int64_t b);
TIO_API int64_t ceil_double(double a, double b);
TIO_API int64_t floor_double(double a, double b);
/* The count lengths, each raised to a multiple of chunk_size, summed; 0 for count < 1, a
 * null record or null lengths. The third argument is not read. */
TIO_API int64_t getFsUsed(FsProps *props, int32_t count, void *unused, const int64_t *lengths);
/* Wall-clock seconds since the Epoch, to the microsecond. */
TIO_API double get_time(void);

#ifdef __cplusplus
}
#endif

#endif /* TIO_H */

#!/usr/bin/python3
"""kelfs through real mounts.

Volumes of member files are made and data files recorded into them through the engine
(volume_tool); kelfs mounts them on temporary directories, with its standard input from
/dev/null and auto_unmount as a safety net. Every mount is unmounted and its daemon
reaped on every path, failures included. The expected bytes come from the recorded
source files and from an independent computation of where each byte lies on the members.

Exits 77 (skipped) with a message when mounts are not possible here.
"""

import argparse
import contextlib
import ctypes
import errno
import mmap
import os
import random
import shutil
import signal
import stat
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest

KELFS = None
VOLUME_TOOL = None
SKIP = 77
MOUNT_LIMIT_SECONDS = 10
# New data files and new sizes must show within this long.
UPDATE_LIMIT_SECONDS = 1.0


def mounted(mount_point):
    with open("/proc/self/mountinfo") as table:
        return any(line.split()[4] == mount_point for line in table)


def mount_points(mount_point):
    """How many mounts there are at mount_point."""
    with open("/proc/self/mountinfo") as table:
        return sum(line.split()[4] == mount_point for line in table)


def wait_until(condition, limit):
    deadline = time.monotonic() + limit
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(0.02)
    return condition()


def exists(path):
    try:
        os.stat(path)
        return True
    except OSError:
        return False


def children(name):
    """(pid, state) of the processes of that name whose parent is this process. It is a
    subreaper, so background daemons and the fusermount3 that watches a mount come to it
    when their parent ends."""
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % entry) as status:
                fields = status.read().rsplit(")", 1)[1].split()
            with open("/proc/%s/comm" % entry) as comm:
                command = comm.read().strip()
        except OSError:
            continue
        if command == name and int(fields[1]) == os.getpid():
            found.append((int(entry), fields[0]))
    return found


def kelfs_children():
    return [pid for pid, state in children("kelfs") if state != "Z"]


def reap_watchers():
    """Waits for the fusermount3 processes that watched ended mounts, and reaps them."""
    assert wait_until(lambda: all(state == "Z" for _, state in children("fusermount3")), MOUNT_LIMIT_SECONDS), \
        "a fusermount3 still runs"
    for pid, _ in children("fusermount3"):
        os.waitpid(pid, 0)


def force_unmount(mount_point):
    if mounted(mount_point):
        subprocess.run(["fusermount3", "-u", "-z", mount_point], stderr=subprocess.DEVNULL)


class Kelfs:
    """A kelfs process in the foreground (-f) serving one mount; ended and reaped on exit."""

    def __init__(self, config, mount_point, options=("auto_unmount",), ready_file=None):
        self.mount_point = mount_point
        self.stderr = tempfile.TemporaryFile()
        args = [KELFS, config, mount_point, "-f"]
        if options:
            args += ["-o", ",".join(options)]
        self.process = subprocess.Popen(args, stdin=subprocess.DEVNULL, stderr=self.stderr)
        self.returncode = None
        # How the daemon must end, checked when the mount is left without a failure.
        self.expected_status = 0
        ready = (lambda: exists(os.path.join(mount_point, ready_file))) if ready_file else (
            lambda: mounted(mount_point) and os.listdir(mount_point) is not None)
        if not wait_until(lambda: self.process.poll() is not None or ready(), MOUNT_LIMIT_SECONDS) or \
                self.process.poll() is not None:
            error = self.error_text()
            self.close()
            raise AssertionError("kelfs did not mount %s: %s" % (mount_point, error))

    def error_text(self):
        self.stderr.seek(0)
        return self.stderr.read().decode(errors="replace")

    def unmount(self):
        """fusermount3 -u, then the daemon's status."""
        subprocess.run(["fusermount3", "-u", self.mount_point], check=True)
        return self.wait()

    def wait(self, limit=MOUNT_LIMIT_SECONDS):
        try:
            self.returncode = self.process.wait(limit)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.returncode = self.process.wait()
            force_unmount(self.mount_point)
            raise AssertionError("kelfs did not end within %s s" % limit)
        return self.returncode

    def close(self):
        if self.process.poll() is None:
            force_unmount(self.mount_point)
            self.wait()
        self.returncode = self.process.returncode
        force_unmount(self.mount_point)
        self.final_error = self.error_text()
        self.stderr.close()
        reap_watchers()

    def __enter__(self):
        return self

    def __exit__(self, kind, *exc):
        self.close()
        assert not mounted(self.mount_point), "still mounted: " + self.mount_point
        if kind is None:
            assert self.returncode == self.expected_status, \
                "kelfs ended with %s: %s" % (self.returncode, self.final_error)
            assert self.expected_status != 0 or self.final_error == "", "kelfs wrote: " + self.final_error


class Volume:
    """A volume of member files made by volume_tool, its data files and where their bytes lie."""

    def __init__(self, root, members, chunk, member_bytes, start_sectors=None, offset_sectors=None):
        self.directory = os.path.join(root, "vol%d_%d" % (members, chunk))
        os.mkdir(self.directory)
        command = [VOLUME_TOOL, "volume", self.directory, str(members), str(chunk), str(member_bytes)]
        if start_sectors is not None:
            command += [str(start_sectors)] + [str(o) for o in offset_sectors]
        self.config = subprocess.run(command, check=True, capture_output=True, text=True).stdout.strip()
        self.headers = os.path.join(self.directory, "headers")
        self.mount_point = os.path.join(self.directory, "mnt")
        os.mkdir(self.mount_point)
        self.sources = {}
        self._read_table()

    def _read_table(self):
        with open(os.path.join(self.directory, "volume.table")) as table:
            words = table.read().split()
        self.start = int(words[0]) * 512
        self.members = int(words[3])
        self.chunk = int(words[4]) * 512
        self.member_paths = words[5::2]
        self.member_offsets = [int(w) * 512 for w in words[6::2]]
        self.stripe = self.chunk * self.members

    def source(self, name, size, seed):
        path = os.path.join(self.directory, name + ".source")
        with open(path, "wb") as out:
            out.write(random.Random(seed).randbytes(size))
        self.sources[name] = path
        return path

    def record(self, *steps):
        subprocess.run([VOLUME_TOOL, "record", self.config] + list(steps), check=True)

    def det_path(self, name):
        return os.path.join(self.headers, name + ".det")

    def entries(self, name):
        with open(self.det_path(name), "rb") as det:
            data = det.read()
        return [struct.unpack_from("<qq", data, at) for at in range(0, len(data) - len(data) % 16, 16)]

    def size(self, name):
        return max(0, sum(length for _, length in self.entries(name)))

    def read_by_layout(self, name, offset, size):
        """Bytes [offset, offset + size) of the data file, read from the members: chunk k of
        an extent's stream lies on member k mod S, (k div S) chunks into the member's part of
        the extent, which begins at start + member offset + extent offset."""
        end = min(offset + size, self.size(name))
        out = bytearray()
        extent_start = 0
        for extent_offset, length in self.entries(name):
            extent_end = extent_start + max(length, 0)
            while offset < end and offset < extent_end:
                index = offset - extent_start
                chunk_index, within = divmod(index, self.chunk)
                member = chunk_index % self.members
                position = (self.start + self.member_offsets[member] + extent_offset +
                            (chunk_index // self.members) * self.chunk + within)
                count = min(self.chunk - within, end - offset, extent_end - offset)
                with open(self.member_paths[member], "rb") as device:
                    device.seek(position)
                    piece = device.read(count)
                assert len(piece) == count, "member %d is too short" % member
                out += piece
                offset += count
            extent_start = extent_end
        return bytes(out)

    def mount(self, **options):
        return Kelfs(self.config, self.mount_point, **options)


def read_at(path, offset, size, flags=0):
    fd = os.open(path, os.O_RDONLY | flags)
    try:
        return os.pread(fd, size, offset)
    finally:
        os.close(fd)


def read_fully(path, offset, size):
    """Reads until size bytes or the end of the file; a read error raises OSError (a read
    may first return the bytes before the failing page, as reads do)."""
    data = bytearray()
    with open(path, "rb", buffering=0) as source:
        while len(data) < size:
            piece = os.pread(source.fileno(), size - len(data), offset + len(data))
            if not piece:
                break
            data += piece
    return bytes(data)


def record_fixture(volume):
    """Data files of the volume, recorded through the engine in uneven write calls:
    "movie" in three extents, the second apart from the first (another data file lies
    between them) and the third merged into the second; "other" one stripe; "tiny" one
    byte; "reserved" with bytes reserved but not yet written; "empty" without extents.
    Returns {name: expected size}."""
    stripe = volume.stripe
    first, second, third = 7 * stripe // 3 + 1001, 6 * stripe, 2 * stripe + 12345
    movie = volume.source("movie", first + second + third, 1)
    other = volume.source("other", stripe, 2)
    tiny = volume.source("tiny", 1, 3)
    reserved = volume.source("reserved", stripe, 4)
    volume.record("new:movie:%s:0:%d" % (movie, first),
                  "new:other:%s:0:%d" % (other, stripe),
                  "grow:movie:%s:%d:%d" % (movie, first, second),
                  "grow:movie:%s:%d:%d" % (movie, first + second, third),
                  "finalize:movie:%d" % (first + second + third),
                  "new:tiny:%s:0:1" % tiny,
                  "new:reserved:%s:0:%d:%d" % (reserved, stripe, 3 * stripe))
    open(volume.det_path("empty"), "wb").close()
    assert len(volume.entries("movie")) == 2, "the third extent of movie should merge into the second"
    return {"movie": first + second + third, "other": stripe, "tiny": 1, "reserved": 3 * stripe, "empty": 0}


# Geometries the engine accepts: power-of-two chunks from offset 0, and a chunk of 12 KiB
# (24 sectors) with a table start and member offsets.
GEOMETRIES = [
    dict(members=4, chunk=64 * 1024, member_bytes=16 << 20),
    dict(members=3, chunk=12 * 1024, member_bytes=700 * 12 * 1024, start_sectors=40, offset_sectors=[8, 24, 16]),
]


class MountTest(unittest.TestCase):
    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="kelfs_test_")
        self.addCleanup(shutil.rmtree, self.root, True)

    def volume(self, geometry=GEOMETRIES[0]):
        return Volume(self.root, **geometry)


class Contents(MountTest):
    def check_geometry(self, geometry):
        volume = self.volume(geometry)
        sizes = record_fixture(volume)
        with volume.mount(ready_file="movie"):
            mnt = volume.mount_point
            self.assertEqual(sorted(os.listdir(mnt)), sorted(sizes))
            for name, size in sizes.items():
                info = os.stat(os.path.join(mnt, name))
                self.assertEqual(info.st_mode, stat.S_IFREG | 0o444, name)
                self.assertEqual(info.st_size, size, name)
                self.assertEqual(info.st_mtime_ns, os.stat(volume.det_path(name)).st_mtime_ns, name)
            self.check_cmp_and_dd(volume)
            self.check_random_reads(volume, sizes)
            self.check_mmap(volume)
            self.check_direct_io(volume)

    def check_cmp_and_dd(self, volume):
        mnt = volume.mount_point
        for name in ("movie", "other", "tiny"):
            subprocess.run(["cmp", volume.sources[name], os.path.join(mnt, name)], check=True)
        with open(volume.sources["reserved"], "rb") as source:
            self.assertEqual(read_at(os.path.join(mnt, "reserved"), 0, volume.stripe), source.read())
        with open(volume.sources["movie"], "rb") as source:
            movie = source.read()
        for block, skip, count in ((12347, 3, 20), (1 << 20, 1, 2), (4093, 0, 1000), (777, 2500, 7)):
            out = subprocess.run(["dd", "if=" + os.path.join(mnt, "movie"), "bs=%d" % block, "skip=%d" % skip,
                                  "count=%d" % count, "status=none"], check=True, capture_output=True).stdout
            self.assertEqual(out, movie[block * skip:block * (skip + count)], "dd bs=%d skip=%d" % (block, skip))

    def check_random_reads(self, volume, sizes):
        rng = random.Random(5)
        for name in ("movie", "reserved"):
            path, size = os.path.join(volume.mount_point, name), sizes[name]
            ends, at = [], 0
            for _, length in volume.entries(name):
                at += length
                ends.append(at)
            edges = [k * step + d for step in (volume.chunk, volume.stripe) for k in range(0, size // step + 2)
                     for d in (-1, 0, 1)] + [e + d for e in ends + [size] for d in (-2, -1, 0, 1, 2)]
            offsets = [e for e in edges if e >= 0] + [rng.randrange(size + 100) for _ in range(200)]
            with open(path, "rb", buffering=0) as mounted_file:
                for offset in offsets:
                    count = rng.choice([1, 2, 100, volume.chunk - 1, volume.chunk + 1, volume.stripe + 7,
                                        rng.randrange(3 * volume.stripe)])
                    got = os.pread(mounted_file.fileno(), count, offset)
                    self.assertEqual(got, volume.read_by_layout(name, offset, count),
                                     "%s: %d bytes at %d" % (name, count, offset))
                    self.assertEqual(len(got), max(0, min(count, size - offset)))

    def check_mmap(self, volume):
        import numpy
        with open(volume.sources["movie"], "rb") as source:
            movie = source.read()
        path = os.path.join(volume.mount_point, "movie")
        with open(path, "rb") as mounted_file:
            with mmap.mmap(mounted_file.fileno(), 0, access=mmap.ACCESS_READ) as shared:
                self.assertEqual(shared[:], movie)
            with mmap.mmap(mounted_file.fileno(), 0, flags=mmap.MAP_PRIVATE, prot=mmap.PROT_READ) as private:
                self.assertEqual(private[:], movie)
        for mode in ("r", "c"):  # shared read-only, and private copy-on-write
            array = numpy.memmap(path, mode=mode)
            self.assertEqual(array.tobytes(), movie, "numpy.memmap mode " + mode)
            del array

    def check_direct_io(self, volume):
        with open(volume.sources["movie"], "rb") as source:
            movie = source.read()
        fd = os.open(os.path.join(volume.mount_point, "movie"), os.O_RDONLY | os.O_DIRECT)
        try:
            buffer = mmap.mmap(-1, 1 << 20)  # page-aligned
            got = bytearray()
            while True:
                count = os.preadv(fd, [buffer], len(got))
                if count == 0:
                    break
                got += buffer[:count]
            self.assertEqual(bytes(got), movie)
            count = os.preadv(fd, [buffer], 3 * 4096)
            self.assertEqual(buffer[:count], movie[3 * 4096:3 * 4096 + (1 << 20)])
        finally:
            os.close(fd)

    def test_recorded_files_read_back_exactly(self):
        for geometry in GEOMETRIES:
            with self.subTest(members=geometry["members"], chunk=geometry["chunk"]):
                self.check_geometry(geometry)

    def test_two_readers_at_once(self):
        volume = self.volume()
        record_fixture(volume)
        with volume.mount(ready_file="movie"):
            jobs = [(name, volume.sources[name]) for name in ("movie", "movie", "other")]
            results = [None] * len(jobs)

            def read(i, name, source):
                with open(os.path.join(volume.mount_point, name), "rb") as got, open(source, "rb") as want:
                    results[i] = got.read() == want.read()

            threads = [threading.Thread(target=read, args=(i,) + job) for i, job in enumerate(jobs)]
            for thread in threads:
                thread.start()
            for thread in threads:
                thread.join(60)
            self.assertEqual(results, [True] * len(jobs))


class Listing(MountTest):
    def test_only_data_files_in_state_ok_are_shown(self):
        volume = self.volume()
        record_fixture(volume)
        hidden = {
            "growing.det": struct.pack("<qqqq", 0, 100, -6, 24),  # an allocation in progress
            "r_1234000001000002.det": struct.pack("<qq", 1 << 20, 100),
            "torn.det": struct.pack("<qq", 0, 100) + b"x",
            "..det": struct.pack("<qq", 0, 10),
            ".movie.det.77.1.tmp": struct.pack("<qq", 0, 10),
        }
        for file_name, data in hidden.items():
            with open(os.path.join(volume.headers, file_name), "wb") as out:
                out.write(data)
        with volume.mount(ready_file="movie"):
            self.assertEqual(sorted(os.listdir(volume.mount_point)), ["empty", "movie", "other", "reserved", "tiny"])
            for name in ("growing", "r_1234000001000002", "torn", "movie.det"):
                with self.assertRaises(FileNotFoundError, msg=name):
                    os.stat(os.path.join(volume.mount_point, name))

    def test_recordings_appear_and_grow_while_mounted(self):
        volume = self.volume()
        stripe = volume.stripe
        source = volume.source("live", 6 * stripe + 99, 9)
        open(volume.det_path("empty"), "wb").close()
        with volume.mount(ready_file="empty"):
            path = os.path.join(volume.mount_point, "live")
            with open(os.path.join(volume.headers, "pending.det"), "wb") as out:
                out.write(struct.pack("<qq", -stripe, 3 * stripe))  # provisional: stays hidden

            volume.record("new:live:%s:0:%d" % (source, 2 * stripe + 5))
            self.assertTrue(wait_until(lambda: exists(path), UPDATE_LIMIT_SECONDS), "live did not appear")
            self.assertEqual(os.stat(path).st_size, 2 * stripe + 5)
            with open(path, "rb") as reader:
                self.check_growth(volume, source, path, reader)
            self.assertNotIn("pending", os.listdir(volume.mount_point))

    def check_growth(self, volume, source, path, reader):
        stripe = volume.stripe
        volume.record("grow:live:%s:%d:%d:%d" % (source, 2 * stripe + 5, 3 * stripe, 4 * stripe))
        self.assertTrue(wait_until(lambda: os.stat(path).st_size == 6 * stripe + 5, UPDATE_LIMIT_SECONDS),
                        "the size did not follow tio_update_det")
        volume.record("finalize:live:%d" % (5 * stripe + 5))
        self.assertTrue(wait_until(lambda: os.stat(path).st_size == 5 * stripe + 5, UPDATE_LIMIT_SECONDS),
                        "the size did not follow tio_finalize_det")
        with open(source, "rb") as want:
            self.assertEqual(os.pread(reader.fileno(), 6 * stripe, 0), want.read(5 * stripe + 5),
                             "a reader opened before the growth reads the grown file")


class Replacement(MountTest):
    def change_cases(self, volume, second, other):
        stripe = volume.stripe

        def remove():
            os.unlink(volume.det_path("x"))

        def record_again():
            remove()
            volume.record("new:x:%s:0:%d" % (second, 5 * stripe))

        def record_over():
            # tio_write_det on the existing ".det" file: truncated and allocated anew
            volume.record("new:x:%s:0:%d" % (second, 5 * stripe))

        def rename_over():
            volume.record("new:y:%s:0:%d" % (other, stripe + 7))
            os.rename(volume.det_path("y"), volume.det_path("x"))

        # (what, change, whether the new recording lands where the old one lay)
        return [("removed", remove, None),
                ("removed and recorded again", record_again, True),
                ("recorded again over its .det file", record_over, True),
                ("replaced by another .det file renamed over it", rename_over, False)]

    def test_a_descriptor_serves_only_the_recording_it_opened(self):
        volume = self.volume()
        stripe = volume.stripe
        first = volume.source("first", 3 * stripe, 11)
        second = volume.source("second", 5 * stripe, 12)
        other = volume.source("other", stripe + 7, 13)
        with open(first, "rb") as source:
            old = source.read()
        open(volume.det_path("empty"), "wb").close()
        stale = (errno.ESTALE, errno.EIO)
        with volume.mount(ready_file="empty"):
            path = os.path.join(volume.mount_point, "x")
            for what, change, same_offset in self.change_cases(volume, second, other):
                with self.subTest(what):
                    if os.path.exists(volume.det_path("x")):
                        os.unlink(volume.det_path("x"))
                    volume.record("new:x:%s:0:%d" % (first, 3 * stripe))
                    self.assertTrue(wait_until(lambda: exists(path) and os.stat(path).st_size == 3 * stripe,
                                               UPDATE_LIMIT_SECONDS), "x did not appear")
                    offset = volume.entries("x")[0][0]
                    buffered = os.open(path, os.O_RDONLY)
                    direct = os.open(path, os.O_RDONLY | os.O_DIRECT)
                    try:
                        buffer = mmap.mmap(-1, 4096)  # page-aligned, for O_DIRECT
                        self.assertEqual(os.pread(buffered, 4096, 0), old[:4096])
                        self.assertEqual(os.preadv(direct, [buffer], 0), 4096)
                        change()
                        if same_offset:
                            self.assertEqual(volume.entries("x")[0][0], offset, "the fixture should land in place")
                        with self.assertRaises(OSError, msg="a direct read") as caught:
                            os.preadv(direct, [buffer], 0)
                        self.assertIn(caught.exception.errno, stale)
                        time.sleep(0.6)  # the kernel asks again once the attributes it holds are old
                        for fd in (buffered, direct):
                            with self.assertRaises(OSError, msg="fstat") as caught:
                                os.fstat(fd)
                            self.assertIn(caught.exception.errno, stale)
                        if exists(volume.det_path("x")):
                            # A reader of the new recording, and the old descriptors still
                            # give only the old recording's bytes (from the page cache) or fail.
                            self.assertTrue(wait_until(lambda: exists(path) and os.stat(path).st_size ==
                                                       volume.size("x"), UPDATE_LIMIT_SECONDS))
                            with open(path, "rb") as reader:
                                self.assertEqual(reader.read(), volume.read_by_layout("x", 0, volume.size("x")))
                        for at in (0, 3 * stripe - 4096, 4 * stripe):
                            try:
                                got = os.pread(buffered, 4096, at)
                            except OSError as error:
                                self.assertIn(error.errno, stale)
                                continue
                            self.assertEqual(got, old[at:at + 4096], "a buffered read at %d" % at)
                    finally:
                        os.close(buffered)
                        os.close(direct)


class ReadOnly(MountTest):
    def test_every_change_is_refused_with_erofs(self):
        volume = self.volume()
        record_fixture(volume)
        before = {name: os.stat(os.path.join(volume.headers, name)).st_mtime_ns for name in os.listdir(volume.headers)}
        with volume.mount(ready_file="movie"):
            mnt = volume.mount_point
            movie, new = os.path.join(mnt, "movie"), os.path.join(mnt, "new")
            changes = {
                "open for writing": lambda: os.open(movie, os.O_WRONLY),
                "open for reading and writing": lambda: os.open(movie, os.O_RDWR),
                "open with truncation": lambda: os.open(movie, os.O_RDONLY | os.O_TRUNC),
                "create": lambda: os.open(new, os.O_WRONLY | os.O_CREAT, 0o644),
                "unlink": lambda: os.unlink(movie),
                "rename": lambda: os.rename(movie, new),
                "truncate": lambda: os.truncate(movie, 0),
                "chmod": lambda: os.chmod(movie, 0o666),
                "chown": lambda: os.chown(movie, 1, 1),
                "utime": lambda: os.utime(movie, (1, 1)),
                "mkdir": lambda: os.mkdir(new),
                "symlink": lambda: os.symlink("movie", new),
                "link": lambda: os.link(movie, new),
                "mknod": lambda: os.mknod(new, stat.S_IFIFO | 0o644),
                "setxattr": lambda: os.setxattr(movie, "user.note", b"x"),
                "removexattr": lambda: os.removexattr(movie, "user.note"),
            }
            for what, change in changes.items():
                with self.subTest(what):
                    with self.assertRaises(OSError) as caught:
                        change()
                    self.assertEqual(caught.exception.errno, errno.EROFS, what)
            self.assertEqual(sorted(os.listdir(mnt)), ["empty", "movie", "other", "reserved", "tiny"])
        self.assertEqual({name: os.stat(os.path.join(volume.headers, name)).st_mtime_ns
                          for name in os.listdir(volume.headers)}, before, "the header directory changed")


class Lifecycle(MountTest):
    def test_ends_cleanly_with_status_0(self):
        volume = self.volume()
        record_fixture(volume)
        endings = {
            "fusermount3 -u": lambda kelfs: subprocess.run(["fusermount3", "-u", volume.mount_point], check=True),
            "SIGINT": lambda kelfs: kelfs.process.send_signal(signal.SIGINT),
            "SIGTERM": lambda kelfs: kelfs.process.send_signal(signal.SIGTERM),
            "SIGHUP": lambda kelfs: kelfs.process.send_signal(signal.SIGHUP),
        }
        for how, end in endings.items():
            with self.subTest(how):
                with volume.mount(ready_file="movie") as kelfs:
                    end(kelfs)
                    self.assertEqual(kelfs.wait(), 0, kelfs.error_text())
                    self.assertFalse(mounted(volume.mount_point))
                    self.assertEqual(kelfs.error_text(), "")

    def test_background_once_usable_at_the_configured_fusepath(self):
        volume = self.volume()
        record_fixture(volume)
        endings = {
            "fusermount3 -u": lambda daemon: subprocess.run(["fusermount3", "-u", volume.mount_point], check=True),
            "SIGTERM": lambda daemon: os.kill(daemon, signal.SIGTERM),
        }
        for how, end in endings.items():
            with self.subTest(how):
                # No MOUNTPOINT: the configuration's FUSEPATH, DIR/mnt.
                with background([volume.config, "-o", "auto_unmount"], volume.mount_point) as started:
                    self.assertEqual((started.returncode, started.stdout, started.stderr), (0, "", ""))
                    daemons = kelfs_children()
                    self.assertEqual(len(daemons), 1, "one daemon runs in the background")
                    # Usable when the command returns: no waiting.
                    self.assertIn("movie", os.listdir(volume.mount_point))
                    subprocess.run(["cmp", volume.sources["movie"], os.path.join(volume.mount_point, "movie")],
                                   check=True)
                    end(daemons[0])
                    self.assertEqual(wait_for_daemon(daemons[0]), 0)
                    self.assertFalse(mounted(volume.mount_point))

    def test_exits_0_only_once_the_mount_answers(self):
        volume = self.volume()
        record_fixture(volume)
        mnt = volume.mount_point
        cases = [
            # A largest read below kelfs's own is the user's to choose.
            ("max_read=131072", 0),
            # Request buffers too small for the kernel: the daemon fails at its first request.
            ("max_write=1", 1),
        ]
        for options, status in cases:
            with self.subTest(options):
                with background([volume.config, mnt, "-o", options], mnt) as started:
                    self.assertEqual((started.returncode, started.stdout), (status, ""), started.stderr)
                    if status == 0:
                        self.assertEqual(started.stderr, "")
                        self.assertIn(options, mount_options(mnt))
                        subprocess.run(["cmp", volume.sources["movie"], os.path.join(mnt, "movie")], check=True)
                        daemons = kelfs_children()
                        subprocess.run(["fusermount3", "-u", mnt], check=True)
                        self.assertEqual(wait_for_daemon(daemons[0]), 0)
                    else:
                        lines = started.stderr.splitlines()
                        self.assertEqual(len(lines), 1, started.stderr)
                        self.assertTrue(lines[0].startswith("kelfs: "), lines[0])
                        self.assertFalse(mounted(mnt), "mounted although it failed")
                        self.assertEqual(children("kelfs"), [], "a kelfs process was left")

    def test_a_killed_daemon_leaves_a_mount_that_fusermount3_clears(self):
        volume = self.volume()
        record_fixture(volume)
        with volume.mount(options=(), ready_file="movie") as kelfs:
            kelfs.expected_status = -signal.SIGKILL
            kelfs.process.kill()
            self.assertEqual(kelfs.wait(), -signal.SIGKILL)
            self.assertTrue(mounted(volume.mount_point))
            with self.assertRaises(OSError) as caught:
                os.listdir(volume.mount_point)
            self.assertEqual(caught.exception.errno, errno.ENOTCONN)
            subprocess.run(["fusermount3", "-u", volume.mount_point], check=True)
            self.assertFalse(mounted(volume.mount_point))


def wait_for_daemon(pid, limit=MOUNT_LIMIT_SECONDS):
    """The exit status of a daemon that was handed to this process."""
    deadline = time.monotonic() + limit
    while time.monotonic() < deadline:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            return os.waitstatus_to_exitcode(status)
        time.sleep(0.02)
    os.kill(pid, signal.SIGKILL)
    os.waitpid(pid, 0)
    raise AssertionError("daemon %d did not end" % pid)


def mount_options(mount_point):
    """The options of the newest mount at mount_point, its own and its file system's."""
    options = ""
    with open("/proc/self/mountinfo") as table:
        for line in table:
            fields = line.split()
            if fields[4] == mount_point:
                options = fields[5] + "," + fields[fields.index("-") + 3]
    return options.split(",")


@contextlib.contextmanager
def background(args, mount_point):
    """kelfs started without -f and run to its end: yields its result (text). Afterwards
    every daemon it left is ended and reaped and nothing is mounted at mount_point."""
    started = subprocess.run([KELFS] + args, stdin=subprocess.DEVNULL, capture_output=True, text=True,
                             timeout=MOUNT_LIMIT_SECONDS)
    try:
        yield started
    finally:
        for pid, _ in children("kelfs"):
            with contextlib.suppress(ProcessLookupError):
                os.kill(pid, signal.SIGKILL)
            wait_for_daemon(pid)
        force_unmount(mount_point)
        reap_watchers()


class Refusals(MountTest):
    def refused(self, args, mount_point, wrapper=(), still_mounted=False):
        mounts, processes = mount_points(mount_point), children("kelfs")
        result = subprocess.run(list(wrapper) + [KELFS] + args, stdin=subprocess.DEVNULL, capture_output=True,
                                text=True, timeout=MOUNT_LIMIT_SECONDS)
        self.assertEqual(mount_points(mount_point), mounts, "mounted although refused")
        self.assertEqual(mounted(mount_point), still_mounted)
        self.assertEqual(children("kelfs"), processes, "a kelfs process was left")
        lines = result.stderr.splitlines()
        self.assertEqual(len(lines), 1, result.stderr)
        self.assertTrue(lines[0].startswith("kelfs: "), lines[0])
        self.assertEqual(result.stdout, "")
        return result.returncode, lines[0]

    def test_unusable_configurations_and_mount_points(self):
        volume = self.volume()
        record_fixture(volume)
        mnt, d = volume.mount_point, volume.directory

        def config_with_table(name, table_text):
            with open(os.path.join(d, name + ".table"), "w") as table:
                table.write(table_text)
            with open(volume.config) as config:
                text = config.read().replace(os.path.join(d, "volume.table"), os.path.join(d, name + ".table"))
            path = os.path.join(d, name + ".conf")
            with open(path, "w") as out:
                out.write(text)
            return path

        with open(os.path.join(d, "incomplete.conf"), "w") as out:
            out.write("TYPE=RAID VKPATH=%s\n" % volume.headers)
        os.mkdir(os.path.join(d, "folder"))
        m0 = volume.member_paths[0]
        missing_member = config_with_table("missing", "0 4096 striped 2 8 %s 0 %s/gone 0\n" % (m0, d))
        folder_member = config_with_table("folder", "0 4096 striped 2 8 %s 0 %s/folder 0\n" % (m0, d))
        full = os.path.join(d, "full")
        os.mkdir(full)
        open(os.path.join(full, "something"), "w").close()
        fifo = os.path.join(d, "fifo.conf")
        os.mkfifo(fifo)
        cases = [
            ("a missing configuration", [os.path.join(d, "none.conf"), mnt], "Error reading configuration file"),
            ("a FIFO as the configuration", [fifo, mnt], "fifo.conf: configuration file is not a regular file"),
            ("a directory as the configuration", [d, mnt], "configuration file is not a regular file"),
            ("an incomplete configuration", [os.path.join(d, "incomplete.conf"), mnt], "Missing field(s)"),
            ("a member that cannot be opened", [missing_member, mnt], "gone) failed: No such file or directory"),
            ("a directory as a member", [folder_member, mnt], "a member must be a regular file or a block device"),
            ("a mount point that does not exist", [volume.config, os.path.join(d, "nowhere")],
             "nowhere: No such file or directory"),
            ("a mount point that is not empty", [volume.config, full], "full: the mount point is not empty"),
            ("an option FUSE does not know", [volume.config, mnt, "-o", "no_such_option"], "fuse: "),
        ]
        for what, args, reason in cases:
            with self.subTest(what):
                status, line = self.refused(args, args[1])
                self.assertEqual(status, 1, line)
                self.assertIn(reason, line)
        with self.subTest("a command line without a configuration"):
            self.assertEqual(self.refused([], mnt)[0], 2)

    def test_a_mount_point_that_is_already_one(self):
        volume = self.volume()
        mnt = volume.mount_point
        # Nothing recorded: the view is an empty directory, as is the mount point.
        with volume.mount(ready_file=None):
            status, line = self.refused([volume.config, mnt], mnt, still_mounted=True)
            self.assertEqual(status, 1, line)
            self.assertIn(mnt + ": something is already mounted there", line)
            self.assertEqual(mount_points(mnt), 1, "mounts stacked")
        tmpfs = subprocess.run(["mount", "-t", "tmpfs", "none", mnt], capture_output=True, text=True)
        if tmpfs.returncode != 0:
            self.skipTest("cannot mount a tmpfs: " + tmpfs.stderr.strip())
        try:
            status, line = self.refused([volume.config, mnt], mnt, still_mounted=True)
            self.assertEqual(status, 1, line)
            self.assertIn("something is already mounted there", line)
        finally:
            subprocess.run(["umount", mnt], check=True)

    def test_fuse_unavailable(self):
        volume = self.volume()
        record_fixture(volume)
        probe = subprocess.run(["unshare", "-m", "true"], capture_output=True)
        if probe.returncode != 0:
            self.skipTest("no private mount namespace here: " + probe.stderr.decode().strip())
        # Inside a private mount namespace: no /dev/fuse at all, or something else in its place.
        hide_devices = "mount -t tmpfs none /dev && exec \"$@\""
        replace_device = "mount --bind /dev/null /dev/fuse && exec \"$@\""
        for what, script, options in (("no /dev/fuse", hide_devices, []),
                                      ("/dev/fuse not a FUSE device", replace_device, []),
                                      ("the same through fusermount3", replace_device, ["-o", "auto_unmount"])):
            with self.subTest(what):
                wrapper = ["unshare", "-m", "sh", "-c", script, "sh"]
                status, line = self.refused([volume.config, volume.mount_point] + options, volume.mount_point,
                                            wrapper)
                self.assertEqual(status, 1, line)
                self.assertIn("fuse", line)


class MemberFaults(MountTest):
    def check_faulty_member_spares_the_rest(self, volume, faulty_name, healthy_name):
        with volume.mount(ready_file=faulty_name):
            faulty, healthy = (os.path.join(volume.mount_point, n) for n in (faulty_name, healthy_name))
            for offset in (0, volume.stripe):
                with self.assertRaises(OSError, msg="a read from %d" % offset) as caught:
                    read_fully(faulty, offset, 4 * volume.stripe)
                self.assertEqual(caught.exception.errno, errno.EIO)
                with open(volume.sources[healthy_name], "rb") as want:
                    self.assertEqual(read_fully(healthy, 0, 1 << 20), want.read())
            self.assertIn(healthy_name, os.listdir(volume.mount_point))

    def test_a_truncated_member_gives_eio_and_other_files_are_served(self):
        volume = self.volume()
        record_fixture(volume)
        small = volume.source("small", 1000, 8)  # on member 0 only
        volume.record("new:small:%s:0:1000" % small)
        os.truncate(volume.member_paths[2], 0)
        self.check_faulty_member_spares_the_rest(volume, "movie", "small")

    def test_a_member_that_fails_reads_gives_eio(self):
        volume = self.volume()
        backing = volume.member_paths[1] + ".backing"
        shutil.copyfile(volume.member_paths[1], backing)
        attach = subprocess.run(["losetup", "--find", "--show", backing], capture_output=True, text=True)
        if attach.returncode != 0:
            self.skipTest("no loop device: " + attach.stderr.strip())
        loop = attach.stdout.strip()
        self.addCleanup(subprocess.run, ["losetup", "-d", loop])
        with open(os.path.join(volume.directory, "volume.table")) as table:
            text = table.read().replace(volume.member_paths[1] + " ", loop + " ")
        with open(os.path.join(volume.directory, "volume.table"), "w") as table:
            table.write(text)
        record_fixture(volume)
        small = volume.source("small", 1000, 8)
        volume.record("new:small:%s:0:1000" % small)
        # The loop device keeps its size, but reads beyond its backing file's end now fail.
        subprocess.run(["blockdev", "--flushbufs", loop], check=True)
        os.truncate(backing, 0)
        subprocess.run(["blockdev", "--flushbufs", loop], check=True)
        self.check_faulty_member_spares_the_rest(volume, "movie", "small")


def unavailable_reason():
    if os.geteuid() != 0:
        return "not running as root"
    if not os.path.exists("/dev/fuse"):
        return "no /dev/fuse"
    if shutil.which("fusermount3") is None:
        return "no fusermount3"
    try:
        import numpy  # noqa: F401
    except ImportError:
        return "no numpy for /usr/bin/python3 (python3-numpy)"
    root = tempfile.mkdtemp(prefix="kelfs_probe_")
    try:
        volume = Volume(root, members=1, chunk=4096, member_bytes=1 << 20)
        open(volume.det_path("probe"), "wb").close()
        try:
            with volume.mount(ready_file="probe"):
                pass
        except AssertionError as refused:
            return "a mount is refused here: %s" % refused
    finally:
        shutil.rmtree(root, True)
    return ""


def main():
    global KELFS, VOLUME_TOOL
    parser = argparse.ArgumentParser()
    parser.add_argument("--kelfs", required=True)
    parser.add_argument("--volume-tool", required=True)
    args, rest = parser.parse_known_args()
    KELFS, VOLUME_TOOL = os.path.abspath(args.kelfs), os.path.abspath(args.volume_tool)
    # Daemons that go into the background come to this process when their parent ends,
    # so that the tests can reap them and read their exit status.
    PR_SET_CHILD_SUBREAPER = 36
    ctypes.CDLL(None, use_errno=True).prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0)
    reason = unavailable_reason()
    if reason:
        print("kelfs mount tests skipped: " + reason)
        sys.exit(SKIP)
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()

#!/usr/bin/python3
"""The power-cut layer's own promises, through real mounts: each case builds a backing
directory, mounts it, acts through the mount, cuts the power (or unmounts cleanly) and
compares the backing directory with exactly what must have survived.

Exits 77 (skipped) with a message when mounts are not possible here.
"""

import argparse
import errno
import mmap
import os
import shutil
import sys
import tempfile
import unittest

from powercut_mount import SKIP, Layer, mounted, unavailable_reason

POWERCUT = None
DIR = "directory"


def link_to(target):
    return ("symlink", target)


def make_tree(root, tree):
    for path in sorted(tree):
        content, full = tree[path], os.path.join(root, path)
        if content == DIR:
            os.mkdir(full)
        else:
            with open(full, "wb") as out:
                out.write(content)


def read_tree(root):
    """{relative path: bytes, DIR or ("symlink", target)} of everything under root."""
    tree = {}
    for directory, names, files in os.walk(root):
        for name in names + files:
            full = os.path.join(directory, name)
            path = os.path.relpath(full, root)
            if os.path.islink(full):
                tree[path] = link_to(os.readlink(full))
            elif os.path.isdir(full):
                tree[path] = DIR
            else:
                with open(full, "rb") as source:
                    tree[path] = source.read()
    return tree


# What the cases do through the mount; m is the mount point.

def write(m, path, data, offset=0, create=True):
    fd = os.open(os.path.join(m, path), os.O_WRONLY | (os.O_CREAT if create else 0), 0o644)
    try:
        os.pwrite(fd, data, offset)
    finally:
        os.close(fd)


def fsync(m, path, data_only=False):
    fd = os.open(os.path.join(m, path), os.O_RDONLY)
    try:
        (os.fdatasync if data_only else os.fsync)(fd)
    finally:
        os.close(fd)


def read(m, path):
    with open(os.path.join(m, path), "rb") as source:
        return source.read()


def written_and_synced(m, path, data):
    write(m, path, data)
    fsync(m, path)


DIGITS = b"0123456789"


def truncations(m):
    os.truncate(os.path.join(m, "a"), 4)
    os.truncate(os.path.join(m, "b"), 4)
    write(m, "b", b"zz", offset=8, create=False)
    fsync(m, "b")


def unsynced_view_is_current(m):
    write(m, "f", b"ab", offset=2, create=False)
    os.truncate(os.path.join(m, "f"), 6)
    write(m, "f", b"Z", offset=8, create=False)
    assert read(m, "f") == b"01ab45\0\0Z", read(m, "f")


def unlink_then_sync_then_unlink(m):
    os.unlink(os.path.join(m, "a"))
    fsync(m, ".")
    os.unlink(os.path.join(m, "b"))


def new_directory_with_synced_file(m, sync_parent):
    os.mkdir(os.path.join(m, "d"))
    written_and_synced(m, "d/f", b"F")
    fsync(m, "d")
    if sync_parent:
        fsync(m, ".")


def links(m):
    os.link(os.path.join(m, "a"), os.path.join(m, "h"))
    os.symlink("a", os.path.join(m, "s"))
    fsync(m, ".")


def failed_sync_then_retry(m):
    write(m, "bad1", b"new", create=False)
    try:
        fsync(m, "bad1")
    except OSError as failure:
        assert failure.errno == errno.EIO, failure
    else:
        raise AssertionError("the injected fsync failure did not show")
    fsync(m, "bad1")  # nothing left to write: it succeeds
    assert read(m, "bad1") == b"old", read(m, "bad1")
    written_and_synced(m, "good", b"good")  # other files are not touched
    fsync(m, ".")


def everything_unsynced(m):
    write(m, "f", b"data")
    os.mkdir(os.path.join(m, "d"))
    write(m, "d/g", b"G")
    write(m, "bad1", b"new", create=False)


# name, files before the mount, failing patterns, the actions, how the power goes
# ("cut" or "unmount"), the backing directory afterwards.
CASES = [
    ("written and fsynced, directory not synced: gone",
     {}, (), lambda m: written_and_synced(m, "f", b"data"), "cut", {}),
    ("created and directory synced, file not synced: empty",
     {}, (), lambda m: (write(m, "f", b"data"), fsync(m, ".")), "cut", {"f": b""}),
    ("file and directory synced: whole",
     {}, (), lambda m: (written_and_synced(m, "f", b"data"), fsync(m, ".")), "cut", {"f": b"data"}),
    ("fdatasync makes the bytes durable",
     {"f": b"old!"}, (), lambda m: (write(m, "f", b"new", create=False), fsync(m, "f", data_only=True)), "cut",
     {"f": b"new!"}),
    ("overwrites and appends without fsync are dropped",
     {"f": DIGITS}, (), lambda m: (write(m, "f", b"ab", 2, False), write(m, "f", b"xyz", 10, False)), "cut",
     {"f": DIGITS}),
    ("the mount shows unsynced bytes and sizes",
     {"f": DIGITS}, (), unsynced_view_is_current, "cut", {"f": DIGITS}),
    ("a truncation is durable only after fsync",
     {"a": DIGITS, "b": DIGITS}, (), truncations, "cut", {"a": DIGITS, "b": b"0123\0\0\0\0zz"}),
    ("rename without directory sync: the old name stays",
     {"a": b"A"}, (), lambda m: os.rename(os.path.join(m, "a"), os.path.join(m, "b")), "cut", {"a": b"A"}),
    ("rename with directory sync: the new name",
     {"a": b"A"}, (), lambda m: (os.rename(os.path.join(m, "a"), os.path.join(m, "b")), fsync(m, ".")), "cut",
     {"b": b"A"}),
    ("rename across directories, both synced",
     {"d1": DIR, "d2": DIR, "d1/f": b"F"}, (),
     lambda m: (os.rename(os.path.join(m, "d1/f"), os.path.join(m, "d2/f")), fsync(m, "d1"), fsync(m, "d2")),
     "cut", {"d1": DIR, "d2": DIR, "d2/f": b"F"}),
    ("rename across directories, only the source synced: the file is lost",
     {"d1": DIR, "d2": DIR, "d1/f": b"F"}, (),
     lambda m: (os.rename(os.path.join(m, "d1/f"), os.path.join(m, "d2/f")), fsync(m, "d1")),
     "cut", {"d1": DIR, "d2": DIR}),
    ("an unlink is durable only after directory sync",
     {"a": b"A", "b": b"B"}, (), unlink_then_sync_then_unlink, "cut", {"b": b"B"}),
    ("a new directory needs its parent synced",
     {}, (), lambda m: new_directory_with_synced_file(m, sync_parent=False), "cut", {}),
    ("a new directory with its parent synced",
     {}, (), lambda m: new_directory_with_synced_file(m, sync_parent=True), "cut", {"d": DIR, "d/f": b"F"}),
    ("a hard link and a symbolic link after directory sync",
     {"a": b"A"}, (), links, "cut", {"a": b"A", "h": b"A", "s": link_to("a")}),
    ("an injected fsync failure drops the changes; the retry succeeds and saves nothing",
     {"bad1": b"old"}, ("bad*",), failed_sync_then_retry, "cut", {"bad1": b"old", "good": b"good"}),
    ("a clean unmount syncs everything but what a failed sync lost",
     {"bad1": b"old"}, ("bad*",), everything_unsynced, "unmount",
     {"bad1": b"old", "f": b"data", "d": DIR, "d/g": b"G"}),
]


class LayerTest(unittest.TestCase):
    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="powercut_test_")
        self.addCleanup(shutil.rmtree, self.root, True)

    def run_case(self, index, before, failing, actions, ending):
        backing, mount_point = (os.path.join(self.root, "%s%d" % (part, index)) for part in ("backing", "mnt"))
        os.mkdir(backing)
        os.mkdir(mount_point)
        make_tree(backing, before)
        with Layer(POWERCUT, backing, mount_point, fail_fsync=failing) as layer:
            actions(mount_point)
            status = layer.cut() if ending == "cut" else layer.unmount()
            self.assertEqual(status, 0, layer.error_text())
            self.assertEqual(layer.error_text(), "")
        self.assertFalse(mounted(mount_point))
        # Nothing is left beside the backing directory (the default scratch directory).
        self.assertEqual([name for name in os.listdir(self.root) if name.startswith(".")], [])
        return backing

    def test_cases(self):
        for index, (name, before, failing, actions, ending, after) in enumerate(CASES):
            with self.subTest(name):
                backing = self.run_case(index, before, failing, actions, ending)
                self.assertEqual(read_tree(backing), after)
                if "h" in after:  # the hard link stays one file
                    self.assertEqual(os.stat(os.path.join(backing, "a")).st_ino,
                                     os.stat(os.path.join(backing, "h")).st_ino)

    def test_direct_io_writes(self):
        def direct_write(m):
            try:
                fd = os.open(os.path.join(m, "f"), os.O_WRONLY | os.O_CREAT | os.O_DIRECT, 0o644)
            except OSError as refused:
                self.skipTest("O_DIRECT opens are refused through FUSE here: %s" % refused)
            try:
                block = mmap.mmap(-1, 8192)  # page-aligned
                block.write(b"d" * 8192)
                self.assertEqual(os.pwritev(fd, [block], 4096), 8192)
                os.fsync(fd)
            finally:
                os.close(fd)
            fsync(m, ".")

        backing = self.run_case(0, {}, (), direct_write, "cut")
        self.assertEqual(read_tree(backing), {"f": b"\0" * 4096 + b"d" * 8192})


def main():
    global POWERCUT
    parser = argparse.ArgumentParser()
    parser.add_argument("--powercut", required=True)
    args, rest = parser.parse_known_args()
    POWERCUT = os.path.abspath(args.powercut)
    reason = unavailable_reason(POWERCUT)
    if reason:
        print("powercut layer tests skipped: " + reason)
        sys.exit(SKIP)
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()

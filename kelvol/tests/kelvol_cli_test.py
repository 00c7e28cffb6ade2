#!/usr/bin/python3
"""kelvol driven as an operator drives it: round trips through the engine, writers killed
in the middle of allocations, hand-made faults, the JSON and SVG outputs, and bad input.

Run by CTest: kelvol_cli_test.py --kelvol PATH --writer PATH --sync-shim PATH --rsvg-convert PATH
"""
import argparse
import errno
import json
import os
import pty
import random
import re
import resource
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
import urllib.parse
import zlib

ARGS = None
KIB = 1024
MIB = 1024 * KIB
CHUNK = 64 * KIB
MEMBERS = 4
MEMBER_MIB = 16
STRIPE = CHUNK * MEMBERS
NOBODY = 65534


def det_bytes(entries):
    return b"".join(struct.pack("<qq", offset, length) for offset, length in entries)


def read_bytes(path):
    with open(path, "rb") as f:
        return f.read()


def write_bytes(path, data):
    with open(path, "wb") as f:
        f.write(data)


def as_nobody():
    os.setgroups([])
    os.setgid(NOBODY)
    os.setuid(NOBODY)


def start_ticks(pid):
    """Field 22 of /proc/PID/stat: the process's start time in clock ticks after boot."""
    stat_line = read_bytes("/proc/%d/stat" % pid)
    return int(stat_line[stat_line.rindex(b")") + 2:].split()[19])


def boot_id():
    return read_bytes("/proc/sys/kernel/random/boot_id").decode().strip()


def writer_mark(pid, state="recording"):
    """A writer mark's content naming process pid (live while pid runs, unless closed)."""
    return ("%s %d %d %s\n" % (state, pid, start_ticks(pid), boot_id())).encode()


def dead_pid():
    child = subprocess.Popen(["true"])
    child.wait()
    return child.pid


def gone_mark(pid):
    return ("recording %d 12345 %s\n" % (pid, boot_id())).encode()


def exact_name(row, key="name"):
    """A JSON text field as the bytes it stands for: key_bytes, percent-encoded, when the
    text is not valid UTF-8."""
    if key + "_bytes" in row:
        return urllib.parse.unquote_to_bytes(row[key + "_bytes"])
    return row[key].encode()


def age_file(path, seconds):
    then = time.time() - seconds
    os.utime(path, (then, then), follow_symlinks=False)


class Result:
    def __init__(self, completed):
        self.status = completed.returncode
        self.out = completed.stdout
        self.err = completed.stderr.decode(errors="replace")

    def json(self):
        return json.loads(self.out)


class Volume(unittest.TestCase):
    """A fresh volume of 4 members of 16 MiB with 64 KiB chunks for every test."""

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="kelvol-cli-")
        os.chmod(self.dir, 0o755)
        self.children = []
        created = self.ok("create", self.path("v"), "--members", str(MEMBERS), "--member-mib", str(MEMBER_MIB),
                          "--chunk-kib", str(CHUNK // KIB))
        self.config = created.out.decode().rstrip("\n")
        self.headers = self.path("v/headers")

    def tearDown(self):
        for child in self.children:
            if child.poll() is None:
                child.kill()
            child.wait()
        shutil.rmtree(self.dir, ignore_errors=True)

    def path(self, name):
        return os.path.join(self.dir, name)

    def det(self, name):
        return os.path.join(self.headers, name + ".det")

    def kelvol(self, *args, stdin=None, input=None, user=None, env=None, timeout=120):
        completed = subprocess.run([ARGS.kelvol, *args], stdin=stdin, input=input, stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE, timeout=timeout, preexec_fn=user, env=env)
        return Result(completed)

    def shimmed(self, **settings):
        """An environment that preloads the sync shim with these KEL_TEST_ settings."""
        env = dict(os.environ, LD_PRELOAD=ARGS.sync_shim, **settings)
        # An ASan build wants its runtime first; the shim only wraps two libc calls.
        env["ASAN_OPTIONS"] = (env.get("ASAN_OPTIONS", "") + ":verify_asan_link_order=0").lstrip(":")
        return env

    def sleeper(self):
        """A live process that the test ends."""
        child = subprocess.Popen(["sleep", "600"])
        self.children.append(child)
        return child.pid

    def ok(self, *args, **kwargs):
        result = self.kelvol(*args, **kwargs)
        self.assertEqual((result.status, result.err), (0, ""), args)
        return result

    def fails(self, status, *args, **kwargs):
        """The command fails with status and exactly one "kelvol: " line on stderr."""
        result = self.kelvol(*args, **kwargs)
        self.assertEqual(result.status, status, (args, result.err))
        lines = result.err.splitlines()
        self.assertEqual(len(lines), 1, (args, result.err))
        self.assertTrue(lines[0].startswith("kelvol: "), lines[0])
        return result

    def spawn(self, *args):
        child = subprocess.Popen([ARGS.writer, self.config, *args], stdout=subprocess.PIPE,
                                 stderr=subprocess.DEVNULL)
        self.children.append(child)
        return child

    def import_bytes(self, name, data, *extra):
        source = self.path("in-" + name)
        write_bytes(source, data)
        self.ok("import", self.config, source, name, *extra)

    def export_bytes(self, name):
        return self.ok("export", self.config, name).out

    def ls(self):
        return {row["name"]: row for row in self.ok("ls", self.config, "--json").json()}

    def df(self):
        return self.ok("df", self.config, "--json").json()

    def snapshot(self):
        """Every file of the header directory with its bytes."""
        files = {}
        for name in sorted(os.listdir(self.headers)):
            path = os.path.join(self.headers, name)
            files[name] = read_bytes(path) if os.path.isfile(path) else None
        return files


class RoundTrip(Volume):
    def test_import_then_export_gives_the_same_bytes(self):
        rng = random.Random(1)
        for size in (0, 1, CHUNK - 1, STRIPE + 1, 5 * MIB + 3):
            with self.subTest(size=size):
                data = rng.randbytes(size)
                name = "file-%d" % size
                self.import_bytes(name, data)
                self.assertEqual(self.export_bytes(name), data)
                out = self.path("out-%d" % size)
                self.ok("export", self.config, name, out)
                self.assertEqual(read_bytes(out), data)
                self.assertEqual(self.ls()[name]["size"], size)
                self.assertEqual(self.ls()[name]["state"], "ok")

    def test_stream_from_a_pipe_over_several_extents(self):
        # Gaps of exactly one extent (1 MiB over 4 members) between data files, so that the
        # stream's extents land apart and are not merged.
        for i in range(8):
            self.import_bytes("fill%d" % i, bytes([i]) * MIB)
        for i in (1, 3, 5):
            os.remove(self.det("fill%d" % i))
        data = random.Random(2).randbytes(3 * MIB + MIB // 2)
        producer = subprocess.Popen([sys.executable, "-c",
                                     "import sys\n"
                                     "d = sys.stdin.buffer.read()\n"
                                     "for at in range(0, len(d), 77777): sys.stdout.buffer.write(d[at:at + 77777]); "
                                     "sys.stdout.flush()"],
                                    stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        self.children.append(producer)
        importer = subprocess.Popen([ARGS.kelvol, "import", self.config, "-", "stream", "--extent-mib", "1"],
                                    stdin=producer.stdout, stderr=subprocess.PIPE)
        self.children.append(importer)
        producer.stdout.close()
        producer.stdin.write(data)
        producer.stdin.close()
        _, err = importer.communicate(timeout=120)
        self.assertEqual((importer.returncode, err), (0, b""))
        row = self.ls()["stream"]
        self.assertGreaterEqual(len(row["extents"]), 3)
        self.assertEqual(row["size"], len(data))
        self.assertEqual(self.export_bytes("stream"), data)

    def test_export_while_other_processes_allocate(self):
        data = random.Random(3).randbytes(4 * MIB + 17)
        self.import_bytes("steady", data)
        for seed in (1, 2):
            self.spawn("busy%d" % seed, "loop", str(seed))
        time.sleep(0.3)
        for _ in range(3):
            self.assertEqual(self.export_bytes("steady"), data)
        self.assertTrue(all(child.poll() is None for child in self.children), "the writers kept allocating")


class KilledWriters(Volume):
    def kill_loop_writers(self, rounds):
        # One writer at a time: two writers whose holds of the lock overlap can leave extents
        # that overlap when one of them is killed while it repeats a lost allocation, a
        # fault of the allocator's that this test does not look for.
        rng = random.Random(4)
        for round_number in range(rounds):
            writer = self.spawn("w%d" % round_number, "loop", str(rng.randrange(1 << 30)))
            time.sleep(rng.uniform(0.02, 0.2))
            writer.kill()
            writer.wait()

    def stall_and_kill(self, mode, word):
        writer = self.spawn(mode, mode)
        self.assertEqual(writer.stdout.readline().strip(), word.encode())
        return writer

    def test_check_lists_leftovers_and_repair_clears_them(self):
        kept = random.Random(5).randbytes(2 * MIB + 5)
        self.import_bytes("kept", kept)
        self.kill_loop_writers(rounds=12)
        # Besides the random kills, one writer killed inside an update (holding the lock,
        # its reservation recorded) and one killed while it waits for a lock held by us.
        stalled = self.stall_and_kill("stall-update", "stalled")
        stalled.kill()
        stalled.wait()
        write_bytes(os.path.join(self.headers, ".kellock"), b"%08d\n" % os.getpid())
        waiting = self.stall_and_kill("wait-lock", "ready")
        time.sleep(0.03)  # inside its 100 ms pause, its provisional entry written
        waiting.kill()
        waiting.wait()
        write_bytes(os.path.join(self.headers, ".kellock"), b"%08d\n" % stalled.pid)
        write_bytes(os.path.join(self.headers, ".kept.det.%d.0.tmp" % stalled.pid), det_bytes([(0, 1)]))

        # The killed writers' data files whose extents were all allocated are interrupted
        # recordings: the user's data up to the kill, which repair never touches.
        ok_files = {name: data for name, data in self.snapshot().items()
                    if name.endswith(".det") and self.ls().get(name[:-4], {}).get("state") in ("ok", "interrupted")}
        interrupted = sorted(name for name, entry in self.ls().items() if entry["state"] == "interrupted")
        self.assertTrue(interrupted, "some writer was killed after its allocation")
        checked = self.kelvol("check", self.config, "--json", "--stale-after", "0")
        self.assertEqual(checked.status, 1)
        kinds = {problem["kind"] for problem in checked.json()["problems"]}
        self.assertTrue({"provisional", "reservation", "temporary", "stale-lock"} <= kinds, kinds)
        self.assertNotIn("overlap", kinds, checked.out.decode())

        dry = self.kelvol("repair", self.config, "--dry-run", "--stale-after", "0")
        found = lambda document: sorted((p["kind"], p["path"]) for p in document["problems"])
        self.assertEqual(found(self.kelvol("check", self.config, "--json", "--stale-after", "0").json()),
                         found(checked.json()), "a dry run changes nothing")
        repaired = self.kelvol("repair", self.config, "--stale-after", "0")
        self.assertEqual(repaired.status, 1, "interrupted recordings are left for a person")
        self.assertEqual(repaired.err.count("\n"), 1, repaired.err)
        # The same actions; only the ages they name may have moved on by a second.
        without_ages = lambda text: re.sub(rb"\d+ s old", b"N s old", text)
        self.assertEqual(without_ages(repaired.out), without_ages(dry.out), "the dry run prints the same actions")
        left = self.kelvol("check", self.config, "--json", "--stale-after", "0").json()
        self.assertEqual(left["in_progress"], [])
        self.assertEqual(sorted((p["kind"], os.path.basename(p["path"])) for p in left["problems"]),
                         [("interrupted", name + ".det") for name in interrupted])
        self.assertEqual(read_bytes(os.path.join(self.headers, ".kellock")), b"00000000\n")
        after = self.snapshot()
        for name, data in ok_files.items():
            self.assertEqual(after.get(name), data, name)
        self.assertEqual(self.export_bytes("kept"), kept)

        # The freed space is allocated again, to the last chunk.
        for i in range(64):
            largest = self.df()["largest_request"]
            if largest <= 0:
                break
            source = self.path("fill")
            with open(source, "wb") as f:
                f.truncate(largest)
            self.ok("import", self.config, source, "refill%d" % i)
        self.assertEqual(self.df()["free"], 0)
        refilled = self.kelvol("check", self.config, "--json", "--stale-after", "0").json()
        self.assertEqual(sorted((p["kind"], os.path.basename(p["path"])) for p in refilled["problems"]),
                         [("interrupted", name + ".det") for name in interrupted])


class HandMadeFaults(Volume):
    CASES = [
        ("overlap", {"a": [(0, 2 * STRIPE)], "b": [(CHUNK, STRIPE)]}),
        ("beyond-end", {"a": [(MEMBER_MIB * MIB - CHUNK, 2 * STRIPE)]}),
        ("misaligned", {"a": [(1000, STRIPE)]}),
        ("torn", {"a": b"\0" * 20}),
        ("torn", {"a": [(STRIPE, -5)]}),  # a negative length
    ]

    def test_faults_are_reported_and_left_alone(self):
        for kind, files in self.CASES:
            with self.subTest(kind=kind):
                for name in os.listdir(self.headers):
                    os.remove(os.path.join(self.headers, name))
                for name, content in files.items():
                    write_bytes(self.det(name), content if isinstance(content, bytes) else det_bytes(content))
                before = {name: (read_bytes(self.det(name)), os.stat(self.det(name)).st_mtime_ns) for name in files}
                checked = self.kelvol("check", self.config, "--json")
                self.assertEqual(checked.status, 1)
                problems = checked.json()["problems"]
                self.assertEqual([p["kind"] for p in problems], [kind])
                self.assertEqual(problems[0]["path"], self.det("a"))
                if kind == "overlap":
                    self.assertIn(self.det("b"), problems[0]["detail"])
                repaired = self.fails(1, "repair", self.config)
                self.assertIn(kind, repaired.out.decode())
                after = {name: (read_bytes(self.det(name)), os.stat(self.det(name)).st_mtime_ns) for name in files}
                self.assertEqual(after, before)

    def test_negative_length_is_no_data_file(self):
        write_bytes(self.det("neg"), det_bytes([(STRIPE, -5)]))
        self.assertEqual(self.ls()["neg"]["state"], "torn")
        self.assertEqual(self.df()["used"], 0)
        result = self.fails(1, "export", self.config, "neg")
        self.assertIn("extent 0 (offset %d, length -5) has a negative length" % STRIPE, result.err)


class Outputs(Volume):
    def test_json_matches_the_files(self):
        files = {"a": [(0, 3 * STRIPE + 5)], "b": [(8 * CHUNK, STRIPE), (12 * CHUNK, 100)],
                 "p": [(-CHUNK, STRIPE)], "r_5": [(20 * CHUNK, 2 * STRIPE)], "empty": []}
        for name, entries in files.items():
            write_bytes(self.det(name), det_bytes(entries))
        write_bytes(self.det("cut"), b"x" * 17)
        write_bytes(os.path.join(self.headers, ".a.det.999999999.0.tmp"), b"")  # no such pid
        states = {"a": "ok", "b": "ok", "p": "provisional", "r_5": "reservation", "empty": "ok", "cut": "torn"}
        rows = self.ls()
        self.assertEqual(set(rows), set(states))
        for name, state in states.items():
            row = rows[name]
            entries = files.get(name, [(0x7878787878787878, 0x7878787878787878)])  # the whole record of the torn file
            self.assertEqual(row["state"], state, name)
            self.assertEqual(row["extents"], [{"offset": o, "length": n} for o, n in entries], name)
            self.assertEqual(row["size"], sum(n for _, n in entries), name)
            self.assertEqual(row["mtime"], int(os.stat(self.det(name)).st_mtime), name)

        usage = self.df()
        member = MEMBER_MIB * MIB
        # Chunks taken per member: a 0-3, b 8 and 12, r_5 20-21; free the rest.
        taken = 4 + 1 + 1 + 2
        self.assertEqual(usage, {"members": MEMBERS, "chunk_size": CHUNK, "volume_size": MEMBERS * member,
                                 "member_size": member, "used": 3 * STRIPE + 5 + STRIPE + 100,
                                 "provisional": STRIPE + 2 * STRIPE, "free": (member - taken * CHUNK) * MEMBERS,
                                 "largest_request": (member - 22 * CHUNK) * MEMBERS, "gaps": 4})
        checked = self.kelvol("check", self.config, "--json")
        self.assertEqual(checked.status, 1)
        self.assertEqual(sorted(p["kind"] for p in checked.json()["problems"]), ["temporary", "torn"])
        self.assertEqual(sorted(p["kind"] for p in checked.json()["in_progress"]), ["provisional", "reservation"])

    def test_map_line_and_svg(self):
        self.import_bytes("first", b"1" * (3 * MIB))
        write_bytes(self.det("r_6"), det_bytes([(40 * CHUNK, STRIPE)]))
        write_bytes(self.det("clash"), det_bytes([(CHUNK, STRIPE)]))
        lines = self.ok("map", self.config, "--width", "64").out.decode().splitlines()
        self.assertEqual(len(lines[0]), 64)
        self.assertEqual(set(lines[0]), set("#X~."))
        self.assertIn("free", lines[1])

        if not ARGS.rsvg_convert:
            self.skipTest("rsvg-convert is not installed (Debian package librsvg2-bin)")
        svg, png = self.path("map.svg"), self.path("map.png")
        self.ok("map", self.config, "--svg", svg)
        self.assertIn(">first</text>", read_bytes(svg).decode())
        subprocess.run([ARGS.rsvg_convert, "-o", png, svg], check=True, timeout=60)
        self.assertGreater(distinct_pixel_values(read_bytes(png)), 10, "the picture is not blank")

    def test_progress_only_on_a_terminal(self):
        self.import_bytes("big", b"z" * (8 * MIB))
        self.assertEqual(self.ok("export", self.config, "big", os.devnull).err, "")
        for extra, shown in (((), True), (("--quiet",), False)):
            controller, terminal = pty.openpty()
            try:
                status = subprocess.run([ARGS.kelvol, "export", self.config, "big", os.devnull, *extra],
                                        stderr=terminal, timeout=60).returncode
                os.close(terminal)
                terminal = -1
                said = b""
                while True:
                    try:
                        piece = os.read(controller, 4096)
                    except OSError:
                        break
                    if not piece:
                        break
                    said += piece
            finally:
                if terminal >= 0:
                    os.close(terminal)
                os.close(controller)
            self.assertEqual(status, 0)
            self.assertEqual(b"MiB/s" in said, shown, said)


def distinct_pixel_values(png):
    """Distinct byte values of a PNG's decompressed image data (filter bytes included)."""
    at, data = 8, b""
    while at < len(png):
        length, kind = struct.unpack(">I4s", png[at:at + 8])
        if kind == b"IDAT":
            data += png[at + 8:at + 8 + length]
        at += 12 + length
    return len(set(zlib.decompress(data)))


class Commands(Volume):
    def test_help_and_version(self):
        self.assertEqual(self.ok("--version").out, b"1.0.0\n")
        self.assertIn(b"import", self.ok("--help").out)
        self.assertIn(b"man kelvol", self.ok("--help").out)
        for command in ("create", "ls", "df", "map", "check", "repair", "export", "import"):
            self.assertIn(b"--help", self.ok(command, "--help").out, command)

    def test_create_writes_exactly_the_volume(self):
        made = self.ok("create", self.path("w"), "--members", "3", "--member-mib", "2", "--chunk-kib", "128",
                       "--threads", "3")
        self.assertEqual(made.out, (self.path("w/volume.conf") + "\n").encode())
        self.assertEqual(read_bytes(self.path("w/volume.table")).decode().split(),
                         ["0", str(3 * 2 * MIB // 512), "striped", "3", "256"] +
                         [word for m in range(3) for word in (self.path("w/members/m%d" % m), "0")])
        config = read_bytes(self.path("w/volume.conf")).decode().split()
        self.assertEqual(len(config), 7)
        self.assertIn("FUSEPATH=" + self.path("w/mnt"), config)
        self.assertIn("THREADS=3", config)
        for m in range(3):
            info = os.stat(self.path("w/members/m%d" % m))
            self.assertEqual((info.st_size, info.st_blocks), (2 * MIB, 0))
        self.assertTrue(os.path.isdir(self.path("w/headers")))

    def test_create_on_existing_devices_writes_none(self):
        devices = [self.path("d0"), self.path("d1")]
        write_bytes(devices[0], b"a" * (3 * MIB + 100))
        write_bytes(devices[1], b"b" * (5 * MIB))
        before = [(read_bytes(d), os.stat(d).st_mtime_ns) for d in devices]
        self.ok("create", self.path("w"), "--devices", ",".join(devices), "--chunk-kib", "1024")
        # Both count as the smaller, in whole chunks: 3 MiB each.
        self.assertEqual(read_bytes(self.path("w/volume.table")).decode().split()[:5],
                         ["0", str(2 * 3 * MIB // 512), "striped", "2", "2048"])
        self.assertEqual([(read_bytes(d), os.stat(d).st_mtime_ns) for d in devices], before)
        self.assertFalse(os.path.exists(self.path("w/members")))

    def test_create_refuses_one_file_under_two_names(self):
        first = self.path("d0")
        write_bytes(first, b"a" * (3 * MIB))
        os.symlink(first, self.path("soft"))
        os.link(first, self.path("hard"))
        for second in (first, self.path("soft"), self.path("hard")):
            with self.subTest(second=second):
                result = self.fails(1, "create", self.path("w"), "--devices", first + "," + second)
                self.assertIn("the same file as " + first, result.err)
                self.assertFalse(os.path.exists(self.path("w")))


class BadInput(Volume):
    def test_each_refusal_is_one_line_and_changes_nothing(self):
        self.import_bytes("here", b"h" * MIB)
        write_bytes(self.path("incomplete.conf"), b"TYPE=RAID VKPATH=/tmp\n")
        full_source = self.path("huge")
        with open(full_source, "wb") as f:
            f.truncate(MEMBERS * MEMBER_MIB * MIB)
        os.chmod(self.dir, 0o755)
        for root, dirs, names in os.walk(self.path("v")):
            for name in dirs + names:
                os.chmod(os.path.join(root, name), 0o755 if name in dirs else 0o644)
        cases = [
            ("missing configuration", 1, ("ls", self.path("nothing.conf")), None),
            ("incomplete configuration", 1, ("df", self.path("incomplete.conf")), None),
            ("unknown name", 1, ("export", self.config, "nobody-knows", self.path("out")), None),
            ("name that exists", 1, ("import", self.config, full_source, "here"), None),
            ("volume too full", 1, ("import", self.config, full_source, "toolarge"), None),
            ("header directory without permission", 1, ("ls", self.config), "locked"),
            ("import without permission", 1, ("import", self.config, self.path("in-here"), "new"), "locked"),
            ("export of a torn file", 1, ("export", self.config, self.headers + "/torn.det"), "torn"),
            ("name of a reservation", 1, ("import", self.config, self.path("in-here"), "r_12"), None),
            ("data file outside the header directory", 1,
             ("import", self.config, self.path("in-here"), self.path("elsewhere.det")), None),
            ("path that is not a .det file", 1,
             ("import", self.config, self.path("in-here"), self.headers + "/plain"), None),
            ("unknown command", 2, ("shrink", self.config), None),
            ("missing argument", 2, ("export", self.config), None),
            ("bad option value", 2, ("map", self.config, "--width", "wide"), None),
            ("stale age not a number", 2, ("repair", self.config, "--stale-after", "nan"), None),
            ("stale age infinite", 2, ("check", self.config, "--stale-after", "inf"), None),
            ("stale age negative", 2, ("repair", self.config, "--stale-after", "-5"), None),
            ("devices and members", 2, ("create", self.path("z"), "--devices", "/dev/null", "--members", "2"),
             None),
            ("create into a full directory", 1, ("create", self.path("v"), "--members", "1", "--member-mib", "1"),
             None),
        ]
        for name, status, args, setting in cases:
            with self.subTest(name):
                if setting == "torn":
                    write_bytes(self.headers + "/torn.det", b"t" * 20)
                before = self.snapshot()
                user = None
                if setting == "locked":
                    os.chmod(self.headers, 0o700)
                    user = as_nobody
                try:
                    result = self.fails(status, *args, user=user)
                finally:
                    os.chmod(self.headers, 0o755)
                self.assertEqual(result.out, b"", name)
                self.assertEqual(self.snapshot(), before, name)
                self.assertFalse(os.path.exists(self.path("out")), name)
                self.assertFalse(os.path.exists(self.path("z")), name)
                self.assertFalse(os.path.exists(self.path("elsewhere.det")), name)
                if setting == "torn":
                    os.remove(self.headers + "/torn.det")


class Marks(Volume):
    """Writer marks: what the tools make of recordings, interrupted ones and leftover marks."""

    def mark(self, name, content):
        write_bytes(self.det(name) + ".writer", content)

    def test_marked_data_files_show_their_recording(self):
        live, dead = self.sleeper(), dead_pid()
        data = random.Random(6).randbytes(STRIPE + 7)
        for name in ("done", "rec", "cut", "closed"):
            self.import_bytes(name, data)
        self.mark("rec", writer_mark(live))
        self.mark("cut", gone_mark(dead))
        self.mark("closed", writer_mark(live, "closed"))
        self.mark("ghost", gone_mark(dead))   # no ghost.det: an orphan mark
        self.mark("busy", writer_mark(live))  # an orphan mark of a live writer
        write_bytes(self.det("alloc"), det_bytes([(-CHUNK, STRIPE)]))  # an allocation of the live writer
        self.mark("alloc", writer_mark(live))
        age_file(self.det("alloc"), 700)

        rows = self.ls()
        self.assertEqual({name: row["state"] for name, row in rows.items()},
                         {"done": "ok", "rec": "recording", "cut": "interrupted", "closed": "interrupted",
                          "alloc": "provisional"})
        self.assertEqual({name: row.get("writer_pid") for name, row in rows.items()},
                         {"done": None, "rec": live, "cut": dead, "closed": live, "alloc": live})
        table = self.ok("ls", self.config).out.decode()
        self.assertRegex(table, r"\ncut +%d +1 +interrupted " % len(data))
        self.assertRegex(table, r"\nrec +%d +1 +recording " % len(data))

        checked = self.kelvol("check", self.config, "--json", "--stale-after", "0")
        self.assertEqual(checked.status, 1)
        found = lambda key: sorted((p["kind"], os.path.basename(p["path"])) for p in checked.json()[key])
        self.assertEqual(found("problems"), [("interrupted", "closed.det"), ("interrupted", "cut.det"),
                                             ("orphan-mark", "ghost.det.writer")])
        self.assertEqual(found("in_progress"), [("orphan-mark", "busy.det.writer"), ("provisional", "alloc.det"),
                                                ("recording", "rec.det")])
        cut = [p for p in checked.json()["problems"] if p["path"] == self.det("cut")][0]
        self.assertIn("writer %d" % dead, cut["detail"])

        # repair takes the gone writer's orphan mark and nothing else, durably.
        before = self.snapshot()
        log = self.path("syncs")
        repaired = self.kelvol("repair", self.config, "--stale-after", "0", env=self.shimmed(KEL_TEST_SYNC_LOG=log))
        self.assertEqual(repaired.status, 1, repaired.err)  # the interrupted files stay
        del before["ghost.det.writer"]
        after = self.snapshot()
        del before[".kellock"], after[".kellock"]
        self.assertEqual(after, before)
        self.assertIn("fsync " + self.headers, read_bytes(log).decode().splitlines())

        # The recorded bytes of an interrupted file are the user's: export gives them, and says so.
        exported = self.kelvol("export", self.config, "cut")
        self.assertEqual((exported.status, exported.out), (0, data))
        self.assertEqual(len(exported.err.splitlines()), 1, exported.err)
        self.assertIn("interrupted", exported.err)
        self.assertIn(str(dead), exported.err)

    def test_import_fails_whole_when_a_sync_fails(self):
        source = self.path("in")
        write_bytes(source, random.Random(7).randbytes(3 * STRIPE))
        for failing in ("members", "headers"):
            with self.subTest(failing=failing):
                before = self.snapshot()
                env = self.shimmed(KEL_TEST_FAIL_SYNC_UNDER=self.path("v/" + failing))
                result = self.fails(1, "import", self.config, source, "synced-" + failing, env=env)
                self.assertIn("Input/output error", result.err)
                after = self.snapshot()
                after.pop(".kellock", None)
                before.pop(".kellock", None)
                self.assertEqual(after, before, "no .det file and no mark are left")

    def test_killed_import_is_interrupted(self):
        importer = subprocess.Popen([ARGS.kelvol, "import", self.config, "-", "k", "--extent-mib", "1"],
                                    stdin=subprocess.PIPE, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.children.append(importer)
        importer.stdin.write(b"k" * (2 * MIB + 5))
        importer.stdin.flush()
        deadline = time.time() + 60
        while self.ls().get("k", {}).get("size", 0) < 2 * MIB and time.time() < deadline:
            time.sleep(0.05)
        self.assertEqual(self.ls()["k"]["state"], "recording")
        importer.kill()
        importer.wait()
        importer.stdin.close()
        self.assertEqual(self.ls()["k"]["state"], "interrupted")
        checked = self.kelvol("check", self.config, "--json")
        self.assertIn(("interrupted", self.det("k")), [(p["kind"], p["path"]) for p in checked.json()["problems"]])


class Members(Volume):
    def member(self, index):
        return self.path("v/members/m%d" % index)

    def test_check_reports_unusable_members(self):
        def remove(path):
            os.remove(path)

        def shorten(path):
            os.truncate(path, MEMBER_MIB * MIB // 2)

        def directory(path):
            os.remove(path)
            os.mkdir(path)

        def loop(path):
            os.remove(path)
            os.symlink(os.path.basename(path), path)

        def alias(path):
            os.remove(path)
            os.symlink(self.member(0), path)

        # A table whose members are one file under two names is refused by the engine
        # itself: every command says so in its one line.
        cases = [(remove, "missing"), (shorten, "holds %d bytes" % (MEMBER_MIB * MIB // 2)),
                 (directory, "not a block device or regular file"), (loop, "Too many levels of symbolic links"),
                 (alias, "one file under two names: %s and %s" % (self.member(0), self.member(2)))]
        self.ok("check", self.config)
        for change, said in cases:
            with self.subTest(said):
                saved = self.path("saved-member")
                shutil.copyfile(self.member(2), saved)
                change(self.member(2))
                try:
                    checked = self.kelvol("check", self.config, "--json")
                    self.assertEqual(checked.status, 1)
                    if change is alias:
                        self.assertIn(said, checked.err)
                        self.assertEqual(checked.err.count("\n"), 1, checked.err)
                        continue
                    problems = [(p["kind"], p["path"]) for p in checked.json()["problems"]]
                    self.assertEqual(problems, [("member", self.member(2))])
                    self.assertIn(said, checked.json()["problems"][0]["detail"])
                finally:
                    if os.path.isdir(self.member(2)) and not os.path.islink(self.member(2)):
                        os.rmdir(self.member(2))
                    elif os.path.lexists(self.member(2)):
                        os.remove(self.member(2))
                    os.rename(saved, self.member(2))


class ExportTargets(Volume):
    def test_export_never_writes_the_volume_and_replaces_out_whole(self):
        data = random.Random(8).randbytes(2 * MIB + 3)
        self.import_bytes("b", data)
        self.import_bytes("y", b"y" * 100)
        members = [self.path("v/members/m%d" % m) for m in range(MEMBERS)]
        os.link(members[1], self.path("m1-link"))
        os.symlink(self.det("y"), self.path("y-link"))
        table = self.path("v/volume.table")
        refused = [members[1], self.det("y"), self.det("new"), self.headers + "/plain", self.config, table,
                   self.path("m1-link"), self.path("y-link")]
        volume_files = lambda: (self.snapshot(), [read_bytes(p) for p in members + [self.config, table]])
        before = volume_files()
        for out in refused:
            with self.subTest(out=out):
                self.fails(1, "export", self.config, "b", out)
                self.assertEqual(volume_files(), before)

        # An existing OUT is replaced only by a whole export, through a synced rename.
        out = self.path("out.bin")
        write_bytes(out, b"old contents")
        os.chmod(out, 0o640)
        saved_member = read_bytes(members[3])
        os.truncate(members[3], 0)  # reading fails
        self.fails(1, "export", self.config, "b", out)
        self.assertEqual(read_bytes(out), b"old contents")
        write_bytes(members[3], saved_member)
        listing = sorted(os.listdir(self.dir))
        log = self.path("syncs")
        self.ok("export", self.config, "b", out, env=self.shimmed(KEL_TEST_SYNC_LOG=log))
        self.assertEqual(read_bytes(out), data)
        self.assertEqual(stat.S_IMODE(os.stat(out).st_mode), 0o640)
        self.assertEqual(sorted(os.listdir(self.dir)), sorted(listing + ["syncs"]), "no temporary file is left")
        self.assertIn("fsync " + self.dir, read_bytes(log).decode().splitlines())

    def test_file_size_limit_fails_the_export_cleanly(self):
        self.import_bytes("big", b"z" * (4 * MIB))
        out = self.path("out.bin")
        limit = lambda: resource.setrlimit(resource.RLIMIT_FSIZE, (MIB, MIB))
        result = self.fails(1, "export", self.config, "big", out, user=limit)
        self.assertIn("File too large", result.err)
        self.assertEqual(sorted(os.listdir(self.dir)), ["in-big", "v"], "what it wrote is gone")


class LiveWriters(Volume):
    def test_repair_leaves_live_writers_alone(self):
        live = self.sleeper()
        stalled = self.spawn("stall", "stall-update")
        self.assertEqual(stalled.stdout.readline().strip(), b"stalled")  # its reservation recorded, the lock held
        write_bytes(os.path.join(self.headers, ".x.det.%d.0.tmp" % live), det_bytes([(0, 1)]))
        write_bytes(self.det("p"), det_bytes([(-CHUNK, STRIPE)]))
        write_bytes(self.det("p") + ".writer", writer_mark(live))
        for name in os.listdir(self.headers):
            age_file(os.path.join(self.headers, name), 3600)
        before = self.snapshot()
        checked = self.ok("check", self.config, "--json", "--stale-after", "0").json()
        self.assertEqual(checked["problems"], [])
        self.assertTrue({"reservation", "temporary", "provisional"} <=
                        {p["kind"] for p in checked["in_progress"]}, checked)
        self.ok("repair", self.config, "--stale-after", "0")
        self.assertEqual(self.snapshot(), before)

    def test_engine_failures_say_the_real_reason(self):
        source = self.path("in")
        write_bytes(source, b"s" * STRIPE)
        huge = self.path("huge")
        with open(huge, "wb") as f:
            f.truncate(MEMBERS * MEMBER_MIB * MIB + STRIPE)
        lock = os.path.join(self.headers, ".kellock")

        def lock_directory():
            os.mkdir(lock)
            return lambda: os.rmdir(lock)

        def lock_fifo():
            os.mkfifo(lock)
            return lambda: os.remove(lock)

        def full_file_system():
            if os.geteuid() != 0:
                self.skipTest("mounting a small file system needs root")
            subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64k", "kelvol-test", self.headers], check=True)
            try:
                with open(os.path.join(self.headers, "filler"), "wb") as f:
                    f.write(b"f" * 128 * KIB)
            except OSError as error:
                if error.errno != errno.ENOSPC:
                    raise
            return lambda: subprocess.run(["umount", self.headers], check=True)

        cases = [(lock_directory, source, "lock"), (lock_fifo, source, "not a regular file"),
                 (full_file_system, source, "No space left on device"), (lambda: (lambda: None), huge, "no room")]
        for make, what, said in cases:
            with self.subTest(said):
                undo = make()
                try:
                    result = self.fails(1, "import", self.config, what, "n", timeout=30)
                    self.assertIn(said, result.err)
                    if said != "no room":
                        self.assertNotIn("no room", result.err)
                    self.assertFalse(os.path.lexists(self.det("n")))
                finally:
                    undo()


class Streams(Volume):
    def test_import_reads_files_without_a_size_as_streams(self):
        fifo = self.path("fifo")
        os.mkfifo(fifo)
        fed = random.Random(9).randbytes(MIB + 11)

        def feed():
            try:
                with open(fifo, "wb") as f:
                    f.write(fed)
            except BrokenPipeError:
                pass  # the import failed: the test says so

        cases = [("/proc/version", read_bytes("/proc/version"), None), ("/dev/null", b"", None), (fifo, fed, feed)]
        for index, (source, expected, writer) in enumerate(cases):
            with self.subTest(source):
                feeder = threading.Thread(target=writer) if writer else None
                if feeder:
                    feeder.start()
                try:
                    extent = ("--extent-mib", "1") if expected else ()
                    self.ok("import", self.config, source, "s%d" % index, *extent)
                finally:
                    if feeder:
                        # A reader that goes at once lets a feeder still waiting to open end.
                        os.close(os.open(fifo, os.O_RDONLY | os.O_NONBLOCK))
                        feeder.join()
                self.assertEqual(self.ls()["s%d" % index]["size"], len(expected))
                self.assertEqual(self.export_bytes("s%d" % index), expected)


class Signals(Volume):
    def test_signals_end_transfers_promptly(self):
        self.import_bytes("big", b"b" * (8 * MIB))
        for number in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
            for command in (("export", self.config, "big", "-"),
                            ("import", self.config, "-", "s", "--extent-mib", "1")):
                with self.subTest(signal=number, command=command[0]):
                    # A reader that never reads, or a writer that never writes.
                    child = subprocess.Popen([ARGS.kelvol, *command], stdin=subprocess.PIPE,
                                             stdout=subprocess.PIPE, stderr=subprocess.PIPE)
                    self.children.append(child)
                    time.sleep(0.5)
                    child.send_signal(number)
                    try:
                        child.wait(timeout=30)
                    except subprocess.TimeoutExpired:
                        self.fail("%s did not end on %s" % (command[0], signal.Signals(number).name))
                    err = child.stderr.read().decode()
                    child.stdin.close()
                    child.stdout.close()
                    child.stderr.close()
                    self.assertEqual(child.returncode, 1, err)
                    self.assertEqual(len(err.splitlines()), 1, err)
                    self.assertIn("interrupted by", err)
                    self.assertFalse(os.path.lexists(self.det("s")))


class Names(Volume):
    NAMES = [b"a\nb", b"esc\x1b[31m", b"a\xff", b"a\xfe", b"back\\slash"]

    def test_names_are_printed_exactly(self):
        headers = os.fsencode(self.headers)
        for index, name in enumerate(self.NAMES):
            write_bytes(os.path.join(headers, name + b".det"), det_bytes([(4 * index * CHUNK, STRIPE)]))
        os.symlink(b"a\xff.det", os.path.join(headers, b"alias.det"))
        os.link(os.path.join(headers, b"a\xfe.det"), os.path.join(headers, b"hard.det"))

        table = self.ok("ls", self.config).out
        self.assertNotIn(b"\x1b", table)
        self.assertEqual(len(table.splitlines()), 1 + len(self.NAMES), table)
        for shown in (b"a\\nb", b"esc\\033[31m", b"a\\377", b"a\\376", b"back\\\\slash"):
            self.assertIn(b"\n" + shown + b" ", table)
        rows = self.ok("ls", self.config, "--json").json()
        self.assertEqual(sorted(exact_name(row) for row in rows), sorted(self.NAMES))

        checked = self.kelvol("check", self.config, "--json")
        self.assertEqual(checked.status, 1)
        problems = checked.json()["problems"]
        self.assertEqual(sorted((p["kind"], exact_name(p, "path")) for p in problems),
                         [("alias", os.path.join(headers, b"alias.det")), ("alias", os.path.join(headers, b"hard.det"))])
        self.assertEqual(self.df()["used"], len(self.NAMES) * STRIPE)
        lines = self.kelvol("check", self.config).out
        self.assertNotIn(b"\x1b", lines)
        self.assertEqual(len(lines.splitlines()), 2, lines)

        result = self.fails(1, "export", self.config, "no\nsuch\x1b")
        self.assertIn("no\\nsuch\\033", result.err)
        self.assertNotIn("\x1b", result.err)

    def test_map_picture_failures(self):
        result = self.fails(1, "map", self.config, "--svg", self.path("nowhere/map.svg"))
        self.assertIn("No such file or directory", result.err)
        self.assertEqual(self.fails(2, "map", self.config, "--svg", "").out, b"")


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    parser.add_argument("--kelvol", required=True)
    parser.add_argument("--writer", required=True)
    parser.add_argument("--sync-shim", required=True)
    parser.add_argument("--rsvg-convert", default="")
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0], "-v", *rest])


if __name__ == "__main__":
    main()

#!/usr/bin/python3
"""The engine recording into the power-cut layer while the power is cut.

PowerCuts: writer processes record data files through the engine into a volume whose
members and header directory lie inside the layer; at a random moment the power is cut
and the writers are killed. The backing directory then holds what the machine would have
after a reboot, and it is checked through a second configuration file that points into
it: every recording whose finalisation returned reads back byte for byte, no ".det" file
is empty or torn, no two ".det" files claim the same member bytes, and (with
--expect-marks) every data file whose writer had not finalised shows as interrupted.
A summary line gives the figures and the seed of the run (POWERCUT_SEED=N repeats its
choices). --cuts N (or POWERCUT_CUTS=N) makes a longer soak.

SyncFailure: a member whose fsync fails with EIO must fail the finalisation (once with
one line naming the member, the ".det" file left as it was, and again on a second try),
the close, and kelvol import.

Exits 77 (skipped) with a message when mounts are not possible here.
"""

import argparse
import json
import os
import random
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time
import unittest

from powercut_mount import SKIP, Layer, unavailable_reason

POWERCUT = TOOL = KELVOL = None
CUTS = 200
EXPECT_MARKS = False

MEMBERS = 4
CHUNK = 64 * 1024
MEMBER_BYTES = 64 << 20
WRITERS = 3
# Each writer stops after this much, so that the volume never fills.
WRITER_BUDGET = 16 << 20
# Finalised recordings kept on the volume from one cut to the next, the oldest dropped first.
KEPT_BYTES = 24 << 20
RESERVATION_PREFIX = "r_"


def config_text(base, table, direct):
    return "TYPE=RAID VKPATH=%s/headers FUSEPATH=/none DMSETUP=%s MAPPER=/none EXTEND=1G THREADS=2%s\n" % (
        base, table, " DIRECTIO=1" if direct else "")


class Volume:
    """Member files and a header directory in the backing directory, seen through the
    mount by the writers' configurations and in the backing directory by the checks'."""

    def __init__(self, root):
        self.root = root
        self.backing = os.path.join(root, "backing")
        self.mount_point = os.path.join(root, "mnt")
        self.headers = os.path.join(self.backing, "headers")
        os.makedirs(os.path.join(self.backing, "members"))
        os.mkdir(self.headers)
        os.mkdir(self.mount_point)
        for member in range(MEMBERS):
            with open(self.member(self.backing, member), "wb") as sparse:
                sparse.truncate(MEMBER_BYTES)
        self.configs = {}
        for name, base, direct in (("buffered", self.mount_point, False), ("direct", self.mount_point, True),
                                   ("backing", self.backing, False)):
            table = os.path.join(root, name + ".table")
            with open(table, "w") as out:
                out.write("0 %d striped %d %d %s\n" % (
                    MEMBERS * MEMBER_BYTES // 512, MEMBERS, CHUNK // 512,
                    " ".join("%s 0" % self.member(base, m) for m in range(MEMBERS))))
            self.configs[name] = os.path.join(root, name + ".conf")
            with open(self.configs[name], "w") as out:
                out.write(config_text(base, table, direct))

    @staticmethod
    def member(base, index):
        return os.path.join(base, "members", "m%d" % index)

    def mount(self, fail_fsync=()):
        return Layer(POWERCUT, self.backing, self.mount_point, fail_fsync=fail_fsync)

    def det_files(self):
        """{file name: bytes} of every ".det" file in the backing header directory."""
        found = {}
        for name in os.listdir(self.headers):
            if name.endswith(".det"):
                with open(os.path.join(self.headers, name), "rb") as det:
                    found[name] = det.read()
        return found


def direct_io_refusal(volume):
    """Why O_DIRECT opens of members fail through the layer, or ""."""
    with volume.mount() as layer:
        try:
            os.close(os.open(volume.member(volume.mount_point, 0), os.O_RDWR | os.O_DIRECT))
        except OSError as refused:
            return str(refused)
        finally:
            layer.unmount()
    return ""


def entries(data):
    return [struct.unpack_from("<qq", data, at) for at in range(0, len(data) - len(data) % 16, 16)]


def claims(data):
    """The member bytes [begin, end) each allocated extent holds on every member: its
    per-member share of the length, raised to the chunk."""
    spans = []
    for offset, length in entries(data):
        if offset >= 0 and length > 0:
            share = -(-length // MEMBERS)
            spans.append((offset, offset + -(-share // CHUNK) * CHUNK))
    return spans


def overlapping_claims(dets):
    """{(name, name): "how"} of the ".det" files that claim the same member bytes. A
    reservation's extent that the data file it is added to records too is one claim, not two."""
    spans = [(name, span) for name, data in sorted(dets.items()) for span in claims(data)]
    pairs = {}
    for i, (first, (a_begin, a_end)) in enumerate(spans):
        for second, (b_begin, b_end) in spans[i + 1:]:
            if first == second or max(a_begin, b_begin) >= min(a_end, b_end):
                continue
            within = (a_begin >= b_begin and a_end <= b_end and first.startswith(RESERVATION_PREFIX)) or \
                     (b_begin >= a_begin and b_end <= a_end and second.startswith(RESERVATION_PREFIX))
            if not within:
                pairs[(first, second)] = "%s %s claims [%d, %d) and %s %s [%d, %d)" % (
                    first, entries(dets[first]), a_begin, a_end, second, entries(dets[second]), b_begin, b_end)
    return pairs


class Writer:
    """A writer process recording through the engine; its "final" lines are read at the end."""

    def __init__(self, config, prefix, seed):
        self.stderr = tempfile.TemporaryFile()
        self.process = subprocess.Popen([TOOL, "write", config, prefix, str(seed), str(WRITER_BUDGET)],
                                        stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=self.stderr)

    def failure(self):
        """What a writer that ended by itself said; None while it runs."""
        if self.process.poll() is None:
            return None
        self.stderr.seek(0)
        return "status %s: %s" % (self.process.returncode, self.stderr.read().decode(errors="replace").strip())

    def kill(self):
        """Kills it and returns {name: (size, seed)} of the recordings whose finalisation
        returned, and of those whose finalisation had begun."""
        self.process.kill()
        out, _ = self.process.communicate()
        self.stderr.close()
        said = {"final": {}, "finishing": {}}
        for line in out.decode(errors="replace").splitlines():
            words = line.split()
            if len(words) == 4 and words[0] in said:
                said[words[0]][words[1]] = (int(words[2]), int(words[3]))
        return said["final"], said["finishing"]


def check_recordings(volume, recordings):
    """{name: reason} of the recordings that do not read back from the backing directory."""
    lines = "".join("%s %d %d\n" % (name, size, seed) for name, (size, seed) in recordings.items())
    out = subprocess.run([TOOL, "check", volume.configs["backing"]], input=lines, capture_output=True, text=True,
                         check=True).stdout
    lost = {}
    for line in out.splitlines():
        verdict, name, *reason = line.split(" ", 2)
        if verdict != "ok":
            lost[name] = " ".join(reason)
    assert len(out.splitlines()) == len(recordings), out
    return lost


def states(volume):
    out = subprocess.run([KELVOL, "ls", volume.configs["backing"], "--json"], capture_output=True, text=True,
                         check=True).stdout
    return {entry["name"]: entry["state"] for entry in json.loads(out)}


class Tally:
    """The figures of a run and a few examples of each kind of problem."""

    KINDS = ("writer failures", "layer failures", "lost", "torn/empty .det", "overlapping claims",
             "interrupted not named", "finalised not ok")

    def __init__(self):
        self.cuts = {"buffered": 0, "direct": 0}
        self.finalised = 0
        self.committed_in_flight = 0
        self.interrupted_expected = 0
        self.interrupted_named = 0
        self.problems = {kind: [] for kind in self.KINDS}
        self.overlap_pairs = {}

    def add(self, kind, text):
        self.problems[kind].append(text)

    def count(self, kind):
        return len(self.overlap_pairs) if kind == "overlapping claims" else len(self.problems[kind])

    def summary(self):
        return ("powercut crash: cuts %d (buffered %d, direct %d), recordings finalised before a cut %d "
                "(and %d whose finalisation the cut stopped after it committed), lost %d, "
                "torn/empty .det %d, overlapping claims %d, interrupted named correctly %d of %d%s, "
                "finalised shown as not ok %d, writer failures %d, layer failures %d" % (
                    sum(self.cuts.values()), self.cuts["buffered"], self.cuts["direct"], self.finalised, self.committed_in_flight,
                    self.count("lost"), self.count("torn/empty .det"), self.count("overlapping claims"),
                    self.interrupted_named, self.interrupted_expected,
                    "" if EXPECT_MARKS else " (not required: --expect-marks)", self.count("finalised not ok"),
                    self.count("writer failures"), self.count("layer failures")))

    def failures(self):
        required = [kind for kind in self.KINDS
                    if EXPECT_MARKS or kind not in ("interrupted not named", "finalised not ok")]
        lines = []
        for kind in required:
            examples = list(self.overlap_pairs.values()) if kind == "overlapping claims" else self.problems[kind]
            if examples:
                lines.append("%s: %d, e.g. %s" % (kind, self.count(kind), "; ".join(map(str, examples[:3]))))
        return lines


def random_delay(rng):
    """Cuts early in a writer's life (configuration, first allocations) and later ones."""
    return rng.uniform(0.0, 0.2) if rng.random() < 0.3 else rng.uniform(0.2, 0.8)


class PowerCuts(unittest.TestCase):
    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="powercut_crash_")
        self.addCleanup(shutil.rmtree, self.root, True)
        self.volume = Volume(self.root)
        self.tally = Tally()
        self.kept = {}  # name -> (size, seed) of finalised recordings still on the volume, oldest first

    def cut_once(self, number, mode, rng):
        volume, tally = self.volume, self.tally
        with volume.mount() as layer:
            writers = []
            try:
                for index in range(WRITERS):
                    writers.append(Writer(volume.configs[mode], "c%d-w%d" % (number, index), rng.getrandbits(63)))
                time.sleep(random_delay(rng))
                for writer in writers:
                    failure = writer.failure()
                    if failure is not None:
                        tally.add("writer failures", "cut %d: %s" % (number, failure))
                layer.process.send_signal(signal.SIGUSR1)
            finally:
                finals, finishing = {}, {}
                for writer in writers:
                    writer_finals, writer_finishing = writer.kill()
                    finals.update(writer_finals)
                    finishing.update(writer_finishing)
            status = layer.wait()
            if status != 0 or layer.error_text():
                tally.add("layer failures", "cut %d: status %s: %s" % (number, status, layer.error_text().strip()))
        tally.cuts[mode] += 1
        tally.finalised += len(finals)
        self.check_after_cut(number, finals, finishing)

    def check_after_cut(self, number, finals, finishing):
        volume, tally = self.volume, self.tally
        dets = volume.det_files()
        for name, data in sorted(dets.items()):
            if len(data) == 0 or len(data) % 16 != 0:
                tally.add("torn/empty .det", "cut %d: %s holds %d bytes" % (number, name, len(data)))
        for pair, how in overlapping_claims(dets).items():
            tally.overlap_pairs.setdefault(pair, "cut %d: %s" % (number, how))
        shown = states(volume)
        # A finalisation that the cut stopped before it returned may have committed: such a
        # recording is either interrupted or whole.
        committed_in_flight = {name: value for name, value in finishing.items()
                               if name not in finals and shown.get(name) == "ok"}
        tally.committed_in_flight += len(committed_in_flight)
        recordings = dict(self.kept, **finals, **committed_in_flight)
        lost = check_recordings(volume, recordings)
        for name, reason in sorted(lost.items()):
            tally.add("lost", "cut %d: %s: %s" % (number, name, reason))
        for name, state in shown.items():
            if name.startswith(RESERVATION_PREFIX) or state in ("provisional", "reservation", "torn", "unreadable"):
                continue
            if name in recordings:
                if name not in lost and state != "ok":
                    tally.add("finalised not ok", "cut %d: %s is %s" % (number, name, state))
                continue
            tally.interrupted_expected += 1
            if state == "interrupted":
                tally.interrupted_named += 1
            else:
                tally.add("interrupted not named", "cut %d: %s is %s" % (number, name, state))
        self.keep(recordings, lost)

    def keep(self, recordings, lost):
        """What the operator does after the reboot: the recordings that survived stay (the
        oldest dropped beyond KEPT_BYTES), everything else in the header directory goes but
        the lock file."""
        self.kept = {name: value for name, value in recordings.items() if name not in lost}
        while sum(size for size, _ in self.kept.values()) > KEPT_BYTES:
            del self.kept[next(iter(self.kept))]
        for name in os.listdir(self.volume.headers):
            if name != ".kellock" and not (name.endswith(".det") and name[:-4] in self.kept):
                os.remove(os.path.join(self.volume.headers, name))

    def test_power_cuts(self):
        refusal = direct_io_refusal(self.volume)
        modes = ["buffered", "direct"]
        if refusal:
            print("O_DIRECT members refused through FUSE (%s): the direct cases are skipped" % refusal)
            modes = ["buffered"]
        seed = int(os.environ.get("POWERCUT_SEED", "0")) or random.randrange(1, 1 << 31)
        rng = random.Random(seed)
        for number in range(CUTS):
            self.cut_once(number, modes[number % len(modes)], rng)
        print("%s (POWERCUT_SEED=%d)" % (self.tally.summary(), seed))
        failures = self.tally.failures()
        if failures:
            self.fail("\n".join(failures))


class SyncFailure(unittest.TestCase):
    """A member whose fsync fails: its data never becomes durable, and the engine must say so."""

    FAILING_MEMBER = "m1"
    SIZE = 2 * MEMBERS * CHUNK + 5  # bytes on every member

    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="powercut_sync_")
        self.addCleanup(shutil.rmtree, self.root, True)
        self.volume = Volume(self.root)
        refusal = direct_io_refusal(self.volume)
        self.modes = ["buffered"] if refusal else ["buffered", "direct"]
        if refusal:
            print("O_DIRECT members refused through FUSE (%s): the direct cases are skipped" % refusal)

    def mount(self):
        return self.volume.mount(fail_fsync=[self.FAILING_MEMBER])

    def test_finalisation_and_close_fail(self):
        failing_path = self.volume.member(self.volume.mount_point, 1)
        for mode in self.modes:
            with self.subTest(mode), self.mount():
                out = subprocess.run([TOOL, "sync-failure", self.volume.configs[mode], "rec-" + mode,
                                      str(self.SIZE)], capture_output=True, text=True)
                self.assertEqual(out.returncode, 0, out.stderr)
                results, messages, current, unchanged = {}, {}, None, None
                for line in out.stdout.splitlines():
                    words = line.split()
                    if words[0] == "step":
                        current = words[1]
                        messages[current] = []
                    elif words[0] == "result":
                        results[words[1]] = int(words[2])
                        current = None
                    elif words[0] == "det-unchanged":
                        unchanged = words[1]
                    elif current is not None and line.startswith("Error!"):
                        messages[current].append(line)
                self.assertLess(results["finalize-1"], 0, out.stdout)
                self.assertEqual(len(messages["finalize-1"]), 1, out.stdout)
                self.assertIn(failing_path, messages["finalize-1"][0])
                self.assertEqual(unchanged, "yes", "the .det file changed although the finalisation failed")
                self.assertLess(results["finalize-2"], 0, "a second finalisation after a failed sync succeeded")
                self.assertEqual(len(messages["finalize-2"]), 1, out.stdout)
                self.assertEqual(results["close"], -1, out.stdout)
                self.assertEqual(len(messages["close"]), 1, out.stdout)

    def test_import_fails_and_leaves_nothing(self):
        source = os.path.join(self.root, "source")
        with open(source, "wb") as out:
            out.write(random.Random(1).randbytes(self.SIZE))
        headers = os.path.join(self.volume.mount_point, "headers")
        for mode in self.modes:
            with self.subTest(mode), self.mount():
                name = "imported-" + mode
                run = subprocess.run([KELVOL, "import", self.volume.configs[mode], source, name],
                                     capture_output=True, text=True)
                self.assertEqual(run.returncode, 1, run.stderr)
                self.assertEqual(len(run.stderr.splitlines()), 1, run.stderr)
                self.assertTrue(run.stderr.startswith("kelvol: "), run.stderr)
                self.assertEqual(sorted(n for n in os.listdir(headers) if n.startswith(name)), [])


def main():
    global POWERCUT, TOOL, KELVOL, CUTS, EXPECT_MARKS
    parser = argparse.ArgumentParser()
    parser.add_argument("--powercut", required=True)
    parser.add_argument("--tool", required=True)
    parser.add_argument("--kelvol", required=True)
    parser.add_argument("--cuts", type=int, default=int(os.environ.get("POWERCUT_CUTS", CUTS)))
    parser.add_argument("--expect-marks", action="store_true",
                        help="require interrupted writers' data files to show as interrupted")
    args, rest = parser.parse_known_args()
    POWERCUT, TOOL, KELVOL = (os.path.abspath(p) for p in (args.powercut, args.tool, args.kelvol))
    CUTS, EXPECT_MARKS = args.cuts, args.expect_marks
    reason = unavailable_reason(POWERCUT)
    if reason:
        print("powercut crash tests skipped: " + reason)
        sys.exit(SKIP)
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()

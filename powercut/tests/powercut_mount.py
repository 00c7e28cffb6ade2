"""The power-cut layer mounted for a test: started in the foreground, then cut or shut down,
and on every path unmounted and reaped."""

import os
import shutil
import signal
import subprocess
import tempfile
import time

SKIP = 77
MOUNT_LIMIT_SECONDS = 10
EXIT_LIMIT_SECONDS = 30


def mounted(mount_point):
    with open("/proc/self/mountinfo") as table:
        return any(line.split()[4] == mount_point for line in table)


def wait_until(condition, limit):
    deadline = time.monotonic() + limit
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(0.01)
    return condition()


def force_unmount(mount_point):
    if mounted(mount_point):
        subprocess.run(["umount", "-l", mount_point], stderr=subprocess.DEVNULL)


class Layer:
    """A powercut process serving backing at mount_point."""

    def __init__(self, program, backing, mount_point, fail_fsync=()):
        self.mount_point = os.path.abspath(mount_point)
        self.stderr = tempfile.TemporaryFile()
        args = [program, backing, self.mount_point]
        for pattern in fail_fsync:
            args += ["--fail-fsync", pattern]
        self.process = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                        stderr=self.stderr)
        if not wait_until(lambda: self.process.poll() is not None or mounted(self.mount_point),
                          MOUNT_LIMIT_SECONDS) or self.process.poll() is not None:
            error = self.error_text()
            self.close()
            raise AssertionError("powercut did not mount %s: %s" % (self.mount_point, error))

    def error_text(self):
        self.stderr.seek(0)
        return self.stderr.read().decode(errors="replace")

    def cut(self):
        """Cuts the power; the exit status once the layer has put back the durable state."""
        self.process.send_signal(signal.SIGUSR1)
        return self.wait()

    def unmount(self):
        """A clean shutdown by unmounting; the exit status."""
        subprocess.run(["fusermount3", "-u", self.mount_point], check=True)
        return self.wait()

    def wait(self):
        try:
            return self.process.wait(EXIT_LIMIT_SECONDS)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
            force_unmount(self.mount_point)
            raise AssertionError("powercut did not end within %s s: %s" % (EXIT_LIMIT_SECONDS, self.error_text()))

    def close(self):
        """Ends a layer still running (a clean shutdown, then harder) and unmounts."""
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(EXIT_LIMIT_SECONDS)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        force_unmount(self.mount_point)
        self.stderr.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        assert not mounted(self.mount_point), "still mounted: " + self.mount_point


def unavailable_reason(program):
    """Why the layer cannot be mounted here, or ""."""
    if os.geteuid() != 0:
        return "not running as root"
    if not os.path.exists("/dev/fuse"):
        return "no /dev/fuse"
    if shutil.which("fusermount3") is None:
        return "no fusermount3"
    root = tempfile.mkdtemp(prefix="powercut_probe_")
    try:
        os.mkdir(os.path.join(root, "backing"))
        os.mkdir(os.path.join(root, "mnt"))
        try:
            with Layer(program, os.path.join(root, "backing"), os.path.join(root, "mnt")) as layer:
                if layer.cut() != 0:
                    return "the probe mount did not end cleanly: " + layer.error_text()
        except AssertionError as refused:
            return "a mount is refused here: %s" % refused
    finally:
        shutil.rmtree(root, True)
    return ""

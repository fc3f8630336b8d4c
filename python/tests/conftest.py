"""A live daemon for the module's tests, run the way the end-to-end harness runs it: its own
configuration file in a private temporary directory, in the foreground (-D), started only once no
other quillmap instance runs on the machine (the daemon refuses to start beside one), stopped with
SIGTERM (SIGKILL after a bounded wait), and its System V segments (the dictionary, its state and its
index) removed afterwards (a foreground daemon leaves them for the next start)."""

import os
import signal
import socket
import subprocess
import time

import pytest

PROJECT_IDS = (ord("b"), ord("c"), ord("d"))  # ftok project ids: dictionary, state, index


def quillmap_processes():
    found = []
    for pid in os.listdir("/proc"):
        if pid.isdigit():
            try:
                with open(f"/proc/{pid}/cmdline", "rb") as f:
                    if f.read().startswith(b"quillmap:"):
                        found.append(int(pid))
            except OSError:
                pass
    return found


def wait_until(predicate, timeout):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(0.05)
    return predicate()


def segment_key(data_path, project_id):
    # ftok(3) as glibc computes it.
    st = os.stat(data_path)
    return ((st.st_ino & 0xFFFF) | ((st.st_dev & 0xFF) << 16) | (project_id << 24)) & 0xFFFFFFFF


def alive(pid):
    try:
        os.kill(pid, 0)
        return True
    except ProcessLookupError:
        return False
    except PermissionError:
        return True


def serving(socket_path):
    # The worker answers an empty batch once it serves.
    try:
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
            s.settimeout(2)
            s.connect(socket_path)
            s.shutdown(socket.SHUT_WR)
            return len(s.recv(256)) > 0
    except OSError:
        return False


class Daemon:
    def __init__(self, directory):
        self.dir = str(directory)
        self.config_path = os.path.join(self.dir, "quillmap.conf")
        self.data_path = os.path.join(self.dir, "data.yaml")
        self.socket_path = os.path.join(self.dir, "run", "quillmap.sock")
        self.log_path = os.path.join(self.dir, "log", "quillmap.log")
        with open(self.config_path, "w") as f:
            f.write(f"data_path={self.data_path}\nsocket_path={self.socket_path}\n"
                    f"log_path={self.log_path}\npid_path={self.dir}/run/quillmap.pid\n"
                    "log_level=INFO\ndata_size=4194304\n")
        self.process = None
        self.creator = 0

    def start(self):
        deadline = time.monotonic() + 60
        while True:
            if not wait_until(lambda: not quillmap_processes(), 30):
                pytest.fail("another quillmap instance is still running")
            err = open(os.path.join(self.dir, "stderr.txt"), "w+")
            self.process = subprocess.Popen([os.environ["QUILLMAP_DAEMON"], "-c", self.config_path, "-D"],
                                            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=err)
            if wait_until(lambda: self.process.poll() is not None or serving(self.socket_path), 10) \
                    and self.process.poll() is None:
                return
            err.seek(0)
            text = err.read()
            self.stop()
            # Another instance may have started between our look and the daemon's own.
            if not text.startswith("Quillmap is already running") or time.monotonic() > deadline:
                pytest.fail(f"the daemon did not start: {text}")

    def stop(self):
        if self.process:
            self.creator = self.process.pid
        if self.process and self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.process = None

    def remove_segment(self, creator):
        # Only segments our daemon made (the master, or a worker of it, now gone): unrelated files can
        # share a key. A leftover state or index segment would collide with a later test's key.
        if not os.path.exists(self.data_path):
            return
        keys = {segment_key(self.data_path, p) for p in PROJECT_IDS}
        with open("/proc/sysvipc/shm") as f:
            next(f)
            for line in f:
                fields = line.split()
                cpid = int(fields[4])
                if int(fields[0]) in keys and (cpid == creator or not alive(cpid)):
                    subprocess.run(["ipcrm", "-m", fields[1]], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


@pytest.fixture(scope="module")
def daemon(tmp_path_factory):
    d = Daemon(tmp_path_factory.mktemp("quillmap"))
    d.start()
    try:
        yield d
    finally:
        d.stop()
        d.remove_segment(d.creator)

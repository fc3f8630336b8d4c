"""A live daemon for the module's tests, run as the end-to-end harness runs it: its own configuration
in a private directory, in the foreground (-D), started once no other quillmap instance runs (it
refuses to start beside one), stopped with SIGTERM (SIGKILL after a bounded wait), and the System V
segments it made (dictionary, state, index) removed afterwards, since a foreground daemon leaves them."""

import os
import signal
import socket
import subprocess
import time

import pytest

PROJECT_IDS = (ord("b"), ord("c"), ord("d"))  # ftok project ids: dictionary, state, index


def wait_until(predicate, timeout):
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.05)
    return True


def no_instance():
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                if f.read().startswith(b"quillmap:"):
                    return False
        except OSError:
            pass
    return True


def serving(socket_path):
    try:  # the worker answers an empty batch once it serves
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
        with open(self.config_path, "w") as f:
            f.write(f"data_path={self.data_path}\nsocket_path={self.socket_path}\n"
                    f"log_path={self.dir}/log/quillmap.log\npid_path={self.dir}/run/quillmap.pid\n"
                    "log_level=INFO\ndata_size=4194304\n")
        self.process = None

    def start(self):
        deadline = time.monotonic() + 60
        while True:
            if not wait_until(no_instance, 30):
                pytest.fail("another quillmap instance is still running")
            err = open(os.path.join(self.dir, "stderr.txt"), "w+")
            self.process = subprocess.Popen([os.environ["QUILLMAP_DAEMON"], "-c", self.config_path, "-D"],
                                            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=err)
            if wait_until(lambda: self.process.poll() is not None or serving(self.socket_path), 10) \
                    and self.process.poll() is None:
                return
            self.stop()
            err.seek(0)
            text = err.read()
            # Another instance may have started between our look and the daemon's own.
            if not text.startswith("Quillmap is already running") or time.monotonic() > deadline:
                pytest.fail(f"the daemon did not start: {text}")

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()

    def remove_segments(self):
        # Only those our daemon made (its master, or a worker of it, now gone): unrelated files can
        # share a key, and a leftover state or index segment would collide with a later test's.
        st = os.stat(self.data_path)
        keys = {((st.st_ino & 0xFFFF) | ((st.st_dev & 0xFF) << 16) | (p << 24)) for p in PROJECT_IDS}  # ftok
        with open("/proc/sysvipc/shm") as f:
            for fields in map(str.split, list(f)[1:]):
                cpid = int(fields[4])
                if int(fields[0]) in keys and (cpid == self.process.pid or not os.path.exists(f"/proc/{cpid}")):
                    subprocess.run(["ipcrm", "-m", fields[1]], capture_output=True)


@pytest.fixture(scope="module")
def daemon(tmp_path_factory):
    d = Daemon(tmp_path_factory.mktemp("quillmap"))
    d.start()
    try:
        yield d
    finally:
        d.stop()
        d.remove_segments()

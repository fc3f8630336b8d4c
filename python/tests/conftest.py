"""A live daemon for the module's tests, run as the end-to-end harness runs it: its own configuration
in a private directory, in the foreground (-D), stopped with SIGTERM (SIGKILL after a bounded wait),
and the System V segments it made (dictionary, state, index) removed afterwards, since a foreground
daemon leaves them. It refuses to start beside another instance: run the tests in private PID and
IPC namespaces."""

import os
import signal
import subprocess
import time

import pytest

import quillmap

def serving(socket_path):
    try:  # the worker answers once it serves
        quillmap.Client(socket_path).info()
        return True
    except quillmap.Error:
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

    def start(self):
        with open(os.path.join(self.dir, "stderr.txt"), "w+") as err:
            self.process = subprocess.Popen([os.environ["QUILLMAP_DAEMON"], "-c", self.config_path, "-D"],
                                            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=err)
            deadline = time.monotonic() + 10
            while self.process.poll() is None and not serving(self.socket_path) and time.monotonic() < deadline:
                time.sleep(0.05)
            if self.process.poll() is not None or not serving(self.socket_path):
                self.stop()
                err.seek(0)
                pytest.fail(f"the daemon did not start: {err.read()}")

    def stop(self):  # and removes the segments
        self.process.send_signal(signal.SIGTERM)  # nothing once it has ended
        try:
            self.process.wait(10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        # In a private IPC namespace every segment of the data file's keys is our daemon's.
        st = os.stat(self.data_path)
        for p in b"bcd":  # ftok project ids: dictionary, state, index
            key = (st.st_ino & 0xFFFF) | ((st.st_dev & 0xFF) << 16) | (p << 24)  # ftok
            subprocess.run(["ipcrm", "-M", str(key)], capture_output=True)


@pytest.fixture(scope="module")
def daemon(tmp_path_factory):
    d = Daemon(tmp_path_factory.mktemp("quillmap"))
    d.start()
    yield d  # pytest runs the rest at the end of the module, whatever its tests did
    d.stop()

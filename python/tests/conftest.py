"""A live daemon for the module's tests, run as the end-to-end harness runs it: its own configuration
in a private directory, detached (the starting process ends with status 0 once the worker serves),
stopped with SIGTERM to the master, whose orderly stop removes the System V segments it made and then
its pid file. It refuses to start beside another instance: run the tests in private PID and IPC
namespaces."""

import os
import signal
import subprocess
import time

import pytest


class Daemon:
    def __init__(self, directory):
        self.dir = str(directory)
        self.config_path = os.path.join(self.dir, "quillmap.conf")
        self.data_path = os.path.join(self.dir, "data.yaml")
        self.pid_path = os.path.join(self.dir, "run", "quillmap.pid")
        with open(self.config_path, "w") as f:
            f.write(f"data_path={self.data_path}\nsocket_path={self.dir}/run/quillmap.sock\n"
                    f"log_path={self.dir}/log/quillmap.log\npid_path={self.pid_path}\n"
                    "log_level=INFO\ndata_size=4194304\n")

    def start(self):
        run = subprocess.run([os.environ["QUILLMAP_DAEMON"], "-c", self.config_path], stdin=subprocess.DEVNULL,
                             capture_output=True, text=True, timeout=30)
        if run.returncode != 0:
            pytest.fail(f"the daemon did not start: {run.stderr}")
        with open(self.pid_path) as f:
            self.master = int(f.read())

    def stop(self):
        os.kill(self.master, signal.SIGTERM)
        deadline = time.monotonic() + 10
        while os.path.exists(self.pid_path) and time.monotonic() < deadline:
            time.sleep(0.05)
        assert not os.path.exists(self.pid_path), "the daemon did not stop in time"


@pytest.fixture(scope="module")
def daemon(tmp_path_factory):
    d = Daemon(tmp_path_factory.mktemp("quillmap"))
    d.start()
    yield d  # pytest runs the rest at the end of the module, whatever its tests did
    d.stop()

"""A private Redis server for tests and the demonstration.

`RedisServer` runs Debian's ``redis-server`` on a free port of 127.0.0.1 with
persistence off (no snapshots, no append-only file, working directory in a
temporary folder), waits until it answers, and stops it by its process id.
It listens on the loopback address only and is never reached over a network.

    with RedisServer() as server:
        client = redis.Redis.from_url(server.url)
"""

import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time

HOST = "127.0.0.1"


def free_port():
    """A TCP port on 127.0.0.1 that nothing listens on right now."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind((HOST, 0))
        return s.getsockname()[1]


def ping(port, timeout=0.5):
    """Does a Redis server answer PING on 127.0.0.1:port?"""
    try:
        with socket.create_connection((HOST, port), timeout=timeout) as s:
            s.sendall(b"PING\r\n")
            return s.recv(64).startswith(b"+PONG")
    except OSError:
        return False


class RedisServer:
    """One ``redis-server`` process on 127.0.0.1; `port` is chosen when not given."""

    def __init__(self, port=None, executable=None, start_timeout=15.0):
        self.executable = executable or shutil.which("redis-server")
        if not self.executable:
            raise FileNotFoundError("redis-server is not installed (scripts/setup.sh installs it)")
        self.port = port
        self.start_timeout = start_timeout
        self.process = None
        self._dir = None

    @property
    def pid(self):
        return self.process.pid if self.process else None

    @property
    def url(self):
        return "redis://%s:%d/0" % (HOST, self.port)

    def start(self):
        """Start the server and wait until it answers; a chosen port that was taken
        meanwhile is replaced by another free one (a given port is kept)."""
        if self.process is not None:
            raise RuntimeError("redis-server already running (pid %d)" % self.process.pid)
        if self._dir is None:
            self._dir = tempfile.mkdtemp(prefix="redis-test-")
        choose = self.port is None
        for _ in range(5 if choose else 1):
            if choose:
                self.port = free_port()
            if self._launch():
                return self
            if not choose:
                break
        raise RuntimeError("redis-server did not start on %s:%d" % (HOST, self.port))

    def _launch(self):
        args = [
            self.executable,
            "--bind", HOST,
            "--port", str(self.port),
            "--save", "",
            "--appendonly", "no",
            "--dir", self._dir,
            "--daemonize", "no",
            "--protected-mode", "yes",
            "--loglevel", "warning",
        ]
        self.process = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                        stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + self.start_timeout
        while time.monotonic() < deadline:
            if self.process.poll() is not None:  # exited: the port was taken, most likely
                self.process = None
                return False
            if ping(self.port):
                return True
            time.sleep(0.02)
        self.stop()
        return False

    def stop(self, timeout=10.0):
        """Stop the server by its process id (SIGTERM, then SIGKILL if it lingers)."""
        process, self.process = self.process, None
        if process is None:
            return
        if process.poll() is None:
            os.kill(process.pid, signal.SIGTERM)
            try:
                process.wait(timeout)
            except subprocess.TimeoutExpired:
                os.kill(process.pid, signal.SIGKILL)
                process.wait(timeout)

    def restart(self):
        """Stop the server and start a new one on the same port (its data is gone)."""
        self.stop()
        if not self._launch():
            raise RuntimeError("redis-server did not restart on %s:%d" % (HOST, self.port))
        return self

    def close(self):
        self.stop()
        if self._dir is not None:
            shutil.rmtree(self._dir, ignore_errors=True)
            self._dir = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.close()

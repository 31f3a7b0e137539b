"""Shared fixtures of the helper tests: run the real scripts as child
processes against the stand-in modules and read their output byte for byte."""

import hashlib
import json
import os
import queue
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest

sys.dont_write_bytecode = True

PYTHON = "/usr/bin/python3"
TESTS_DIR = os.path.dirname(os.path.abspath(__file__))
HELPERS_DIR = os.path.dirname(TESTS_DIR)
STANDINS = os.path.join(TESTS_DIR, "standins")
WHISPER = os.path.join(HELPERS_DIR, "whisper_helper.py")
KOKORO = os.path.join(HELPERS_DIR, "kokoro_helper.py")


def encode_frame(header, payload=b""):
    """A command as the C++ side writes it: compact JSON, keys sorted, UTF-8."""
    header = dict(header)
    if payload:
        header["size"] = len(payload)
    line = json.dumps(header, separators=(",", ":"), sort_keys=True, ensure_ascii=False)
    return line.encode("utf-8") + b"\n" + payload


def pcm(samples):
    return struct.pack("<%dh" % len(samples), *samples)


def silence(seconds, rate=16000):
    return b"\x00\x00" * int(seconds * rate)


def make_cached_repo(cache, repo, files, dangling=(), commit="c0ffee" * 6 + "c0ff"):
    """Lay out a repository in a Hugging Face cache the way the hub does.

    Each snapshot entry links to a blob; names in `dangling` get a link
    whose blob is missing, as an interrupted download can leave behind.
    """
    root = os.path.join(cache, "models--" + repo.replace("/", "--"))
    os.makedirs(os.path.join(root, "refs"), exist_ok=True)
    os.makedirs(os.path.join(root, "blobs"), exist_ok=True)
    with open(os.path.join(root, "refs", "main"), "w") as ref:
        ref.write(commit)
    snapshot = os.path.join(root, "snapshots", commit)
    for name, content in list(files.items()) + [(name, b"lost " + name.encode()) for name in dangling]:
        blob = os.path.join(root, "blobs", hashlib.sha256(content).hexdigest())
        with open(blob, "wb") as out:
            out.write(content)
        link = os.path.join(snapshot, name)
        os.makedirs(os.path.dirname(link), exist_ok=True)
        os.symlink(os.path.relpath(blob, os.path.dirname(link)), link)
        if name in dangling:
            os.remove(blob)
    return snapshot


def write_blockers(folder, modules):
    """Modules that fail on import, put ahead of the stand-ins on PYTHONPATH.

    `modules` maps a module name to the statement it runs, e.g.
    'raise ImportError("...")'. This makes a module really absent for the
    child, whatever the machine has installed.
    """
    os.makedirs(folder, exist_ok=True)
    for name, statement in modules.items():
        with open(os.path.join(folder, name + ".py"), "w") as out:
            out.write(statement + "\n")
    return folder


class HelperTestCase(unittest.TestCase):
    def setUp(self):
        tmp = tempfile.TemporaryDirectory(prefix="helpers-test-")
        self.addCleanup(tmp.cleanup)
        self.tmp = tmp.name
        self.cache = os.path.join(self.tmp, "hub")
        self.log_path = os.path.join(self.tmp, "standin.log")
        os.makedirs(os.path.join(self.tmp, "home"))

    def environment(self, pythonpath=None, **extra):
        env = {
            "PATH": os.environ.get("PATH", "/usr/bin:/bin"),
            "HOME": os.path.join(self.tmp, "home"),
            "HF_HUB_CACHE": self.cache,
            "STANDIN_LOG": self.log_path,
            "PYTHONPATH": os.pathsep.join(pythonpath if pythonpath is not None else [STANDINS]),
            "PYTHONDONTWRITEBYTECODE": "1",
            "PYTHONNOUSERSITE": "1",
            "LANG": "C.UTF-8",
        }
        env.update({key: str(value) for key, value in extra.items()})
        return env

    def blocked(self, modules, name="blockers"):
        """PYTHONPATH on which `modules` fail to import and the stand-ins serve the rest."""
        folder = write_blockers(os.path.join(self.tmp, name), modules)
        return [folder, STANDINS]

    def run_oneshot(self, script, args, env, timeout=20):
        """Run a one-shot mode with standard input open and never written,
        as the C++ jobs do: a script that read it would hang here."""
        read_end, write_end = os.pipe()
        try:
            result = subprocess.run([PYTHON, script] + list(args), stdin=read_end,
                                    capture_output=True, env=env, timeout=timeout)
        finally:
            os.close(read_end)
            os.close(write_end)
        return result

    def json_lines(self, data):
        """Every line of `data` must be one JSON object ended by a line feed."""
        self.assertTrue(data == b"" or data.endswith(b"\n"), data[-200:])
        objects = []
        for line in data.split(b"\n")[:-1]:
            try:
                obj = json.loads(line.decode("utf-8"))
            except ValueError:
                self.fail("not a JSON line on stdout: %r" % line)
            self.assertIsInstance(obj, dict, line)
            objects.append(obj)
        return objects

    def log_events(self, event=None):
        try:
            with open(self.log_path, encoding="ascii") as log:
                entries = [json.loads(line) for line in log]
        except FileNotFoundError:
            return []
        return [entry for entry in entries if event is None or entry["event"] == event]

    def serve(self, script, env, prefix=()):
        self._clients = getattr(self, "_clients", 0) + 1
        client = ServeClient(script, env, os.path.join(self.tmp, "stderr-%d.txt" % self._clients),
                             prefix)
        self.addCleanup(client.close)
        self.addCleanup(self._assert_clean, client)
        return client

    def _assert_clean(self, client):
        client.close()
        self.assertEqual(client.garbage, [],
                         "stdout carried something that is not a frame; stderr:\n" + client.stderr_text())
        if not client.killed:
            self.assertFalse(client.truncated, "stdout ended inside a frame")


class ServeClient:
    """Talks to a helper in serve mode and splits its stdout into frames."""

    def __init__(self, script, env, stderr_path, prefix=()):
        self._stderr_path = stderr_path
        self._stderr = open(stderr_path, "wb")
        self.proc = subprocess.Popen(list(prefix) + [PYTHON, script, "serve"], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=self._stderr, env=env)
        self.started = time.monotonic()
        self.frames = queue.Queue()
        self.garbage = []
        self.truncated = False
        self.killed = False
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()

    def _read(self):
        stream = self.proc.stdout
        while True:
            line = stream.readline()
            if not line:
                break
            if not line.endswith(b"\n"):
                self.truncated = True
                break
            try:
                header = json.loads(line[:-1].decode("utf-8"))
            except ValueError:
                header = None
            if not isinstance(header, dict):
                self.garbage.append(line)
                continue
            size = header.get("size", 0)
            payload = b""
            if isinstance(size, int) and not isinstance(size, bool) and size > 0:
                payload = stream.read(size)
                if len(payload) != size:
                    self.truncated = True
                    break
            self.frames.put((header, payload))
        self.frames.put(None)

    # --- writing

    def send(self, header, payload=b""):
        self.send_raw(encode_frame(header, payload))

    def send_raw(self, data):
        self.proc.stdin.write(data)
        self.proc.stdin.flush()

    def close_stdin(self):
        try:
            self.proc.stdin.close()
        except OSError:
            pass

    # --- reading

    def next(self, timeout=5.0):
        """The next frame (header, payload); fails on a timeout or the end of stdout."""
        try:
            item = self.frames.get(timeout=timeout)
        except queue.Empty:
            raise AssertionError("no frame within %.1f s; stderr:\n%s"
                                 % (timeout, self.stderr_text())) from None
        if item is None:
            self.frames.put(None)
            raise AssertionError("stdout ended; stderr:\n" + self.stderr_text())
        return item

    def until(self, predicate, timeout=5.0):
        """Frames up to and including the first header that satisfies `predicate`."""
        deadline = time.monotonic() + timeout
        frames = []
        while True:
            frame = self.next(max(deadline - time.monotonic(), 0.01))
            frames.append(frame)
            if predicate(frame[0]):
                return frames

    def collect(self, duration):
        """Whatever frames arrive within `duration` seconds."""
        deadline = time.monotonic() + duration
        frames = []
        while True:
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                return frames
            try:
                item = self.frames.get(timeout=remaining)
            except queue.Empty:
                return frames
            if item is None:
                self.frames.put(None)
                return frames
            frames.append(item)

    def wait_exit(self, timeout):
        """The exit code, or a failure when the process outlives `timeout` seconds."""
        try:
            return self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            raise AssertionError("helper still running after %.1f s; stderr:\n%s"
                                 % (timeout, self.stderr_text())) from None

    def stderr_text(self):
        if not self._stderr.closed:
            self._stderr.flush()
        with open(self._stderr_path, "rb") as err:
            return err.read().decode("utf-8", "replace")

    def close(self):
        if self.proc.poll() is None:
            self.killed = True
            self.proc.kill()
        self.proc.wait()
        self.close_stdin()
        self._reader.join(timeout=5)
        self.proc.stdout.close()
        self._stderr.close()


def of_type(kind, rid=None):
    """A predicate for `until`: a reply of that type (and id, when given)."""
    def predicate(header):
        return header.get("type") == kind and (rid is None or header.get("id") == rid)
    return predicate


class TimedRun:
    """A one-shot mode running in the background (standard input open and never
    written, as the C++ jobs leave it), whose output lines are read with the
    time each arrived: a test can tell a progress line that came at once from
    one that was held back until the end."""

    def __init__(self, script, args, env):
        self._stdin_read, self._stdin_write = os.pipe()
        self.proc = subprocess.Popen([PYTHON, script] + list(args), stdin=self._stdin_read,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
        self.pid = self.proc.pid
        self.lines = []
        self.stderr = b""
        self._readers = [threading.Thread(target=self._read_lines, daemon=True),
                         threading.Thread(target=self._read_errors, daemon=True)]
        for reader in self._readers:
            reader.start()

    def _read_lines(self):
        for line in self.proc.stdout:
            self.lines.append((time.monotonic(), line))

    def _read_errors(self):
        self.stderr = self.proc.stderr.read()

    def finish(self, timeout=30):
        """The exit code, once the process has ended and all its output is read."""
        try:
            code = self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
            code = None
        finally:
            os.close(self._stdin_read)
            os.close(self._stdin_write)
        for reader in self._readers:
            reader.join(timeout=5)
        self.proc.stdout.close()
        self.proc.stderr.close()
        if code is None:
            raise AssertionError("still running after %d s; stderr:\n%s"
                                 % (timeout, self.stderr.decode("utf-8", "replace")))
        return code

    def stdout(self):
        return b"".join(line for _, line in self.lines)

    def arrival(self, predicate):
        """When the first line whose JSON object satisfies `predicate` arrived."""
        for when, line in self.lines:
            try:
                obj = json.loads(line.decode("utf-8"))
            except ValueError:
                continue
            if isinstance(obj, dict) and predicate(obj):
                return when
        raise AssertionError("no such line in %r" % self.stdout())

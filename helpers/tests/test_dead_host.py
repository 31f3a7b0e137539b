"""Both helpers in serve mode when their host goes away: standard input, output
and error closed at once, or only the reader of standard output gone. Whatever
the helper is doing then, it must end within two seconds, by itself, without
an abort and without leaving a process behind.

Run as a script (python3 test_dead_host.py --measure) it prints the exit time
of every case instead of testing it."""

import errno
import fcntl
import json
import os
import select
import signal
import subprocess
import sys
import time
import unittest

from harness import KOKORO, PYTHON, WHISPER, HelperTestCase, encode_frame, make_cached_repo
from serve_fixtures import CACHED_REPOS, MODEL_FILES, voice

DEADLINE = 2.0
SLOW = 60  # seconds a held step would take: far beyond any deadline here


class RawClient:
    """A serve-mode helper in a session of its own, on pipes the test holds
    without reader threads, so that closing them really closes them."""

    def __init__(self, script, env, stderr_file=None):
        self.proc = subprocess.Popen([PYTHON, script, "serve"], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE,
                                     stderr=stderr_file or subprocess.PIPE, env=env,
                                     start_new_session=True)
        self.streams = [self.proc.stdout] + ([self.proc.stderr] if self.proc.stderr else [])
        for stream in self.streams:
            flags = fcntl.fcntl(stream.fileno(), fcntl.F_GETFL)
            fcntl.fcntl(stream.fileno(), fcntl.F_SETFL, flags | os.O_NONBLOCK)
        self.buffer = b""
        self.errors = b""

    def send(self, header, payload=b""):
        self.proc.stdin.write(encode_frame(header, payload))
        self.proc.stdin.flush()

    def _pump(self, timeout):
        ready, _, _ = select.select([s for s in self.streams if not s.closed], [], [], timeout)
        for stream in ready:
            try:
                data = os.read(stream.fileno(), 1 << 16)
            except BlockingIOError:
                continue
            if stream is self.proc.stdout:
                self.buffer += data
            else:
                self.errors += data
            if not data:
                raise AssertionError("the helper ended early; stderr:\n"
                                     + self.errors.decode("utf-8", "replace"))

    def _take(self):
        newline = self.buffer.find(b"\n")
        if newline < 0:
            return None
        header = json.loads(self.buffer[:newline])
        size = header.get("size", 0)
        if len(self.buffer) < newline + 1 + size:
            return None
        self.buffer = self.buffer[newline + 1 + size:]
        return header

    def until(self, predicate, timeout=10.0):
        """Headers up to the first that satisfies `predicate`."""
        deadline = time.monotonic() + timeout
        headers = []
        while True:
            header = self._take()
            if header is not None:
                headers.append(header)
                if predicate(header):
                    return headers
                continue
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                raise AssertionError("no such frame within %.0f s; got %r" % (timeout, headers))
            self._pump(remaining)

    def idle(self, seconds):
        """Read and drop output for `seconds`."""
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            self._pump(deadline - time.monotonic())
            while self._take() is not None:
                pass

    def close(self, *streams):
        for stream in streams:
            try:
                stream.close()
            except OSError:
                pass

    def exit_after(self, limit):
        """(seconds until the helper ended, its status), or (None, None) past `limit`."""
        began = time.monotonic()
        try:
            code = self.proc.wait(timeout=limit)
        except subprocess.TimeoutExpired:
            return None, None
        return time.monotonic() - began, code

    def leftovers(self):
        """The processes of the helper's session still alive (not zombies) a moment later."""
        for _ in range(50):
            alive = session_processes(self.proc.pid)
            if not alive:
                return []
            time.sleep(0.02)
        return alive

    def kill_all(self):
        try:
            os.killpg(self.proc.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        self.proc.wait()
        for stream in (self.proc.stdin, self.proc.stdout, self.proc.stderr):
            if stream is not None:
                self.close(stream)


def session_processes(sid):
    """(pid, state, command line) of the live processes of session `sid`."""
    found = []
    for name in os.listdir("/proc"):
        if not name.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % name) as stat:
                fields = stat.read().rsplit(")", 1)[1].split()
            with open("/proc/%s/cmdline" % name, "rb") as cmdline:
                command = cmdline.read().replace(b"\0", b" ").decode("utf-8", "replace")
        except OSError:
            continue
        # After the command: state, ppid, pgrp, session.
        if int(fields[3]) == sid and fields[0] != "Z":
            found.append((int(name), fields[0], command.strip()))
    return found


def of_type(kind, rid=None):
    return lambda h: h.get("type") == kind and (rid is None or h.get("id") == rid)


class DeadHostCase(HelperTestCase):
    def setUp(self):
        super().setUp()
        for repo in CACHED_REPOS:
            make_cached_repo(self.cache, repo, MODEL_FILES)

    def wait_log(self, event, count=1, where=lambda entry: True, timeout=10.0):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if len([e for e in self.log_events(event) if where(e)]) >= count:
                return
            time.sleep(0.02)
        self.fail("the stand-in never logged %d %r events" % (count, event))

    # --- whisper states

    def whisper_idle(self, client):
        client.until(of_type("ready"))

    def whisper_utterance(self, client, uid, stop=True):
        client.send({"cmd": "start", "id": uid, "sampleFormat": "int16", "partials": False})
        client.send({"cmd": "audio", "id": uid}, voice(0.5))
        if stop:
            client.send({"cmd": "stop", "id": uid})

    def whisper_two_done(self, client):
        client.until(of_type("ready"))
        for uid in (1, 2):
            self.whisper_utterance(client, uid)
            client.until(of_type("end", uid))

    def whisper_final_pass(self, client, uid=1):
        # Beam 5 makes only the final pass slow, not the warm-up before it.
        self.whisper_utterance(client, uid)
        self.wait_log("transcribe", where=lambda e: e["beam_size"] == 5)

    def whisper_two_then_open(self, client):
        self.whisper_two_done(client)
        self.whisper_utterance(client, 3, stop=False)
        client.idle(0.3)

    def whisper_probe(self, client):
        client.until(of_type("ready"))
        self.wait_log("load", where=lambda e: e["pid"] != client.proc.pid)

    WHISPER_STATES = {
        "idle": ({}, "whisper_idle"),
        "loading the model": ({"STANDIN_WHISPER_LOAD_DELAY": SLOW},
                              lambda self, c: self.wait_log("load")),
        "in a transcription pass": ({"STANDIN_WHISPER_BEAM_TOKEN": SLOW}, "whisper_final_pass"),
        "after two utterances": ({}, "whisper_two_done"),
        "after two utterances, a third open": ({}, "whisper_two_then_open"),
        "probe child running": ({"STANDIN_WHISPER_GPU": "ok", "STANDIN_WHISPER_LOAD_DELAY": SLOW,
                                 "remembered": {"model": "small", "device": "cuda",
                                                "computeType": "float16"}}, "whisper_probe"),
    }

    # --- kokoro states

    def kokoro_say(self, client, rid, text="Hello."):
        client.send({"cmd": "say", "id": rid, "text": text, "voice": "af_heart", "speed": 1,
                     "sampleFormat": "int16"})

    def kokoro_idle(self, client):
        client.until(of_type("ready"))

    def kokoro_loading(self, client):
        client.until(of_type("ready"))
        self.wait_log("KModel")

    def kokoro_synthesizing(self, client):
        client.until(of_type("ready"))
        self.kokoro_say(client, 1)
        self.wait_log("call")

    def kokoro_two_done(self, client):
        client.until(of_type("ready"))
        for rid in (1, 2):
            self.kokoro_say(client, rid)
            client.until(of_type("end", rid))

    def kokoro_held(self, client):
        client.until(of_type("ready"))
        # Two sentences of 30 s each; playback reports nothing played, so the
        # second waits for it.
        self.kokoro_say(client, 1, "A" * 30 + ". " + "B" * 30 + ".")
        client.send({"cmd": "progress", "id": 1, "played": 0})
        client.until(of_type("chunk", 1))
        client.idle(0.5)

    KOKORO_STATES = {
        "idle": ({}, "kokoro_idle"),
        "loading the model": ({"STANDIN_KOKORO_LOAD_DELAY": SLOW},
                              "kokoro_loading"),
        "in a synthesis pass": ({"STANDIN_KOKORO_CHUNK_DELAY": SLOW}, "kokoro_synthesizing"),
        "after two requests": ({}, "kokoro_two_done"),
        "held by flow control": ({"STANDIN_KOKORO_SAMPLES_PER_CHAR": 24000}, "kokoro_held"),
    }

    # --- running a case

    def start(self, script, env, stderr_file=None):
        env = dict(env)
        remembered = env.pop("remembered", None)
        if remembered:
            state = os.path.join(self.tmp, "home", ".local", "state", "earlobe")
            os.makedirs(state, exist_ok=True)
            with open(os.path.join(state, "whisper_helper.json"), "w") as out:
                json.dump(remembered, out)
        client = RawClient(script, self.environment(**env), stderr_file)
        self.addCleanup(client.kill_all)
        return client

    def enter(self, client, reach):
        (getattr(self, reach) if isinstance(reach, str) else lambda c: reach(self, c))(client)

    def cases(self):
        for name, (env, reach) in self.WHISPER_STATES.items():
            yield "whisper", WHISPER, name, env, reach
        for name, (env, reach) in self.KOKORO_STATES.items():
            yield "kokoro", KOKORO, name, env, reach

    def host_dies(self, script, env, reach, limit=DEADLINE):
        """(exit seconds or None, status, something left behind) when stdin,
        stdout and stderr all close at once in the state `reach` leads to."""
        client = self.start(script, env)
        self.enter(client, reach)
        client.close(client.proc.stdin, client.proc.stdout, client.proc.stderr)
        seconds, code = client.exit_after(limit)
        left = client.leftovers() if seconds is not None else []
        client.kill_all()
        return seconds, code, left


class DeadHostTest(DeadHostCase):
    def test_helpers_end_when_the_host_dies(self):
        for helper, script, state, env, reach in self.cases():
            with self.subTest(helper=helper, state=state):
                self.setUp()
                seconds, code, left = self.host_dies(script, env, reach)
                self.assertIsNotNone(seconds, "still running %.0f s after its host died" % DEADLINE)
                self.assertGreaterEqual(code, 0, "ended by a signal")
                self.assertEqual(left, [], "processes of the helper outlived it")

    def test_helpers_end_when_a_reply_cannot_be_written(self):
        # The host stopped reading but still holds standard input open: the
        # next reply fails, and that alone must end the helper.
        cases = [
            ("whisper", WHISPER, {"STANDIN_WHISPER_BEAM_TOKEN": 0.5}, "whisper_final_pass"),
            ("kokoro", KOKORO, {"STANDIN_KOKORO_CHUNK_DELAY": 0.5}, "kokoro_synthesizing"),
        ]
        for helper, script, env, reach in cases:
            with self.subTest(helper):
                self.setUp()
                errors_path = os.path.join(self.tmp, "stderr.txt")
                with open(errors_path, "wb") as errors:
                    client = self.start(script, env, errors)
                self.enter(client, reach)
                client.close(client.proc.stdout)
                seconds, code = client.exit_after(DEADLINE + 1.0)
                with open(errors_path, encoding="utf-8", errors="replace") as errors:
                    logged = errors.read()
                self.assertIsNotNone(seconds, "still running after a reply failed:\n" + logged)
                self.assertGreaterEqual(code, 0, logged)
                self.assertNotIn("Traceback", logged)
                self.assertNotIn("Fatal Python error", logged)
                self.assertEqual(client.leftovers(), [])

    def test_a_download_ends_when_its_output_cannot_be_written(self):
        read_end, write_end = os.pipe()
        os.close(read_end)
        stdin_read, stdin_write = os.pipe()
        self.addCleanup(os.close, stdin_write)
        try:
            proc = subprocess.Popen([PYTHON, WHISPER, "download", "--model", "base"],
                                    stdin=stdin_read, stdout=write_end, stderr=subprocess.PIPE,
                                    env=self.environment(STANDIN_HF_DELAY=SLOW))
        finally:
            os.close(write_end)
            os.close(stdin_read)
        self.addCleanup(proc.stderr.close)
        self.addCleanup(proc.wait)
        self.addCleanup(proc.kill)
        try:
            proc.wait(timeout=DEADLINE)
        except subprocess.TimeoutExpired:
            self.fail("the download went on for nobody")
        self.assertNotEqual(proc.returncode, 0)
        self.assertNotIn(b"Traceback", proc.stderr.read())


def measure():
    """Exit times when the host dies, state by state, waiting up to 10 s."""
    case = DeadHostCase("run")
    for helper, script, state, env, reach in case.cases():
        case.setUp()
        seconds, code, left = case.host_dies(script, env, reach, limit=10.0)
        status = "-" if code is None else ("signal %s" % signal.Signals(-code).name if code < 0
                                           else "exit %d" % code)
        shown = "> 10 s (killed)" if seconds is None else "%.2f s" % seconds
        print("| %s | %s | %s | %s | %s |" % (helper, state, shown, status,
                                              ", ".join(c for _, _, c in left) if left else "none"), flush=True)
        case.doCleanups()


if __name__ == "__main__":
    if sys.argv[1:] == ["--measure"]:
        measure()
    else:
        unittest.main()

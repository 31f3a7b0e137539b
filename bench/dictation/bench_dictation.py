#!/usr/bin/env python3
"""Dictation benchmark of whisper_helper.py serve against the stand-in faster_whisper.

Run:  /usr/bin/python3 bench/dictation/bench_dictation.py [--quick] [--runs N] [--scale X]
      (--help lists every flag)

The stand-in charges what faster-whisper charges: one encoder pass per 30-s
window however short the audio (and one more for each language detection), a
cost per emitted token (beam 5 dearer than beam 1), and a cost per 512-sample
VAD chunk. The defaults are a "small" model with int8 on a 4-core CPU.

The speech is a script the stand-in understands (a word is a run of one sample
value): calm speech at about two words a second, short gaps inside a phrase
and a longer pause every few words, some "hard" words that beam 1 gets wrong,
no language given (the helper has to detect it). It is streamed in 100-ms
frames at the pace of real time with partials on.

The clock is simulated: frames go out --scale times faster than real time and
every cost is divided by --scale, so all times printed are wall time
multiplied back by --scale, in seconds of real time. A fixed wall-clock wait
inside the helper itself is stretched by the same factor.

Printed for each utterance length, as medians over --runs runs:
  encoder passes per second of speech   windows transcribed plus detections
  language detections per utterance
  lag to stable                         from the frame that completes a word to
                                        the partial from which on the word at its
                                        position never changes again through the
                                        final (the final itself when none does);
                                        median over the first and the last third
                                        of the words, and last / first
  word to first partial                 from the end of a word's audio to the
                                        first partial showing it at its position
                                        (a hard word also in its beam-1 form);
                                        the final when no partial does
  stop to final
  final exact                           runs whose final is the spoken text;
                                        substituted / missing / doubled words of
                                        the worst run
and, for reading those: Whisper calls (how many at beam 5, how many left
unfinished), audio seconds given to Whisper and to the VAD per second of
speech, partials, words no partial showed, and the helper's CPU time over the
wall time (the share of the simulated clock spent in its own python code).
"stop" is sent 0.6 s after the last word ends.
Then 60 s of silence (Whisper calls and the final text) and an utterance
started with device "cuda" on a GPU whose first encode aborts the process
(error events, final, whether the helper is still running).

It only prints; the exit status is 0 unless the benchmark itself crashes.
"""

import argparse
import difflib
import json
import math
import os
import queue
import random
import shutil
import statistics
import sys
import tempfile
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "helpers", "tests"))

from harness import STANDINS, WHISPER, ServeClient, make_cached_repo  # noqa: E402

RATE = 16000
SMALL_REPO = "Systran/faster-whisper-small"
MODEL_FILES = {"config.json": b"{}", "model.bin": b"weights", "tokenizer.json": b"{}",
               "vocabulary.txt": b"a\n"}

PLAIN_WORDS = (
    "we will meet at the station after lunch and then walk down to harbour where boats come "
    "in from north every morning my sister said it was quiet today but rain may start later "
    "so bring coat please remember tickets garden looks green again window open letters "
    "arrived yesterday").split()
# (what was said, what beam 1 makes of it)
HARD_WORDS = (("their", "there"), ("whether", "weather"), ("principal", "principle"),
              ("affect", "effect"), ("accept", "except"), ("allowed", "aloud"),
              ("site", "sight"), ("peace", "piece"), ("stationary", "stationery"),
              ("complement", "compliment"))
FIRST_VALUE = 1001
SEGMENT_GAP = 0.5        # silence that ends a segment for the stand-in
TAIL = 0.6               # silence after the last word, before "stop"


# ---------------------------------------------------------------- speech

class Vocabulary:
    def __init__(self):
        self.entries = []  # (sample value, text, beam-1 text or None, samples)
        for text, hard in [(w, None) for w in PLAIN_WORDS] + list(HARD_WORDS):
            seconds = min(0.45, 0.14 + 0.032 * len(text))
            self.entries.append((FIRST_VALUE + len(self.entries), text, hard,
                                 int(round(seconds * RATE))))
        self.plain = [e for e in self.entries if e[2] is None]
        self.hard = [e for e in self.entries if e[2] is not None]

    def write_script(self, path):
        words = {}
        for value, text, hard, samples in self.entries:
            entry = {"text": " " + text, "seconds": samples / RATE}
            if hard:
                entry["beam1"] = " " + hard
            words[str(value)] = entry
        with open(path, "w") as out:
            json.dump({"words": words, "gap": SEGMENT_GAP, "language": "en",
                       "hallucination": " Thank you."}, out)


class Utterance:
    """Samples (int16 bytes) and every word: (text, beam-1 text, first sample, end sample)."""

    def __init__(self, vocabulary, seconds, hard_share, seed, silent=False):
        import numpy

        rng = random.Random(seed)
        total = int(seconds * RATE)
        samples = numpy.zeros(total, dtype="<i2")
        self.words = []
        at = total if silent else int(0.3 * RATE)
        until_pause = rng.randint(4, 8)
        while True:
            value, text, hard, length = rng.choice(
                vocabulary.hard if rng.random() < hard_share else vocabulary.plain)
            if at + length > total - int(TAIL * RATE):
                break
            samples[at:at + length] = value
            self.words.append((text, hard, at, at + length))
            at += length
            until_pause -= 1
            if until_pause == 0:
                until_pause = rng.randint(4, 8)
                at += int(rng.uniform(0.55, 0.8) * RATE)
            else:
                at += int(rng.uniform(0.06, 0.12) * RATE)
        self.seconds = seconds
        self.pcm = samples.tobytes()

    @property
    def text(self):
        return [word[0] for word in self.words]


# ---------------------------------------------------------------- helper runs

class Run:
    """One helper process in a folder of its own: a cached model, HOME and
    XDG folders, the speech script and the stand-in's call log."""

    def __init__(self, args, vocabulary, extra_env=None):
        self.args = args
        self.tmp = tempfile.TemporaryDirectory(prefix="bench-dictation-")
        folder = self.tmp.name
        self.log_path = os.path.join(folder, "standin.log")
        hub = os.path.join(folder, "hub")
        make_cached_repo(hub, SMALL_REPO, MODEL_FILES)
        script = os.path.join(folder, "script.json")
        vocabulary.write_script(script)
        home = os.path.join(folder, "home")
        for sub in ("", ".cache", ".config", ".local/share", ".local/state", "runtime"):
            os.makedirs(os.path.join(home, sub), exist_ok=True)
        scale = args.scale
        env = {
            "PATH": os.environ.get("PATH", "/usr/bin:/bin"),
            "HOME": home,
            "XDG_CACHE_HOME": os.path.join(home, ".cache"),
            "XDG_CONFIG_HOME": os.path.join(home, ".config"),
            "XDG_DATA_HOME": os.path.join(home, ".local/share"),
            "XDG_STATE_HOME": os.path.join(home, ".local/state"),
            "XDG_RUNTIME_DIR": os.path.join(home, "runtime"),
            "HF_HOME": os.path.join(home, ".cache", "huggingface"),
            "HF_HUB_CACHE": hub,
            "PYTHONPATH": STANDINS,
            "PYTHONDONTWRITEBYTECODE": "1",
            "PYTHONNOUSERSITE": "1",
            "LANG": "C.UTF-8",
            "STANDIN_LOG": self.log_path,
            "STANDIN_WHISPER_SCRIPT": script,
            "STANDIN_WHISPER_ENCODE": repr(args.encode / scale),
            "STANDIN_WHISPER_TOKEN": repr(args.token / scale),
            "STANDIN_WHISPER_VAD": repr(args.vad / scale),
        }
        if args.beam_token is not None:
            env["STANDIN_WHISPER_BEAM_TOKEN"] = repr(args.beam_token / scale)
        env.update(extra_env or {})
        self.stderr_path = os.path.join(folder, "stderr.txt")
        self.client = ServeClient(args.helper, env, self.stderr_path)
        self.notes = []
        self.errors = []
        self.died = False

    def close(self, keep_as=None):
        try:
            self.client.close()
        except Exception as error:  # a helper in a bad state must not end the benchmark
            self.notes.append("closing the helper failed: %r" % error)
        if keep_as and self.args.keep:
            os.makedirs(self.args.keep, exist_ok=True)
            for name, path in (("log", self.log_path), ("stderr", self.stderr_path)):
                if os.path.exists(path):
                    shutil.copyfile(path, os.path.join(self.args.keep, keep_as + "." + name))
        self.tmp.cleanup()

    def log_events(self, since=0):
        try:
            with open(self.log_path, encoding="ascii", errors="replace") as log:
                lines = log.readlines()
        except FileNotFoundError:
            return []
        events = []
        for line in lines[since:]:
            try:
                events.append(json.loads(line))
            except ValueError:
                pass
        return events

    def log_length(self):
        try:
            with open(self.log_path, "rb") as log:
                return sum(1 for _ in log)
        except FileNotFoundError:
            return 0

    def stderr_tail(self, lines=6):
        try:
            text = self.client.stderr_text()
        except OSError:
            return ""
        return "\n".join("    | " + line for line in text.strip().splitlines()[-lines:])

    def wait_ready(self):
        """Ready, then the model loaded and any warm-up over, so that none of it
        is counted against the first utterance. A helper that loads lazily
        gets a short wait for nothing."""
        try:
            header, _ = self.client.next(self.args.ready_timeout)
        except AssertionError:
            self.died = self.client.proc.poll() is not None
            self.notes.append("no ready frame" + (" (helper died)" if self.died else ""))
            return False
        if header.get("type") != "ready":
            self.notes.append("first frame was not ready: %s" % json.dumps(header)[:200])
        elif header.get("available") is False:
            self.notes.append("helper says whisper is missing: %s" % header.get("missing"))
        deadline = time.monotonic() + 2.0
        while time.monotonic() < deadline and not any(
                e.get("event") == "loaded" for e in self.log_events()):
            time.sleep(0.05)
        # Quiet for longer than a short pass takes, and no pass still running.
        quiet = 0.3 + 2 * (self.args.encode + self.args.vad * 10) / self.args.scale
        quiet_since, size = time.monotonic(), self.log_length()
        unmatched_until = time.monotonic() + 5.0
        deadline = time.monotonic() + 30.0
        while time.monotonic() < deadline:
            time.sleep(0.05)
            now_size = self.log_length()
            if now_size != size:
                quiet_since, size = time.monotonic(), now_size
                continue
            if time.monotonic() - quiet_since < quiet:
                continue
            events = [e.get("event") for e in self.log_events()]
            if events.count("transcribe") <= events.count("transcribed") or \
                    time.monotonic() > unmatched_until:
                break
        return True

    def utterance(self, utt, uid=1, **start_fields):
        """Stream `utt` in real-time frames, stop, and wait for its end.

        Returns what was seen, in wall seconds from the "start" command:
        partials [(time, words)], final (time, words) or None, the time of
        "stop", the send time of every frame, and the log events since "start".
        """
        args = self.args
        scale = args.scale
        frame_bytes = int(args.frame * RATE) * 2
        frames = [utt.pcm[o:o + frame_bytes] for o in range(0, len(utt.pcm), frame_bytes)]
        sent = [None] * len(frames)
        stopped = []
        offset = self.log_length()
        cpu_before = self.cpu_seconds()
        start = {"cmd": "start", "id": uid, "sampleFormat": "int16", "partials": True}
        start.update(start_fields)
        began = time.monotonic()
        try:
            self.client.send(start)
        except OSError:
            self.died = True
            self.notes.append("helper gone before start")
            return None

        def send_frames():
            # Its own thread: a helper that stops reading blocks this write,
            # not the clock of the reading side.
            try:
                for index, frame in enumerate(frames):
                    delay = began + (index + 1) * args.frame / scale - time.monotonic()
                    if delay > 0:
                        time.sleep(delay)
                    self.client.send({"cmd": "audio", "id": uid}, frame)
                    sent[index] = time.monotonic() - began
                self.client.send({"cmd": "stop", "id": uid})
                stopped.append(time.monotonic() - began)
            except (OSError, ValueError):
                pass

        sender = threading.Thread(target=send_frames, daemon=True)
        sender.start()
        partials, final, ended = [], None, False
        deadline = began + utt.seconds / scale + args.final_timeout / scale + 10.0
        while True:
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                break
            try:
                item = self.client.frames.get(timeout=remaining)
            except queue.Empty:
                break
            now = time.monotonic() - began
            if item is None:
                self.client.frames.put(None)
                self.died = True
                break
            header = item[0]
            kind = header.get("type")
            if kind == "error":
                self.errors.append(header)
            if header.get("id") != uid:
                continue
            if kind == "partial":
                partials.append((now, str(header.get("text", "")).split()))
            elif kind == "final":
                final = (now, str(header.get("text", "")).split())
            elif kind == "end":
                ended = True
                break
        if self.died or self.client.proc.poll() is not None:
            self.died = True
            at = (time.monotonic() - began) * scale
            try:
                code = self.client.proc.wait(timeout=5.0)
            except Exception:  # still running with its output closed
                code = None
            how = "signal %d" % -code if code is not None and code < 0 else "exit %s" % code
            self.notes.append("helper died (%s) %.1f s into the utterance" % (how, at))
            tail = self.stderr_tail()
            if tail:
                self.notes.append(tail)
        elif not ended:
            self.notes.append("no end within %.0f s of stop" % args.final_timeout)
        sender.join(timeout=5.0)
        if sender.is_alive():
            self.notes.append("helper stopped reading its input")
            self.client.close()
            sender.join(timeout=5.0)
        time.sleep(0.1)
        cpu_after = self.cpu_seconds()
        busy = None
        if cpu_before is not None and cpu_after is not None:
            busy = (cpu_after - cpu_before) / (time.monotonic() - began)
        return {"partials": partials, "final": final, "stop": stopped[0] if stopped else None,
                "sent": sent, "events": self.log_events(offset), "ended": ended, "busy": busy}

    def cpu_seconds(self):
        """User and system CPU time the helper process has used, or None."""
        try:
            with open("/proc/%d/stat" % self.client.proc.pid) as stat:
                fields = stat.read().rsplit(")", 1)[1].split()
            return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
        except (OSError, ValueError, IndexError):
            return None

    def quit(self):
        """Whether the helper was still running; then asks it to quit."""
        alive = self.client.proc.poll() is None
        if alive:
            try:
                self.client.send({"cmd": "quit"})
                self.client.wait_exit(5.0)
            except (OSError, ValueError, AssertionError):
                self.notes.append("helper did not quit within 5 s")
        return alive


# ---------------------------------------------------------------- figures

def median(values):
    values = [v for v in values if v is not None]
    return statistics.median(values) if values else None


def percentile(values, share):
    values = sorted(v for v in values if v is not None)
    if not values:
        return None
    position = share * (len(values) - 1)
    low = math.floor(position)
    high = min(low + 1, len(values) - 1)
    return values[low] + (values[high] - values[low]) * (position - low)


def word_errors(spoken, heard):
    """(substituted, missing, doubled) words of `heard` against `spoken`."""
    substituted = missing = doubled = 0
    matcher = difflib.SequenceMatcher(None, spoken, heard, autojunk=False)
    for tag, i1, i2, j1, j2 in matcher.get_opcodes():
        said, got = i2 - i1, j2 - j1
        if tag == "replace":
            substituted += min(said, got)
            missing += max(said - got, 0)
            doubled += max(got - said, 0)
        elif tag == "delete":
            missing += said
        elif tag == "insert":
            doubled += got
    return substituted, missing, doubled


def stable_times(partials, final):
    """For every position of the final, the time from which the partials and the
    final show the same word there for good."""
    time_final, words = final
    last_differs = [-1] * len(words)
    for index, (_, shown) in enumerate(partials):
        for position, word in enumerate(words):
            if position >= len(shown) or shown[position] != word:
                last_differs[position] = index
    return [partials[i + 1][0] if i + 1 < len(partials) else time_final for i in last_differs]


def analyse(utt, seen, args):
    scale = args.scale
    events = seen["events"]
    transcribes = [e for e in events if e.get("event") == "transcribe"]
    transcribed = [e for e in events if e.get("event") == "transcribed"]
    detections = sum(1 for e in events if e.get("event") == "detect")
    windows = sum(e.get("windows", 0) for e in transcribed)
    vad_seconds = sum(e.get("samples", 0) for e in events if e.get("event") == "vad") / RATE
    result = {
        "passes": (windows + detections) / utt.seconds,
        "detections": detections,
        "calls": len(transcribes),
        "beam5": sum(1 for e in transcribes if (e.get("beam_size") or 0) >= 5),
        "abandoned": max(len(transcribes) - len(transcribed), 0),
        "audio": sum(e.get("seconds", 0.0) for e in transcribes) / utt.seconds,
        "vad": vad_seconds / utt.seconds,
        "partials": len(seen["partials"]),
        "busy": seen["busy"],
    }
    final = seen["final"]
    spoken = utt.text
    if final is None:
        return result
    result["exact"] = final[1] == spoken
    result["errors"] = word_errors(spoken, final[1])
    if seen["stop"] is not None:
        result["stop_final"] = (final[0] - seen["stop"]) * scale

    frame = int(args.frame * RATE)
    sent = seen["sent"]

    def completed(word):
        index = min(-(-word[3] // frame) - 1, len(sent) - 1)
        return sent[index] if sent[index] is not None else None

    lags = []
    stable = stable_times(seen["partials"], final)
    for position, word in enumerate(utt.words):
        done = completed(word)
        if position < len(stable) and done is not None:
            lags.append((stable[position] - done) * scale)
        else:
            lags.append(None)
    third = len(utt.words) // 3
    if third:
        result["lag_first"] = median(lags[:third])
        result["lag_last"] = median(lags[-third:])
        if result["lag_first"] and result["lag_last"] is not None:
            result["lag_ratio"] = result["lag_last"] / result["lag_first"]

    firsts, only_final, never = [], 0, 0
    for position, (text, hard, first, end) in enumerate(utt.words):
        forms = {text, hard}
        begun = first / RATE / scale
        shown = next((t for t, words in seen["partials"] if t >= begun and
                      len(words) > position and words[position] in forms), None)
        if shown is None and len(final[1]) > position and final[1][position] == text:
            shown, only_final = final[0], only_final + 1
        if shown is None:
            never += 1
            continue
        firsts.append(shown * scale - end / RATE)
    result["first_median"] = median(firsts)
    result["first_p90"] = percentile(firsts, 0.9)
    result["only_final"] = only_final
    result["never_shown"] = never
    return result


# ---------------------------------------------------------------- scenarios

def run_utterance(args, vocabulary, seconds, seed, label):
    utt = Utterance(vocabulary, seconds, args.hard, seed)
    run = Run(args, vocabulary)
    result, notes = {}, []
    try:
        if run.wait_ready():
            seen = run.utterance(utt)
            if seen is not None:
                result = analyse(utt, seen, args)
        run.quit()
        if run.errors:
            notes.append("error events: " + "; ".join(
                str(e.get("message"))[:120] for e in run.errors))
    finally:
        run.close(keep_as=label)
    notes.extend(run.notes)
    result["words"] = len(utt.words)
    return result, notes


def run_silence(args, vocabulary):
    utt = Utterance(vocabulary, args.silence, 0.0, 0, silent=True)
    run = Run(args, vocabulary)
    result = {}
    try:
        if run.wait_ready():
            seen = run.utterance(utt)
            if seen is not None:
                events = seen["events"]
                result["calls"] = sum(1 for e in events if e.get("event") == "transcribe")
                result["detections"] = sum(1 for e in events if e.get("event") == "detect")
                result["final"] = None if seen["final"] is None else " ".join(seen["final"][1])
                result["partials"] = len(seen["partials"])
        run.quit()
    finally:
        run.close(keep_as="silence")
    return result, run.notes


def run_broken_gpu(args, vocabulary):
    utt = Utterance(vocabulary, args.gpu_seconds, args.hard, 99)
    run = Run(args, vocabulary, {"STANDIN_WHISPER_GPU": "broken"})
    result = {}
    try:
        if run.wait_ready():
            seen = run.utterance(utt, device="cuda")
            if seen is not None and seen["final"] is not None:
                result["exact"] = seen["final"][1] == utt.text
                result["errors_words"] = word_errors(utt.text, seen["final"][1])
        result["alive"] = run.quit()
        result["error_events"] = len(run.errors)
        result["messages"] = [str(e.get("message"))[:160] for e in run.errors]
    finally:
        run.close(keep_as="gpu")
    return result, run.notes


# ---------------------------------------------------------------- report

def fmt(value, pattern="%.2f"):
    return "-" if value is None else pattern % value


ROWS = (
    # key, label, pattern, target
    ("passes", "encoder passes per s of speech", "%.2f", ""),
    ("detections", "language detections per utterance", "%.1f", "<= 1"),
    ("lag_first", "lag to stable, first third (s)", "%.2f", ""),
    ("lag_last", "lag to stable, last third (s)", "%.2f", ""),
    ("lag_ratio", "lag ratio, last / first third", "%.2f", "~1, not growing with length"),
    ("first_median", "word to first partial, median (s)", "%.2f", "<= 1.5"),
    ("first_p90", "word to first partial, p90 (s)", "%.2f", "<= 2.5"),
    ("stop_final", "stop to final (s)", "%.2f", "<= 1.2 at 10 s, <= 2.5 at 30 s"),
)
INFO_ROWS = (
    ("calls", "  Whisper calls", "%.0f"),
    ("beam5", "  of them beam 5", "%.0f"),
    ("abandoned", "  left unfinished", "%.0f"),
    ("audio", "  audio transcribed / speech", "%.2f"),
    ("vad", "  audio through the VAD / speech", "%.2f"),
    ("partials", "  partials", "%.0f"),
    ("busy", "  helper CPU time / wall time", "%.2f"),
    ("only_final", "  words first shown by the final", "%.0f"),
    ("never_shown", "  words never shown", "%.0f"),
)
LABEL = 38
COLUMN = 9


def line(label, cells, target=""):
    return label.ljust(LABEL) + "".join(c.rjust(COLUMN) for c in cells) + \
        ("   " + target if target else "")


def report_lengths(args, results):
    lengths = list(results)
    print(line("utterance", ["%d s" % s for s in lengths], "target"))
    print(line("words spoken", [fmt(median(r["words"] for r in results[s]), "%.0f")
                                for s in lengths]))
    for key, label, pattern, target in ROWS:
        cells = [fmt(median(r.get(key) for r in results[s]), pattern) for s in lengths]
        print(line(label, cells, target))
    cells = []
    for s in lengths:
        done = [r for r in results[s] if "exact" in r]
        cells.append("%d/%d" % (sum(r["exact"] for r in done), len(results[s])))
    print(line("final exact (runs)", cells, "all"))
    cells = []
    for s in lengths:
        errors = [r["errors"] for r in results[s] if "errors" in r]
        worst = max(errors, key=sum) if errors else None
        cells.append("-" if worst is None else "%d/%d/%d" % worst)
    print(line("  substituted/missing/doubled (worst)", cells, "0/0/0"))
    for key, label, pattern in INFO_ROWS:
        print(line(label, [fmt(median(r.get(key) for r in results[s]), pattern) for s in lengths]))


def main():
    parser = argparse.ArgumentParser(
        description="Dictation figures of whisper_helper.py serve against the stand-in "
                    "faster_whisper. Costs are in seconds of real time.")
    parser.add_argument("--quick", action="store_true",
                        help="one run of each length instead of --runs")
    parser.add_argument("--runs", type=int, default=3, help="runs of each length (default 3)")
    parser.add_argument("--lengths", default="10,30,120,300",
                        help="utterance lengths in seconds (default 10,30,120,300)")
    parser.add_argument("--scale", type=float, default=4.0,
                        help="how much faster than real time the clock runs (default 4)")
    parser.add_argument("--encode", type=float, default=0.5,
                        help="one encoder pass over a 30-s window (default 0.5)")
    parser.add_argument("--token", type=float, default=0.01,
                        help="one token with beam 1 (default 0.01)")
    parser.add_argument("--beam-token", type=float, default=None,
                        help="one token with beam 5 (default: the stand-in's, 2.5 x --token)")
    parser.add_argument("--vad", type=float, default=0.001,
                        help="one 512-sample VAD chunk (default 0.001)")
    parser.add_argument("--hard", type=float, default=0.12,
                        help="share of words that beam 1 gets wrong (default 0.12)")
    parser.add_argument("--frame", type=float, default=0.1,
                        help="seconds of audio per frame sent (default 0.1)")
    parser.add_argument("--silence", type=float, default=60.0,
                        help="length of the silent utterance (default 60; 0 skips it)")
    parser.add_argument("--gpu-seconds", type=float, default=10.0,
                        help="length of the broken-GPU utterance (default 10; 0 skips it)")
    parser.add_argument("--final-timeout", type=float, default=120.0,
                        help="real seconds to wait for the end after stop (default 120)")
    parser.add_argument("--ready-timeout", type=float, default=30.0,
                        help="wall seconds to wait for ready (default 30)")
    parser.add_argument("--helper", default=WHISPER, help="the helper script (default: ours)")
    parser.add_argument("--keep", metavar="DIR",
                        help="copy every run's stand-in log and helper stderr here")
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()
    if args.quick:
        args.runs = 1
    lengths = [float(s) for s in args.lengths.split(",") if s.strip()]
    vocabulary = Vocabulary()

    beam_token = args.beam_token if args.beam_token is not None else 2.5 * args.token
    print("whisper_helper serve against the stand-in faster_whisper: %s" % args.helper)
    print("costs (real s): encoder %.2f per 30-s window (detection is one more), token %.3f "
          "beam 1 / %.3f beam 5, VAD %.4f per 512 samples"
          % (args.encode, args.token, beam_token, args.vad))
    print("clock %.4gx real time, %.0f-ms frames, partials on, language not given, "
          "%.0f%% hard words; times in real seconds; medians over %d run%s"
          % (args.scale, args.frame * 1000, args.hard * 100, args.runs,
             "" if args.runs == 1 else "s"))
    print()
    sys.stdout.flush()

    notes = []
    results = {}
    for seconds in lengths:
        results[int(seconds) if seconds.is_integer() else seconds] = []
    for run_index in range(args.runs):
        for seconds, key in zip(lengths, results):
            label = "%ss-run%d" % (key, run_index + 1)
            began = time.monotonic()
            result, run_notes = run_utterance(args, vocabulary, seconds,
                                              args.seed * 1000 + run_index, label)
            results[key].append(result)
            notes.extend("%s: %s" % (label, n) for n in run_notes)
            print("  (%s done in %.0f s wall)" % (label, time.monotonic() - began),
                  file=sys.stderr, flush=True)
    report_lengths(args, results)

    if args.silence > 0:
        silence, run_notes = run_silence(args, vocabulary)
        notes.extend("silence: " + n for n in run_notes)
        print()
        final = silence.get("final")
        print("%.0f s of silence: Whisper calls %s, detections %s, partials %s, final %s"
              "   target: 0 calls, empty final"
              % (args.silence, fmt(silence.get("calls"), "%d"),
                 fmt(silence.get("detections"), "%d"), fmt(silence.get("partials"), "%d"),
                 "(none)" if final is None else json.dumps(final)))
    if args.gpu_seconds > 0:
        gpu, run_notes = run_broken_gpu(args, vocabulary)
        notes.extend("gpu: " + n for n in run_notes)
        exact = gpu.get("exact")
        print("device cuda, GPU whose first encode aborts (%.0f s): error events %d, final %s, "
              "helper %s   target: one error, correct final, alive"
              % (args.gpu_seconds, gpu.get("error_events", 0),
                 "none" if exact is None else ("correct" if exact else
                                               "wrong (%d/%d/%d)" % gpu["errors_words"]),
                 "alive" if gpu.get("alive") else "dead"))
        for message in gpu.get("messages", []):
            print("  error: " + message)
    if notes:
        print()
        print("notes:")
        for note in notes:
            print("  " + note)
    return 0


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/env python3
"""Dictation benchmark of whisper_helper.py against the stand-in faster_whisper.

Run:  /usr/bin/python3 bench/dictation/bench_dictation.py [--scale 10] [--runs 3] [--cost 0.1]

An utterance of 120 s (and one of 240 s) is streamed into "whisper_helper.py serve"
with partials on, in 100 ms frames at the pace of real time. The clock is
simulated faster by --scale: frames are sent --scale times faster than real
time and the stand-in's cost per audio second is divided by the same factor,
so every delay printed is wall time multiplied back by --scale, in seconds of
real time. The stand-in model costs --cost seconds of compute per second of
audio (real time).

Printed, as medians over --runs runs (max where stated):
  (a) audio seconds the model was asked to transcribe / utterance length
  (b) delay from the end of a word's audio to its first appearance in a partial
  (c) delay from "stop" to "final"
Never fails; it only prints.
"""

import argparse
import json
import os
import statistics
import struct
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
TESTS = os.path.join(HERE, "..", "..", "helpers", "tests")
sys.path.insert(0, TESTS)

from harness import STANDINS, WHISPER, ServeClient  # noqa: E402

RATE = 16000
FRAME = 0.1
VOCABULARY = 50


def script(folder):
    words = {str(1001 + i): {"text": " w%02d" % i, "seconds": 0.4} for i in range(VOCABULARY)}
    path = os.path.join(folder, "script.json")
    with open(path, "w") as out:
        json.dump({"words": words, "gap": 0.5}, out)
    return path


def utterance(seconds):
    """Samples and the (text, end in seconds) of every word: 0.4 s words, 0.1 s gaps,
    and a 0.6 s pause after every eighth word, as in calm speech."""
    parts, words, now, index = [], [], 0.0, 0
    while now < seconds - 1.0:
        value = 1001 + index % VOCABULARY
        parts.append(struct.pack("<h", value) * int(0.4 * RATE))
        now += 0.4
        words.append(("w%02d" % (index % VOCABULARY), now))
        pause = 0.6 if index % 8 == 7 else 0.1
        parts.append(b"\x00\x00" * int(pause * RATE))
        now += pause
        index += 1
    audio = b"".join(parts)
    audio += b"\x00\x00" * (int(seconds * RATE) - len(audio) // 2)
    return audio, words


def run_once(seconds, scale, cost):
    with tempfile.TemporaryDirectory(prefix="bench-dictation-") as tmp:
        log = os.path.join(tmp, "standin.log")
        env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "HOME": tmp,
               "HF_HUB_CACHE": os.path.join(tmp, "hub"), "PYTHONPATH": STANDINS,
               "PYTHONDONTWRITEBYTECODE": "1", "STANDIN_LOG": log,
               "STANDIN_WHISPER_SCRIPT": script(tmp),
               "STANDIN_WHISPER_COST": str(cost / scale)}
        client = ServeClient(WHISPER, env, os.path.join(tmp, "stderr.txt"))
        try:
            client.next(10)  # ready
            client.send({"cmd": "start", "id": 1, "sampleFormat": "int16", "partials": True})
            audio, words = utterance(seconds)
            step = int(FRAME * RATE) * 2
            began = time.monotonic()
            partials = []  # (wall time, words)
            for index, offset in enumerate(range(0, len(audio), step)):
                client.send({"cmd": "audio", "id": 1}, audio[offset:offset + step])
                deadline = began + (index + 1) * FRAME / scale
                while True:
                    for header, _ in client.collect(max(deadline - time.monotonic(), 0)):
                        if header.get("type") == "partial":
                            partials.append((time.monotonic(), header["text"].split()))
                    if time.monotonic() >= deadline:
                        break
            stopped = time.monotonic()
            client.send({"cmd": "stop", "id": 1})
            final_at = None
            for header, _ in client.until(lambda h: h.get("type") == "end", timeout=600):
                if header.get("type") == "partial":
                    partials.append((time.monotonic(), header["text"].split()))
                if header.get("type") == "final":
                    final_at = time.monotonic()
                    final = header["text"].split()
            client.send({"cmd": "quit"})
            client.wait_exit(5)
        finally:
            client.close()
        with open(log) as stream:
            calls = [json.loads(line) for line in stream]
        transcribed = sum(c["seconds"] for c in calls if c["event"] == "transcribe")
        delays = []
        for position, (text, end) in enumerate(words):
            sent = began + end / scale
            seen = next((t for t, p in partials if len(p) > position and p[position] == text), None)
            if seen is not None:
                delays.append(max(seen - sent, 0.0) * scale)
        missing = len(words) - len(delays)
        correct = final == [text for text, _ in words]
        return {"ratio": transcribed / seconds, "delay_median": statistics.median(delays),
                "delay_max": max(delays), "final": (final_at - stopped) * scale,
                "missing": missing, "correct": correct,
                "passes": sum(1 for c in calls if c["event"] == "transcribe")}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--scale", type=float, default=10.0)
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--cost", type=float, default=0.1)
    args = parser.parse_args()
    print("stand-in cost %.2f s per audio second; clock simulated %.0fx faster than real time; "
          "%d runs, medians" % (args.cost, args.scale, args.runs))
    ratios = {}
    for seconds in (120, 240):
        results = [run_once(seconds, args.scale, args.cost) for _ in range(args.runs)]

        def med(key):
            return statistics.median(r[key] for r in results)

        ratios[seconds] = med("ratio")
        print("%3d s utterance: (a) transcribed/%d = %.2f  passes %d  |  (b) word to partial "
              "median %.2f s, max %.2f s (words never shown in a partial: %d)  |  (c) stop to "
              "final %.2f s  |  final text correct: %s"
              % (seconds, seconds, med("ratio"), med("passes"), med("delay_median"),
                 med("delay_max"), max(r["missing"] for r in results), med("final"),
                 all(r["correct"] for r in results)))
    print("(a) 240 s / 120 s ratio: %.2f (1.00 = work per second does not grow)"
          % (ratios[240] / ratios[120]))
    return 0


if __name__ == "__main__":
    sys.exit(main())

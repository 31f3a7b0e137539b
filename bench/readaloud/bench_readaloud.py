#!/usr/bin/env python3
"""Read-aloud latency of kokoro_helper.py serve, against the stand-in kokoro.

Run: /usr/bin/python3 bench/readaloud/bench_readaloud.py [runs]

The stand-in costs a fixed time per character. Printed, as medians over the
runs: the time from "say" to the first "chunk" for a text of about 2,000
characters, the same for its first sentence alone and their ratio; and, for a
"cancel" sent while a sentence is being synthesized, the characters and
sentences synthesized after it and how soon the next "say" starts.
"""

import json
import os
import statistics
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "helpers", "tests"))

from harness import KOKORO, STANDINS, ServeClient, of_type  # noqa: E402

CHAR_COST = 0.002  # seconds per character
SENTENCES = [
    "The old lighthouse keeper climbed the stairs every evening at dusk.",
    "He carried a lamp, a flask of tea and a notebook full of small drawings.",
    "Nobody in the village knew what he drew, and he never said.",
    "When the storms came in from the west, the light turned all night long!",
    "Ships passed far out at sea, their own lights blinking back like answers.",
    "Was he lonely up there? Perhaps, but he did not seem to mind.",
    "In spring the gulls returned, loud and hungry, and he fed them crusts.",
]


def make_text(length=2000):
    sentences = []
    while len(" ".join(sentences)) < length:
        sentences.append(SENTENCES[len(sentences) % len(SENTENCES)])
    return " ".join(sentences)


def log_entries(path, event):
    try:
        with open(path, encoding="ascii") as log:
            entries = [json.loads(line) for line in log]
    except FileNotFoundError:
        return []
    return [entry for entry in entries if entry["event"] == event]


class Bench:
    def __init__(self, folder):
        self.log = os.path.join(folder, "standin.log")
        env = dict(os.environ, PYTHONPATH=STANDINS, STANDIN_LOG=self.log,
                   HOME=folder, HF_HUB_CACHE=os.path.join(folder, "hub"),
                   STANDIN_SPACY_INSTALLED="en_core_web_sm",
                   STANDIN_KOKORO_CHAR_COST=str(CHAR_COST),
                   STANDIN_KOKORO_SAMPLES_PER_CHAR="100", PYTHONDONTWRITEBYTECODE="1")
        self.client = ServeClient(KOKORO, env, os.path.join(folder, "stderr.txt"))
        self.client.until(of_type("ready"), timeout=30)
        self.rid = 0

    def say(self, text):
        self.rid += 1
        self.client.send({"cmd": "say", "id": self.rid, "text": text, "voice": "af_heart",
                          "speed": 1, "sampleFormat": "int16"})
        return self.rid

    def first_chunk(self, text):
        """Seconds from "say" to its first chunk; the request is then cancelled."""
        began = time.monotonic()
        rid = self.say(text)
        self.client.until(of_type("chunk", rid), timeout=60)
        elapsed = time.monotonic() - began
        self.client.send({"cmd": "cancel", "id": rid})
        self.settle()
        return elapsed

    def settle(self):
        """Wait until the sentence in progress is done: a blank text is answered
        only after it, and costs nothing itself."""
        rid = self.say(" ")
        self.client.until(of_type("end", rid), timeout=60)

    def cancel_mid_sentence(self, text, delay):
        """Cancel `delay` seconds into the second sentence; return the characters
        and sentences synthesized after the cancel and the seconds until the
        next request's first chunk."""
        rid = self.say(text)
        self.client.until(of_type("chunk", rid), timeout=60)
        time.sleep(delay)  # where in the sentence the cancel lands
        cancelled = time.monotonic()
        self.client.send({"cmd": "cancel", "id": rid})
        rid = self.say("Next.")
        self.client.until(of_type("chunk", rid), timeout=60)
        started = time.monotonic() - cancelled
        self.client.until(of_type("end", rid), timeout=60)
        self.settle()
        chars = 0.0
        sentences = 0
        for piece in log_entries(self.log, "piece"):
            if piece["text"] == "Next." or piece["end"] <= cancelled:
                continue
            span = max(piece["end"] - piece["start"], 1e-9)
            chars += len(piece["text"]) * (piece["end"] - max(piece["start"], cancelled)) / span
            sentences += piece["start"] > cancelled
        return chars, sentences, started

    def close(self):
        self.client.send_raw(b'{"cmd": "quit"}\n')
        self.client.wait_exit(5)
        self.client.close()


def main():
    runs = int(sys.argv[1]) if len(sys.argv) > 1 else 7
    text = make_text()
    first = SENTENCES[0]
    with tempfile.TemporaryDirectory(prefix="bench-readaloud-") as folder:
        bench = Bench(folder)
        bench.first_chunk(first)  # warm up: model and pipeline
        whole, alone = [], []
        for _ in range(runs):
            whole.append(bench.first_chunk(text))
            alone.append(bench.first_chunk(first))
        after_chars, after_sentences, restart = [], [], []
        second = len(SENTENCES[1]) * CHAR_COST
        for run in range(runs):
            # Spread the cancel over the second sentence.
            chars, sentences, started = bench.cancel_mid_sentence(
                text, second * (run + 0.5) / runs)
            after_chars.append(chars)
            after_sentences.append(sentences)
            restart.append(started)
        bench.close()

    median = statistics.median
    print("read-aloud, stand-in cost %.1f ms per character, %d runs, medians" % (CHAR_COST * 1000, runs))
    print("  text: %d characters, whole synthesis %.0f ms" % (len(text), len(text) * CHAR_COST * 1000))
    print("  first sentence: %d characters, cost %.0f ms" % (len(first), len(first) * CHAR_COST * 1000))
    print("  say -> first chunk, whole text:          %7.1f ms" % (median(whole) * 1000))
    print("  say -> first chunk, first sentence only: %7.1f ms" % (median(alone) * 1000))
    print("  ratio whole text / first sentence alone: %7.2f" % (median(whole) / median(alone)))
    print("  ratio whole text / whole synthesis cost: %7.3f" % (median(whole) / (len(text) * CHAR_COST)))
    print("cancel during the second sentence (%d characters):" % len(SENTENCES[1]))
    print("  characters synthesized after cancel:     %7.1f  (of %d left in the text)"
          % (median(after_chars), len(text) - len(first)))
    print("  sentences started after cancel:          %7.1f  (max %d)"
          % (median(after_sentences), max(after_sentences)))
    print("  cancel -> next say's first chunk:        %7.1f ms" % (median(restart) * 1000))


if __name__ == "__main__":
    main()

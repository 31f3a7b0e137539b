#!/usr/bin/env python3
"""What a pitch shift costs kokoro_helper.py.

Run: /usr/bin/python3 bench/pitch/bench_pitch.py [runs]

Printed, as medians over the runs, for -6, -3, +3 and +6 semitones:
  - the processor time the shifter takes per second of audio, fed a voice-like
    signal (a gliding harmonic tone with breath noise and pauses) in quarter
    second chunks as serve feeds it;
  - the processor time serve takes, from "say" to "end", for a text of about
    60 s of the stand-in kokoro's "tones" voice, against the same text
    unshifted (processor time: the machine may be busy with other work).
"""

import importlib.util
import os
import statistics
import sys
import time

import numpy

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "helpers", "tests"))

from harness import KOKORO, STANDINS, ServeClient, of_type  # noqa: E402

RATE = 24000
SHIFTS = (-6, -3, 3, 6)
SECONDS = 30


def load_helper():
    spec = importlib.util.spec_from_file_location("kokoro_helper", KOKORO)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def voice_like(seconds):
    """A fundamental gliding between 90 and 220 Hz with ten harmonics and some
    noise, in phrases of 1.5 s with 0.3 s pauses."""
    rng = numpy.random.default_rng(7)
    t = numpy.arange(int(seconds * RATE)) / RATE
    pitch = 150 + 60 * numpy.sin(2 * numpy.pi * 0.4 * t)
    phase = 2 * numpy.pi * numpy.cumsum(pitch) / RATE
    signal = sum(numpy.sin(h * phase) / h for h in range(1, 11)) * 0.2
    signal += rng.normal(0, 0.02, t.size)
    signal[(t % 1.8) > 1.5] = 0
    return signal.astype(numpy.float32)


def shifter_cost(helper, samples, shift):
    shifter = helper.PitchShifter(shift)
    began = time.process_time()
    for start in range(0, samples.size, helper.CHUNK_SAMPLES):
        shifter.push(samples[start:start + helper.CHUNK_SAMPLES])
    shifter.finish()
    return (time.process_time() - began) / (samples.size / RATE)


def processor_seconds(pid):
    with open("/proc/%d/stat" % pid) as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def serve_time(env, text, pitch):
    client = ServeClient(KOKORO, env, os.devnull)
    try:
        client.next(timeout=10)
        say = {"cmd": "say", "id": 1, "text": text, "voice": "af_heart", "speed": 1,
               "sampleFormat": "int16"}
        if pitch:
            say["pitch"] = pitch
        began = processor_seconds(client.proc.pid)
        client.send(say)
        frames = client.until(of_type("end", 1), timeout=120)
        seconds = sum(len(p) for h, p in frames if h["type"] == "chunk") / 2 / RATE
        return processor_seconds(client.proc.pid) - began, seconds
    finally:
        client.close()


def main(argv):
    runs = int(argv[1]) if len(argv) > 1 else 3
    helper = load_helper()
    samples = voice_like(SECONDS)
    print("shifter alone, processor time per second of audio (median of %d runs of %d s):"
          % (runs, SECONDS))
    for shift in SHIFTS:
        cost = statistics.median(shifter_cost(helper, samples, shift) for _ in range(runs))
        print("  %+d semitones: %5.1f ms" % (shift, cost * 1000))

    env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "PYTHONPATH": STANDINS,
           "PYTHONDONTWRITEBYTECODE": "1", "HOME": os.environ.get("HOME", "/tmp"),
           "HF_HUB_CACHE": "/nonexistent", "STANDIN_KOKORO_VOICE": "tones"}
    # 0.51 s a word and 0.05 s between words: about 60 s of audio.
    text = " ".join(["Aaaaaaaaaaaa bbbbbbbbbbbb cccccccccccc."] * 35)
    plain = statistics.median(serve_time(env, text, 0)[0] for _ in range(runs))
    _, seconds = serve_time(env, text, 0)
    print("serve, say to end for %.1f s of audio: unshifted %.3f s" % (seconds, plain))
    for shift in SHIFTS:
        spent = statistics.median(serve_time(env, text, shift)[0] for _ in range(runs))
        print("  %+d semitones: %.3f s, %.1f ms more per second of audio"
              % (shift, spent, (spent - plain) / seconds * 1000))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))

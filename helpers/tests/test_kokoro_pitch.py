"""Tests of the "pitch" of kokoro_helper.py serve: the voice moves by the
semitones asked for while its audio keeps its length, its timing and its
marks, and streams without clicks."""

import math
import time
import unittest

import numpy

from harness import of_type
from kokoro_fixtures import RATE, KokoroServeCase, audio_of, marks_of

# Two sentences, two Results: the stand-in's "tones" voice sounds each word
# for 0.51 s at 120, 180 and 240 Hz in turn, starting over with each Result.
TONE_TEXT = "Aaaaaaaaaaaa bbbbbbbbbbbb cccccccccccc. Dddddddddddd eeeeeeeeeeee ffffffffffff!"
TONES = [120, 180, 240] * 2
QUARTER_TONE = 0.5  # in semitones
# How far a shifted sound may start or end from where it was: grains move
# by up to 7.5 ms to line up with each other.
DRIFT = RATE // 100


# The stand-in's default audio, 0.5, -0.5, 1.5, -1.5, 0.25, as int16.
PIECE = numpy.array([16383, -16383, 32767, -32768, 8191])


def sound_runs(samples, threshold=0.02, gap=RATE // 100):
    """(start, end) of each stretch of sound; quiet moments shorter than `gap`
    (a tone's zero crossings) do not end one."""
    loud = numpy.flatnonzero(numpy.abs(samples) > threshold)
    if not loud.size:
        return []
    breaks = numpy.flatnonzero(numpy.diff(loud) > gap)
    starts = [loud[0]] + loud[breaks + 1].tolist()
    ends = loud[breaks].tolist() + [loud[-1]]
    return [(int(s), int(e) + 1) for s, e in zip(starts, ends)]


def fundamental(samples):
    """The frequency of the strongest peak between 50 and 1000 Hz, in Hz."""
    size = 1 << 18
    spectrum = numpy.abs(numpy.fft.rfft(samples * numpy.hanning(samples.size), size))
    frequencies = numpy.fft.rfftfreq(size, 1 / RATE)
    peak = int(numpy.argmax(numpy.where((frequencies > 50) & (frequencies < 1000), spectrum, 0)))
    before, at, after = numpy.log(spectrum[peak - 1:peak + 2])
    return (peak + 0.5 * (before - after) / (before - 2 * at + after)) * RATE / size


def without_ids(headers):
    return [dict(header, id=None) for header in headers]


def semitones(ratio):
    return 12 * math.log2(ratio)


class PitchTest(KokoroServeCase):
    def tone_request(self, client, rid, text=TONE_TEXT, **pitch):
        frames = self.request(client, rid, text=text, timeout=10, **pitch)
        self.assertEqual(frames[-1][0], {"type": "end", "id": rid})
        return frames, audio_of(frames).astype(numpy.float64) / 32767

    def test_the_voice_moves_by_the_interval_and_keeps_its_timing(self):
        client = self.start_server(STANDIN_KOKORO_VOICE="tones")
        plain_frames, plain = self.tone_request(client, 1)
        words = sound_runs(plain)
        self.assertEqual(len(words), len(TONES))
        plain_span = words[-1][1] - words[0][0]
        # Measured inside each word, clear of its edges.
        inner = [(start + DRIFT * 2, end - DRIFT * 2) for start, end in words]
        # The meter itself: the unshifted tones are where the stand-in put them.
        for (start, end), tone in zip(inner, TONES):
            self.assertLess(abs(semitones(fundamental(plain[start:end]) / tone)), 0.05)
        for rid, shift in enumerate((-6, -3, 3, 6), start=2):
            with self.subTest(pitch=shift):
                frames, shifted = self.tone_request(client, rid, pitch=shift)
                self.assertEqual(shifted.size, plain.size)
                moved = [round(semitones(fundamental(shifted[start:end]) / tone), 2)
                         for (start, end), tone in zip(inner, TONES)]
                self.assertTrue(all(abs(m - shift) < QUARTER_TONE for m in moved), moved)
                runs = sound_runs(shifted)
                self.assertEqual(len(runs), len(words), runs)
                span = runs[-1][1] - runs[0][0]
                self.assertAlmostEqual(span / plain_span, 1, delta=0.01)
                drift = [(s - s0, e - e0) for (s, e), (s0, e0) in zip(runs, words)]
                self.assertTrue(all(abs(d) <= DRIFT for pair in drift for d in pair), drift)
                # The marks stay where they were, on the onsets of their words.
                self.assertEqual(without_ids(marks_of(frames)), without_ids(marks_of(plain_frames)))
                self.assert_marks_in_stream_order(frames)
                onsets = [m["sample"] for m in marks_of(frames, "word")]
                self.assertEqual(len(onsets), len(runs))
                self.assertTrue(all(abs(start - onset) <= DRIFT
                                    for (start, _), onset in zip(runs, onsets)))

    def test_chunk_joins_do_not_click(self):
        # One word of 2.43 s at 150 Hz crosses nine joins of quarter-second chunks.
        client = self.start_server(STANDIN_KOKORO_VOICE="tones", STANDIN_KOKORO_TONES="150")
        for rid, shift in enumerate((-6, -3, 3, 6), start=1):
            with self.subTest(pitch=shift):
                frames, shifted = self.tone_request(client, rid, text="A" * 60 + ".", pitch=shift)
                [(start, end)] = sound_runs(shifted)
                self.assertGreater(end - start, 9 * RATE // 4)
                moved = semitones(fundamental(shifted[start + DRIFT:end - DRIFT]) / 150)
                self.assertLess(abs(moved - shift), QUARTER_TONE)
                # The shifted tone, 0.25 * sum of sin(h w t) / h for h = 1..4, changes
                # its slope by at most 0.25 * (1 + 2 + 3 + 4) * w^2 a sample; a step
                # or a kink at a join goes far beyond that.
                w = 2 * math.pi * 150 * 2 ** (shift / 12) / RATE
                bound = 0.25 * 10 * w * w
                curvature = numpy.abs(numpy.diff(shifted[start + DRIFT:end - DRIFT], 2))
                self.assertLess(curvature.max(), 1.25 * bound,
                                "worst at sample %d" % (start + DRIFT + 1 + curvature.argmax()))

    def test_no_pitch_leaves_the_audio_as_it_was(self):
        client = self.start_server()
        # Two Results of the stand-in's five samples.
        expected = numpy.tile(PIECE, 2)
        for rid, pitch in enumerate(({}, {"pitch": 0}, {"pitch": 0.0}, {"pitch": -0.0}), start=1):
            with self.subTest(**pitch):
                frames = self.request(client, rid, text="Hello. Bye.", **pitch)
                self.assertEqual(frames[-1][0], {"type": "end", "id": rid})
                self.assertEqual(audio_of(frames).tolist(), expected.tolist())
        with self.subTest("a shift changes it"):
            frames = self.request(client, 9, text="Hello. Bye.", pitch=0.5)
            audio = audio_of(frames)
            self.assertEqual(audio.size, expected.size)
            self.assertNotEqual(audio.tolist(), expected.tolist())

    def test_a_pitch_that_is_no_number_in_range_is_an_error(self):
        cases = [
            ("a string", "3", False),
            ("true", True, False),
            ("null", None, False),
            ("a list", [3], False),
            ("above 6", 6.5, False),
            ("below -6", -6.01, False),
            ("not a number", float("nan"), False),
            ("infinite", float("inf"), False),
            ("6", 6, True),
            ("-6.0", -6.0, True),
            ("a fraction", -0.25, True),
        ]
        client = self.start_server()
        for rid, (name, pitch, accepted) in enumerate(cases, start=1):
            with self.subTest(name):
                frames = self.request(client, rid, pitch=pitch)
                types = [h["type"] for h, _ in frames]
                if accepted:
                    self.assertEqual((types[0], types[-1]), ("format", "end"), frames)
                    continue
                self.assertEqual(types, ["error"])
                self.assertEqual(frames[0][0]["id"], rid)
                self.assertIn("pitch", frames[0][0]["message"])
        with self.subTest("still serving"):
            self.assertEqual(self.request(client, 99)[-1][0], {"type": "end", "id": 99})

    def test_shifted_audio_streams_sentence_by_sentence(self):
        first = "This is the first sentence."
        others = ["Sentence number %d goes on for a while longer here." % n for n in range(5)]
        rest = " ".join(others)
        cost = 0.004
        client = self.start_server(STANDIN_KOKORO_CHAR_COST=cost,
                                   STANDIN_KOKORO_SAMPLES_PER_CHAR=400)
        client.send(self.say(1, text=first + " " + rest, pitch=-4))
        frames = client.until(of_type("chunk"), timeout=10)
        arrived = time.monotonic()
        frames += client.until(of_type("end", 1), timeout=10)
        pieces = self.log_events("piece")
        self.assertEqual(pieces[0]["text"], first)
        self.assertLess(arrived, pieces[1]["end"], "the first chunk waited for the second sentence")
        # 400 samples a character of each sentence: as long as unshifted, but not the same.
        unshifted = numpy.concatenate([numpy.resize(PIECE, 400 * len(s)) for s in [first] + others])
        audio = audio_of(frames)
        self.assertEqual(audio.size, unshifted.size)
        self.assertGreater(numpy.abs(audio - unshifted).mean(), 1000)

if __name__ == "__main__":
    unittest.main()

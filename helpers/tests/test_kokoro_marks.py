"""Tests of what kokoro_helper.py serve says about its audio: sentence and word
marks, long sentences of voices other than English, and holding synthesis to
what playback has reached."""

import subprocess
import time
import unittest

from harness import PYTHON, encode_frame, of_type
from kokoro_fixtures import RATE, REPO, KokoroServeCase, audio_of, marks_of, onsets, utf16_span

# A sentence longer than one English chunk of 510 phonemes, and short ones.
LONG_SENTENCE = ("The keeper climbed the stairs at dusk, carrying a lamp, a flask of tea, "
                 "and a notebook full of small drawings of ships, gulls and clouds; ") * 6
LONG_SENTENCE = LONG_SENTENCE.rstrip("; ") + "."
STORY = "It began at sea. " + LONG_SENTENCE + "\r\nWas he lonely? Perhaps not!"


def words_of(text):
    """Runs of letters and digits with the marks and apostrophes inside them."""
    words = []
    current = ""
    for char in text + " ":
        if char.isalnum() or (current and (char in "'\u2019-" or "\u0300" <= char <= "\u036f")):
            current += char
        else:
            if current:
                words.append(current)
            current = ""
    return words


class MarksTest(KokoroServeCase):
    def test_marks_give_the_text_of_their_sentence_or_word(self):
        cases = [
            ("emoji and letters beyond 16 bits",
             "Hi \U0001f44b there, \U0001d518\U0001d52b\U0001d526 friend. \U0001f389 Done!",
             ["Hi \U0001f44b there, \U0001d518\U0001d52b\U0001d526 friend.", "\U0001f389 Done!"]),
            ("combining characters", "Cafe\u0301 na\u0308ive art. Zoe\u0308 smiles.",
             ["Cafe\u0301 na\u0308ive art.", "Zoe\u0308 smiles."]),
            ("trimmed blanks and CRLF lines",
             "  \t First line here.  \r\n\r\n   Second   line\r\nthird one.  \r\n",
             ["First line here.", "Second   line", "third one."]),
            ("repeated words", "the cat and the hat and the bat. The end.",
             ["the cat and the hat and the bat.", "The end."]),
            ("long sentence in several chunks", STORY,
             ["It began at sea.", LONG_SENTENCE, "Was he lonely?", "Perhaps not!"]),
        ]
        client = self.start_server()
        for rid, (name, text, sentences) in enumerate(cases, start=1):
            with self.subTest(name):
                frames = self.request(client, rid, text=text)
                self.assertEqual(frames[-1][0], {"type": "end", "id": rid})
                marks = marks_of(frames)
                self.assertEqual([utf16_span(text, m["start"], m["length"])
                                  for m in marks if m["kind"] == "sentence"], sentences)
                self.assertEqual([utf16_span(text, m["start"], m["length"])
                                  for m in marks if m["kind"] == "word"], words_of(text))
                # Each word lies in the sentence announced before it, after the word before it.
                sentence_end = word_end = 0
                for mark in marks:
                    if mark["kind"] == "sentence":
                        self.assertGreaterEqual(mark["start"], word_end)
                        sentence_end = mark["start"] + mark["length"]
                    else:
                        self.assertGreaterEqual(mark["start"], word_end, mark)
                        word_end = mark["start"] + mark["length"]
                        self.assertLessEqual(word_end, sentence_end, mark)
                self.assert_marks_in_stream_order(frames)

    def test_word_marks_fall_on_the_onset_of_their_words(self):
        client = self.start_server(STANDIN_KOKORO_VOICE="bursts")
        normal_length = None
        for rid, speed in enumerate((1, 0.5, 2), start=1):
            with self.subTest(speed=speed):
                frames = self.request(client, rid, text=STORY, speed=speed, timeout=10)
                self.assertEqual(frames[-1][0], {"type": "end", "id": rid})
                audio = audio_of(frames)
                if speed == 1:
                    normal_length = audio.size
                else:
                    self.assertAlmostEqual(audio.size * speed / normal_length, 1, delta=0.01)
                self.assert_marks_in_stream_order(frames)
                found = onsets(audio)
                words = marks_of(frames, "word")
                # Every word of the text is heard, and marked where it begins.
                self.assertEqual(len(words), len(words_of(STORY)))
                self.assertEqual(len(found), len(words))
                misses = [(m["sample"], onset) for m, onset in zip(words, found)
                          if abs(m["sample"] - onset) > 2]
                self.assertEqual(misses, [])
                # A sentence begins in the silence before its first word.
                sentences = marks_of(frames, "sentence")
                self.assertEqual(sentences[0]["sample"], 0)
                for mark in sentences:
                    self.assertEqual(audio[mark["sample"]], 0, mark)
                    first = next(m for m in words if m["start"] >= mark["start"])
                    self.assertFalse([o for o in found if mark["sample"] < o < first["sample"]])


class OtherLanguagesTest(KokoroServeCase):
    def test_other_languages_give_sentence_marks_only(self):
        text = "  Hola, amigo. \u00bfQu\u00e9 tal?\nMuy bien \U0001f600, gracias.  "
        client = self.start_server()
        for rid, voice in enumerate(("ef_dora", "ff_siwis", "jf_alpha"), start=1):
            with self.subTest(voice):
                frames = self.request(client, rid, text=text, voice=voice)
                self.assertEqual(frames[-1][0], {"type": "end", "id": rid})
                marks = marks_of(frames)
                self.assertEqual({m["kind"] for m in marks}, {"sentence"})
                self.assertEqual([utf16_span(text, m["start"], m["length"]) for m in marks],
                                 ["Hola, amigo.", "\u00bfQu\u00e9 tal?",
                                  "Muy bien \U0001f600, gracias."])

    def test_long_sentences_are_spoken_whole(self):
        spanish = ", ".join("palabra%d y otra cosa" % n for n in range(75)) + "."
        italian = " ".join("parola%d" % n for n in range(120)) + "."
        japanese = "\u3001".join("\u4eca\u65e5\u306f\u826f\u3044\u5929\u6c17%d" % n
                                 for n in range(60)) + "\u3002"
        cases = [
            ("commas", "ef_dora", spanish, 200),
            ("blanks only", "if_sara", italian, 200),
            ("full-width commas", "jf_alpha", japanese, 80),
        ]
        self.assertGreater(len(spanish), 1500)
        client = self.start_server(STANDIN_KOKORO_VOICE="bursts")
        for rid, (name, voice, sentence, limit) in enumerate(cases, start=1):
            with self.subTest(name):
                text = "Corto. " + sentence + " Fin."
                before = len(self.log_events("call"))
                frames = self.request(client, rid, text=text, voice=voice, timeout=10)
                self.assertEqual(frames[-1][0], {"type": "end", "id": rid})
                self.assertEqual(self.log_events("truncated"), [])
                calls = [c["text"] for c in self.log_events("call")[before:]]
                self.assertGreater(len(calls), 3)
                self.assertLessEqual(max(len(c) for c in calls), limit)
                self.assertEqual("".join(calls[1:-1]).replace(" ", ""), sentence.replace(" ", ""))
                self.assertEqual([utf16_span(text, m["start"], m["length"])
                                  for m in marks_of(frames)], ["Corto.", sentence, "Fin."])
                # Every word was rendered: one burst each.
                self.assertEqual(len(onsets(audio_of(frames))), len(words_of(text)))

    def test_a_word_longer_than_a_piece_is_cut_hard(self):
        # The accent falls where a cut of 200 characters would be.
        word = "a" * 199 + "e\u0301" + "b" * 280
        client = self.start_server()
        frames = self.request(client, 1, text=word, voice="pf_dora")
        self.assertEqual(frames[-1][0], {"type": "end", "id": 1})
        calls = [c["text"] for c in self.log_events("call")]
        self.assertEqual("".join(calls), word)
        self.assertTrue(all(len(c) <= 200 for c in calls), [len(c) for c in calls])
        # The accent stays with its letter.
        self.assertTrue(all(not c.startswith("\u0301") for c in calls))
        self.assertEqual(len(marks_of(frames)), 1)

    def test_the_stand_in_drops_what_is_beyond_510_phonemes(self):
        # The fixture the tests above rely on: handed whole, the sentence loses its end.
        script = ("import kokoro\n"
                  "p = kokoro.KPipeline('e', repo_id=%r)\n"
                  "list(p(', '.join(['palabra'] * 300), voice='ef_dora'))\n" % REPO)
        subprocess.run([PYTHON, "-c", script], env=self.environment(), check=True,
                       capture_output=True, timeout=20)
        [cut] = self.log_events("truncated")
        self.assertEqual(len(cut["kept"]), 510)
        self.assertGreater(len(cut["dropped"]), 1500)


class FlowControlTest(KokoroServeCase):
    AHEAD = 20 * RATE
    CHUNK = RATE // 4
    # 2 s of audio a sentence, 80 s in all, synthesized in under a second.
    TEXT = " ".join("Sentence %02d is here." % n for n in range(40))
    SERVER = {"STANDIN_KOKORO_SAMPLES_PER_CHAR": RATE // 10, "STANDIN_KOKORO_CHUNK_DELAY": 0.02}

    def until_held(self, client, frames, beyond):
        """`frames` with those that follow until more than `beyond` samples have
        come, and all that come in the next 0.6 s."""
        frames = list(frames)
        while audio_of(frames).size <= beyond:
            frames.append(client.next(timeout=5))
        return frames + client.collect(0.6)

    def held_request(self):
        client = self.start_server(**self.SERVER)
        client.send_raw(b"".join(encode_frame(h) for h in (
            self.say(1, text=self.TEXT), {"cmd": "progress", "id": 1, "played": 0})))
        frames = self.until_held(client, [], self.AHEAD)
        self.assertNotIn("end", [h["type"] for h, _ in frames])
        return client, frames

    def test_playback_progress_holds_synthesis_20_s_ahead(self):
        client, frames = self.held_request()
        sent = audio_of(frames).size
        self.assertTrue(self.AHEAD < sent <= self.AHEAD + self.CHUNK, sent / RATE)
        # Held before synthesizing more, not only before sending it.
        synthesized = len(self.log_events("piece"))
        self.assertLessEqual(synthesized * 2 * RATE, sent + 2 * 2 * RATE, synthesized)

        client.send({"cmd": "progress", "id": 1, "played": 10 * RATE})
        frames = self.until_held(client, frames, self.AHEAD + 10 * RATE)
        sent = audio_of(frames).size
        self.assertTrue(self.AHEAD + 10 * RATE < sent <= self.AHEAD + 10 * RATE + self.CHUNK,
                        sent / RATE)
        # Progress of another request moves nothing.
        client.send({"cmd": "progress", "id": 2, "played": 10 ** 9})
        self.assertEqual(client.collect(0.5), [])

        client.send({"cmd": "progress", "id": 1, "played": 10 ** 9})
        frames += client.until(of_type("end", 1), timeout=5)
        self.assertEqual(audio_of(frames).size, 40 * 2 * RATE)
        self.assertEqual(len(marks_of(frames, "sentence")), 40)

    def test_cancel_and_quit_act_while_held(self):
        for how in ("cancel", "quit", "end of input"):
            with self.subTest(how):
                self.setUp()
                client, _ = self.held_request()
                began = time.monotonic()
                if how == "cancel":
                    client.send({"cmd": "cancel", "id": 1})
                    frames = self.request(client, 2, text="Next.")
                    self.assertLess(time.monotonic() - began, 1.5)
                    # Nothing more of the held request, not even its "end".
                    self.assertEqual({h["id"] for h, _ in frames}, {2})
                    self.assertEqual(frames[0][0]["type"], "format")
                    self.assertEqual(client.collect(0.3), [])
                    continue
                if how == "quit":
                    client.send_raw(b'{"cmd": "quit"}\n')
                else:
                    client.close_stdin()
                self.assertEqual(client.wait_exit(2), 0)
                self.assertLess(time.monotonic() - began, 2)

    def test_a_request_without_progress_is_not_held(self):
        client = self.start_server(**self.SERVER)
        frames = self.request(client, 1, text=self.TEXT, timeout=10)
        self.assertEqual(frames[-1][0], {"type": "end", "id": 1})
        self.assertEqual(audio_of(frames).size, 40 * 2 * RATE)
        # Progress for a request that is done holds back no other.
        client.send({"cmd": "progress", "id": 1, "played": 0})
        frames = self.request(client, 2, text=self.TEXT, timeout=10)
        self.assertEqual(audio_of(frames).size, 40 * 2 * RATE)


if __name__ == "__main__":
    unittest.main()

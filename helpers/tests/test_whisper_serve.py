"""Tests of "whisper_helper.py serve": the protocol and how it drives the model.

They run the real script as a child process against the stand-in
faster_whisper, which charges per 30-s window and per token and fails the way
the real library fails (see standins/faster_whisper)."""

import json
import os
import time
import unittest

from harness import WHISPER, of_type, pcm, silence
from serve_fixtures import ServeTestCase, voice

BLOCK = 'raise ImportError("blocked by the test")'


class ProtocolTest(ServeTestCase):
    def test_stop_gives_final_then_end(self):
        client = self.start_server()
        audio = pcm([16384, -32768, 16384, -16384]) + voice(0.5)
        self.begin(client, 1, partials=False)
        # Writes need not end on a sample boundary.
        client.send({"cmd": "audio", "id": 1}, audio[:3])
        client.send({"cmd": "audio", "id": 1}, audio[3:])
        replies = self.finish(client, 1)
        self.assertEqual(replies, [{"type": "final", "id": 1, "text": "hello world"},
                                   {"type": "end", "id": 1}])
        [call] = self.passes()
        self.assertEqual((call["samples"], call["ndim"], call["dtype"]), (8004, 1, "float32"))
        self.assertEqual(call["head"], [0.5, -1.0, 0.5, -0.5])
        self.assertIsNone(call["language"])
        self.assertIsNone(call["initial_prompt"])

    def test_library_output_stays_off_the_protocol(self):
        client = self.start_server(STANDIN_STDOUT=1)
        self.begin(client, 3)
        client.send({"cmd": "audio", "id": 3}, voice(1.0))
        self.assertEqual(client.next()[0]["type"], "partial")
        self.assertEqual([h["type"] for h in self.finish(client, 3)], ["final", "end"])
        client.send({"cmd": "quit"})
        self.assertEqual(client.wait_exit(2), 0)
        self.assertEqual(client.garbage, [])
        self.assertIn("stand-in", client.stderr_text())

    def test_texts_reach_faster_whisper_and_come_back_intact(self):
        client = self.start_server(STANDIN_WHISPER_TEXT="{prompt}")
        prompts = ['say "hi"', "back\\slash \\n", "line\nfeed", "Grüße, 日本語 🎤", "{x}", "'"]
        for uid, prompt in enumerate(prompts, start=1):
            with self.subTest(prompt=prompt):
                replies = self.utterance(client, uid, voice(0.5), prompt=prompt, language="de")
                self.assertEqual(replies[0], {"type": "final", "id": uid, "text": prompt.strip()})
                call = self.passes()[-1]
                self.assertEqual(call["initial_prompt"], prompt)
                self.assertEqual(call["language"], "de")

    def test_failures_give_error_then_end(self):
        cases = [
            ("model does not load", {"STANDIN_WHISPER_LOAD_ERROR": "no such model"},
             "no such model", "error"),
            ("transcription raises", {"STANDIN_WHISPER_RAISE": "decoder exploded"},
             "decoder exploded", "error"),
        ]
        for name, env, text, afterwards in cases:
            with self.subTest(name):
                self.setUp()
                client = self.start_server(**env)
                replies = self.utterance(client, 7, voice(0.5))
                self.assertEqual([h["type"] for h in replies], ["error", "end"])
                self.assertEqual(replies[0]["id"], 7)
                self.assertIn(text, replies[0]["message"])
                # The helper keeps serving.
                replies = self.utterance(client, 8, voice(0.5))
                self.assertEqual([h["type"] for h in replies], [afterwards, "end"])
                self.assertEqual(replies[-1]["id"], 8)

    def test_no_partials_unless_asked(self):
        client = self.start_server()
        self.begin(client, 1, partials=False)
        for _ in range(6):
            client.send({"cmd": "audio", "id": 1}, voice(0.5))
        self.assertEqual(client.collect(0.5), [])
        self.assertEqual([h["type"] for h in self.finish(client, 1)], ["final", "end"])

    def test_cancel_drops_the_utterance(self):
        client = self.start_server()
        self.begin(client, 1)
        client.send({"cmd": "audio", "id": 1}, voice(0.1))
        client.send({"cmd": "cancel", "id": 1})
        client.send({"cmd": "audio", "id": 1}, voice(0.2))
        client.send({"cmd": "stop", "id": 1})
        self.begin(client, 2, partials=False)
        client.send({"cmd": "audio", "id": 2}, voice(0.5))
        replies = self.finish(client, 2)
        self.assertEqual([(h["type"], h["id"]) for h in replies], [("final", 2), ("end", 2)])
        self.assertEqual([call["samples"] for call in self.passes()], [8000])

    def test_frames_for_other_ids_are_ignored(self):
        client = self.start_server()
        self.begin(client, 5, partials=False)
        client.send({"cmd": "audio", "id": 5}, voice(0.25))
        client.send({"cmd": "audio", "id": 4}, voice(1))
        client.send({"cmd": "audio", "id": "5"}, voice(1))
        client.send({"cmd": "stop", "id": 4})
        client.send({"cmd": "cancel", "id": 6})
        replies = self.finish(client, 5)
        self.assertEqual([(h["type"], h["id"]) for h in replies], [("final", 5), ("end", 5)])
        self.assertEqual([call["samples"] for call in self.passes()], [4000])

    def test_bad_header_lines_and_sizes_are_survived(self):
        client = self.start_server()
        self.begin(client, 1, partials=False)
        client.send_raw(b"this is not json\n")
        client.send_raw(b"[1, 2, 3]\n")
        client.send_raw(b"\n")
        client.send_raw(b"\xff\xfe{}\n")
        # None of these announces a payload: the next header follows at once.
        for size in (-5, 2.5, "7", True, None):
            client.send_raw(json.dumps({"cmd": "audio", "id": 1, "size": size}).encode() + b"\n")
        client.send({"cmd": "audio", "id": 1}, voice(0.5))
        replies = self.finish(client, 1)
        self.assertEqual([h["type"] for h in replies], ["final", "end"])
        self.assertEqual([call["samples"] for call in self.passes()], [8000])

    def test_lines_too_deep_or_too_big_are_bad_lines(self):
        cases = [
            ("1000 nested brackets", b"[" * 1000 + b"]" * 1000 + b"\n", "too deeply"),
            ("nested inside a command", b'{"cmd":"start","x":' + b"{\"a\":" * 5000 + b"1"
             + b"}" * 5000 + b"}\n", "too deeply"),
            ("a header line of 8 MiB", b'{"cmd":"audio","pad":"' + b"x" * (8 << 20) + b'"}\n',
             "too long"),
        ]
        for name, line, reason in cases:
            with self.subTest(name):
                client = self.start_server()
                self.begin(client, 1, partials=False)
                client.send_raw(line)
                [(error, _)] = client.until(of_type("error"))
                self.assertIn(reason, error["message"])
                client.send({"cmd": "audio", "id": 1}, voice(0.5))
                replies = self.finish(client, 1)
                self.assertEqual([h["type"] for h in replies], ["final", "end"])
                self.assertIsNone(client.proc.poll())
                self.assertNotIn("Traceback", client.stderr_text())
                self.assertEqual(client.stderr_text().count(reason), 1, client.stderr_text())

    def test_unsupported_sample_format_is_refused(self):
        client = self.start_server()
        client.send({"cmd": "start", "id": 1, "sampleFormat": "float", "partials": False})
        replies = [h for h, _ in client.until(of_type("end", 1))]
        self.assertEqual([h["type"] for h in replies], ["error", "end"])
        client.send({"cmd": "audio", "id": 1}, voice(0.5))
        client.send({"cmd": "stop", "id": 1})
        self.assertEqual(client.collect(0.5), [])

    def test_missing_modules_are_announced_and_utterances_answered(self):
        client = self.serve(WHISPER, self.environment(self.blocked({"faster_whisper": BLOCK})))
        self.assertEqual(client.next()[0],
                         {"type": "ready", "available": False, "missing": ["faster-whisper"]})
        self.begin(client, 1)
        client.send({"cmd": "audio", "id": 1}, voice(1.5))
        replies = self.finish(client, 1)
        self.assertEqual([h["type"] for h in replies], ["error", "end"])
        self.assertIn("faster-whisper", replies[0]["message"])
        client.send({"cmd": "quit"})
        self.assertEqual(client.wait_exit(2), 0)

    def test_quit_and_end_of_input_end_the_process(self):
        # End of input in the middle of a transcription waits for its answer
        # (next test); quit never waits.
        for how, busy in (("quit", False), ("quit", True), ("end of input", False)):
            with self.subTest(how=how, transcribing=busy):
                client = self.start_server(STANDIN_WHISPER_DELAY=30 if busy else 0)
                if busy:
                    self.begin(client, 1, partials=False)
                    client.send({"cmd": "audio", "id": 1}, voice(0.5))
                    client.send({"cmd": "stop", "id": 1})
                    self.wait_log("transcribe", 1)
                began = time.monotonic()
                if how == "quit":
                    client.send({"cmd": "quit"})
                else:
                    client.close_stdin()
                self.assertEqual(client.wait_exit(2), 0)
                self.assertLess(time.monotonic() - began, 2)

    def test_end_of_input_still_answers_a_stopped_utterance(self):
        client = self.start_server(STANDIN_WHISPER_DELAY=0.5)
        self.begin(client, 1, partials=False)
        client.send({"cmd": "audio", "id": 1}, voice(0.5))
        client.send({"cmd": "stop", "id": 1})
        client.close_stdin()
        replies = [h for h, _ in client.until(of_type("end", 1))]
        self.assertEqual([h["type"] for h in replies], ["final", "end"])
        self.assertEqual(client.wait_exit(3), 0)


class ModelTest(ServeTestCase):
    def loads(self, pid=None):
        return [(e["model"].split("--")[-1].split("/")[0], e["device"], e["compute_type"])
                for e in self.log_events("loaded") if pid is None or e["pid"] == pid]

    def test_model_is_kept_between_utterances(self):
        client = self.start_server(STANDIN_WHISPER_GPU="ok")
        settings = [{}, {}, {"computeType": "float32"}, {"computeType": "float32"},
                    {"computeType": "float32", "model": "tiny"},
                    {"computeType": "float32", "model": "tiny", "device": "cuda"}]
        for uid, extra in enumerate(settings, start=1):
            replies = self.utterance(client, uid, voice(0.5), **extra)
            self.assertEqual(replies[-2]["type"], "final", replies)
        self.assertEqual(self.loads(client.proc.pid), [
            ("faster-whisper-small", "cpu", "int8"), ("faster-whisper-small", "cpu", "float32"),
            ("faster-whisper-tiny", "cpu", "float32"), ("faster-whisper-tiny", "cuda", "float32")])

    def test_loaded_from_the_cache_and_never_downloaded(self):
        client = self.start_server()
        replies = self.utterance(client, 1, voice(0.5), model="base")
        self.assertEqual([h["type"] for h in replies], ["error", "end"])
        self.assertIn("base is not downloaded", replies[0]["message"])
        self.assertIn("Download it", replies[0]["message"])
        self.assertEqual(self.log_events("download"), [])
        loads = self.log_events("load")
        self.assertTrue(loads)
        for load in loads:
            self.assertTrue(load["local_files_only"])
            self.assertTrue(os.path.isfile(os.path.join(load["model"], "model.bin")), load)

    def test_model_is_warm_before_the_first_utterance(self):
        cases = [
            ("nothing remembered: the default", None, "faster-whisper-small", ()),
            ("the last dictation's model", {"model": "tiny", "device": "cpu",
                                            "computeType": "int8"}, "faster-whisper-tiny", ()),
            # The threads follow the cores the process may use, not a fixed 4.
            ("one core", None, "faster-whisper-small", ("taskset", "-c", "0")),
        ]
        for name, remembered, folder, prefix in cases:
            with self.subTest(name):
                self.setUp()
                state = os.path.join(self.tmp, "home", ".local", "state", "earlobe")
                if remembered:
                    os.makedirs(state, exist_ok=True)
                    with open(os.path.join(state, "whisper_helper.json"), "w") as out:
                        json.dump(remembered, out)
                client = self.start_server(prefix=prefix)
                self.wait_log("transcribed")
                [load] = self.log_events("load")
                self.assertIn(folder, load["model"])
                cores = 1 if prefix else len(os.sched_getaffinity(0))
                self.assertEqual(load["cpu_threads"], cores)
                # The first utterance pays for neither the load nor the warm-up.
                settings = {"model": remembered["model"]} if remembered else {}
                replies = self.utterance(client, 1, voice(0.5), **settings)
                self.assertEqual(replies[-2]["type"], "final")
                self.assertEqual(len(self.log_events("load")), 1)

    def test_the_model_used_is_remembered_for_the_next_start(self):
        client = self.start_server()
        self.utterance(client, 1, voice(0.5), model="tiny.en")
        client.send({"cmd": "quit"})
        client.wait_exit(2)
        self.start_server()
        loads = self.wait_log("loaded", 3)
        self.assertIn("faster-whisper-tiny.en", loads[-1]["model"])

    def test_device_trouble_falls_back_to_the_cpu(self):
        cases = [
            # name, environment, settings, errors expected, device used, words in the error
            ("GPU without cuDNN", {"STANDIN_WHISPER_GPU": "broken"},
             {"device": "cuda", "computeType": "float16"}, 1, "cpu", ["cuda", "CPU", "SIGABRT"]),
            ("GPU without cuDNN, auto", {"STANDIN_WHISPER_GPU": "broken"},
             {"device": "auto"}, 1, "cpu", ["auto", "libcudnn"]),
            ("no GPU, auto", {}, {"device": "auto"}, 0, "cpu", []),
            ("no GPU, cuda", {}, {"device": "cuda"}, 1, "cpu", ["no CUDA-capable device"]),
            ("working GPU", {"STANDIN_WHISPER_GPU": "ok"}, {"device": "cuda"}, 0, "cuda", []),
            ("half precision on the CPU", {}, {"computeType": "float16"}, 1, "cpu",
             ["float16"]),
            ("GPU fails in a later pass", {"STANDIN_WHISPER_GPU": "ok",
                                           "STANDIN_WHISPER_CUDA_FAIL_AFTER": "2"},
             {"device": "cuda"}, 1, "cpu", ["out of memory"]),
        ]
        for name, env, settings, errors, device, words in cases:
            with self.subTest(name):
                self.setUp()
                talk = self.talk()
                client = self.start_server(talk, **env)
                for uid in (1, 2):
                    self.begin(client, uid, **settings)
                    self.stream(client, uid, talk.sentence(self.WORDS[:8]), pace=0.01)
                    replies = self.finish(client, uid)
                    self.assertEqual(self.final_text(replies), " ".join(self.WORDS[:8]))
                    found = [h for h in replies if h["type"] == "error"]
                    # Said once, not for every utterance.
                    self.assertEqual(len(found), errors if uid == 1 else 0, replies)
                    for word in words if uid == 1 else []:
                        self.assertIn(word, found[0]["message"])
                self.assertEqual(self.passes(client.proc.pid)[-1]["device"], device)
                self.assertIsNone(client.proc.poll())

    def test_when_the_cpu_cannot_take_over_the_utterance_fails(self):
        cases = [
            ("at the start", {"STANDIN_WHISPER_LOAD_FAIL": "cuda,cpu"}),
            ("after a later pass failed", {"STANDIN_WHISPER_GPU": "ok",
                                           "STANDIN_WHISPER_CUDA_FAIL_AFTER": "2",
                                           "STANDIN_WHISPER_LOAD_FAIL": "cpu"}),
        ]
        for name, env in cases:
            with self.subTest(name):
                self.setUp()
                talk = self.talk()
                client = self.start_server(talk, **env)
                self.begin(client, 1, device="cuda")
                self.stream(client, 1, talk.sentence(self.WORDS[:8]), pace=0.01)
                replies = self.finish(client, 1)
                self.assertEqual([h["type"] for h in replies if h["type"] != "partial"],
                                 ["error", "end"])
                self.assertIn("Unable to load the whisper model small", replies[-2]["message"])
                self.assertIsNone(client.proc.poll())


class SpeechTest(ServeTestCase):
    def test_silence_and_noise_give_no_text(self):
        vocabulary = {
            "hello": {},
            "hum": {"no_speech_prob": 0.7, "avg_logprob": -1.3},
            "hiss": {"no_speech_prob": 0.95, "avg_logprob": -1.2},
            "mumble": {"no_speech_prob": 0.7, "avg_logprob": -0.4},
            "quiet": {"no_speech_prob": 0.2, "avg_logprob": -1.6},
        }
        cases = [
            # name, audio, final, partials
            ("silence", [3.0], "", ""),
            ("unsure it is speech, unsure of the words", [1.0, "hum", 1.0], "", ""),
            ("sure it is not speech", [1.0, "hiss", 1.0], "", ""),
            ("unsure it is speech but sure of the words", [1.0, "mumble", 1.0], "mumble",
             "mumble"),
            ("speech with unsure words", [1.0, "quiet", 1.0], "quiet", "quiet"),
            # The window's no-speech probability is the noise's, yet the words
            # whisper is sure of stay. Previews judge segment by segment; the
            # final, decoded without timestamps, judges its window as a whole.
            ("speech after noise", ["hum", 1.0, "hello", 0.5, "hello", 0.5, "hello"],
             "hum hello hello hello", "hello hello hello"),
        ]
        for partials in (False, True):
            for name, items, final, partial in cases:
                with self.subTest(name, partials=partials):
                    self.setUp()
                    talk = self.talk(vocabulary)
                    client = self.start_server(talk)
                    self.begin(client, 4, partials)
                    self.stream(client, 4, talk.audio(*items), chunk=0.25)
                    replies = self.finish(client, 4)
                    self.assertEqual(replies[-2:], [{"type": "final", "id": 4, "text": final},
                                                    {"type": "end", "id": 4}])
                    for header in replies[:-2]:
                        self.assertEqual(header["type"], "partial")
                        self.assertIn(header["text"], (partial, final))

    def test_no_whisper_call_without_speech(self):
        talk = self.talk()
        cases = [
            ("a minute of silence", [60.0], 0, 0.0),
            ("a long pause between two phrases", ["one", 0.1, "two", 20.0, "three", 0.1, "four"],
             None, 3.5),
        ]
        for name, items, calls, longest in cases:
            with self.subTest(name):
                self.setUp()
                talk = self.talk()
                client = self.start_server(talk)
                self.begin(client, 1)
                self.stream(client, 1, talk.audio(*items), chunk=0.5, pace=0.005)
                replies = self.finish(client, 1)
                passes = self.passes(client.proc.pid)
                if calls is not None:
                    self.assertEqual(len(passes), calls)
                    self.assertEqual(self.final_text(replies), "")
                else:
                    self.assertEqual(self.final_text(replies), "one two three four")
                # Whisper never hears the silence, only the speech around it.
                self.assertLessEqual(max([c["seconds"] for c in passes] + [0.0]), longest)

    def test_repeated_segments_are_dropped(self):
        vocabulary = {"Thank you.": {}, "Hello.": {}, "Bye.": {}}
        cases = [
            ("four in a row", ["Thank you.", 1, "Thank you.", 1, "Thank you.", 1, "Thank you."],
             "Thank you."),
            ("three in a row", ["Hello.", 1, "Thank you.", 1, "Thank you.", 1, "Thank you.", 1,
                                "Bye."], "Hello. Thank you. Bye."),
            ("two are kept", ["Thank you.", 1, "Thank you.", 1, "Bye."],
             "Thank you. Thank you. Bye."),
            ("not in a row", ["Bye.", 1, "Hello.", 1, "Bye.", 1, "Hello.", 1, "Bye."],
             "Bye. Hello. Bye. Hello. Bye."),
        ]
        for name, items, expected in cases:
            with self.subTest(name):
                self.setUp()
                talk = self.talk(vocabulary)
                client = self.start_server(talk)
                replies = self.utterance(client, 2, talk.audio(*items))
                self.assertEqual(replies, [{"type": "final", "id": 2, "text": expected},
                                           {"type": "end", "id": 2}])


class LanguageTest(ServeTestCase):
    def test_language_settings(self):
        cases = [
            # name, setting, model, spoken, language whisper gets, words in an error
            ("a locale", "en_US", "small", "en", "en", None),
            ("a locale with a dash", "de-DE", "small", "de", "de", None),
            ("detect", "auto", "small", "fr", None, None),
            ("nothing set", "", "small", "fr", None, None),
            ("unknown", 'x"\\\nü', "small", "en", None, "does not know"),
            ("English-only model", "de", "tiny.en", "en", "en", "English only"),
        ]
        for name, setting, model, spoken, given, problem in cases:
            with self.subTest(name):
                self.setUp()
                talk = self.talk(language=spoken)
                client = self.start_server(talk)
                settings = {"model": model}
                if setting:
                    settings["language"] = setting
                self.begin(client, 1, **settings)
                self.stream(client, 1, talk.sentence(self.WORDS[:8]))
                replies = self.finish(client, 1)
                # Right words: whisper was never forced into another language.
                self.assertEqual(self.final_text(replies), " ".join(self.WORDS[:8]))
                passes = self.passes(client.proc.pid)
                self.assertEqual(passes[0]["language"], given)
                errors = [h["message"] for h in replies if h["type"] == "error"]
                self.assertEqual(len(errors), 1 if problem else 0, errors)
                if problem:
                    self.assertIn(problem, errors[0])

    def test_language_is_detected_once_per_utterance(self):
        talk = self.talk(language="fr")
        client = self.start_server(talk)
        for uid in (1, 2):
            self.begin(client, uid)
            self.stream(client, uid, talk.sentence(self.WORDS), pace=0.01)
            replies = self.finish(client, uid)
            self.assertEqual(self.final_text(replies), " ".join(self.WORDS))
        passes = self.passes(client.proc.pid)
        self.assertGreater(len(passes), 4)
        self.assertEqual(len(self.log_events("detect")), 2)
        self.assertEqual(sum(1 for c in passes if c["language"] is None), 2)
        for call in passes:
            self.assertIn(call["language"], (None, "fr"))


class StreamingTest(ServeTestCase):
    HARD = {"Anna": " Ana", "Zoe": " Joey", "Siobhan": " Shivon"}

    def hard_talk(self):
        vocabulary = {word: {} for word in self.WORDS}
        vocabulary.update({word: {"beam1": wrong} for word, wrong in self.HARD.items()})
        return self.talk(vocabulary)

    def spoken(self, count):
        words = []
        pool = self.WORDS + list(self.HARD)
        for index in range(count):
            words.append(pool[(index * 7) % len(pool)])
        return words

    def test_final_is_one_beam5_pass_over_the_whole_utterance(self):
        talk = self.hard_talk()
        words = self.spoken(40)
        audio = talk.sentence(words)
        client = self.start_server(talk)
        self.begin(client, 1)
        self.stream(client, 1, audio, pace=0.02)
        replies = self.finish(client, 1)
        partials = " ".join(h["text"] for h in replies if h["type"] == "partial")
        # Previews are beam 1 and get the hard words wrong; the final may not.
        self.assertIn("Ana", partials.split())
        self.assertEqual(self.final_text(replies), " ".join(words))
        passes = self.passes(client.proc.pid)
        final = passes[-1]
        self.assertEqual(final["beam_size"], 5)
        self.assertGreater(len(final["temperature"]), 1)
        self.assertGreater(final["seconds"], len(audio) / 32000 - 1.0)
        previews = [c for c in passes if c["beam_size"] == 1]
        self.assertGreater(len(previews), 3)
        self.assertTrue(all(c["temperature"] == 0.0 for c in previews))

    def test_long_dictation_is_exact_and_heard_in_short_buffers(self):
        talk = self.hard_talk()
        words = self.spoken(90)
        audio = talk.sentence(words)
        seconds = len(audio) / 32000
        self.assertGreater(seconds, 40)
        for partials in (False, True):
            with self.subTest(partials=partials):
                self.setUp()
                talk = self.hard_talk()
                client = self.start_server(talk)
                self.begin(client, 1, partials)
                self.stream(client, 1, audio, pace=0.025)
                stop = time.time()
                replies = self.finish(client, 1)
                self.assertEqual(self.final_text(replies), " ".join(words))
                passes = self.passes(client.proc.pid)
                # Committed while speaking, so the final hears only the rest.
                commits = [c for c in passes if c["beam_size"] == 5 and c["time"] < stop]
                self.assertGreater(len(commits), 1)
                self.assertLess(passes[-1]["seconds"], 25)
                self.assertLessEqual(max(c["seconds"] for c in passes), 25)

    def test_final_is_ready_when_the_speaker_pauses(self):
        talk = self.hard_talk()
        client = self.start_server(talk, STANDIN_WHISPER_ENCODE=0.3, STANDIN_WHISPER_TOKEN=0.01)
        self.begin(client, 1)
        words = self.spoken(8)
        self.stream(client, 1, talk.sentence(words) + silence(1.5), pace=0.05)
        deadline = time.monotonic() + 10
        while not any(e["beam_size"] == 5 for e in self.log_events("transcribe")):
            self.assertLess(time.monotonic(), deadline, "no final was prepared in the pause")
            time.sleep(0.05)
        self.wait_log("transcribed", len(self.log_events("transcribe")))
        calls = len(self.log_events("transcribe"))
        began = time.monotonic()
        replies = self.finish(client, 1)
        self.assertLess(time.monotonic() - began, 0.4)
        self.assertEqual(self.final_text(replies), " ".join(words))
        self.assertEqual(len(self.log_events("transcribe")), calls)

    def test_passes_follow_their_cost(self):
        # Each pass costs 0.4 s however short its audio: passes never pile up,
        # and each one hears all the audio that has come.
        talk = self.talk()
        client = self.start_server(talk, STANDIN_WHISPER_ENCODE=0.4)
        audio = talk.sentence(self.WORDS)
        self.begin(client, 1)
        began = time.time()
        sent = []
        step = 3200
        for offset in range(0, len(audio), step):
            client.send({"cmd": "audio", "id": 1}, audio[offset:offset + step])
            sent.append((time.time(), (offset + step) // 2))
            time.sleep(0.05)
        replies = self.finish(client, 1)
        self.assertEqual(self.final_text(replies), " ".join(self.WORDS))
        previews = [c for c in self.passes(client.proc.pid) if c["beam_size"] == 1]
        self.assertLessEqual(len(previews), (time.time() - began) / 0.4 + 2)
        for call in previews:
            arrived = max([n for t, n in sent if t < call["time"] - 0.3] + [0])
            self.assertGreaterEqual(call["samples"] + 1.0 * 16000, arrived - 2 * 16000, call)

    def test_cancel_abandons_a_long_pass(self):
        talk = self.talk()
        client = self.start_server(talk, STANDIN_WHISPER_TOKEN=0.3)
        items = []
        for word in self.WORDS:
            items += [word, 0.6]
        self.begin(client, 1)
        client.send({"cmd": "audio", "id": 1}, talk.audio(*items))
        deadline = time.monotonic() + 10
        while not any(c["seconds"] > 8 for c in self.passes()):
            self.assertLess(time.monotonic(), deadline, "no long pass began")
            time.sleep(0.02)
        client.send({"cmd": "cancel", "id": 1})
        began = time.monotonic()
        self.begin(client, 2, partials=False)
        client.send({"cmd": "audio", "id": 2}, talk.audio("seven"))
        replies = self.finish(client, 2)
        # The 15-s pass stops at its next segment instead of running to its end;
        # the final of one word costs 3 s at this price.
        self.assertLess(time.monotonic() - began, 6.0)
        self.assertEqual(replies[-2:], [{"type": "final", "id": 2, "text": "seven"},
                                        {"type": "end", "id": 2}])
        long_pass = max(c["samples"] for c in self.passes())
        self.assertNotIn(long_pass, [e["samples"] for e in self.log_events("transcribed")])

    def test_quit_during_a_long_pass(self):
        talk = self.talk()
        client = self.start_server(talk, STANDIN_WHISPER_ENCODE=5.0)
        self.wait_log("transcribed")
        self.begin(client, 1)
        client.send({"cmd": "audio", "id": 1}, talk.audio("one", 3.0, "two", 3.0))
        self.wait_log("transcribe", 2)
        began = time.monotonic()
        client.send({"cmd": "quit"})
        self.assertEqual(client.wait_exit(2), 0)
        self.assertLess(time.monotonic() - began, 2.0)

    def test_audio_read_while_the_model_loads_is_kept(self):
        talk = self.talk()
        client = self.start_server(talk, STANDIN_WHISPER_LOAD_DELAY=1.5)
        self.begin(client, 1)
        self.wait_log("load")
        self.assertEqual(self.log_events("loaded"), [])
        self.stream(client, 1, talk.sentence(self.WORDS))
        replies = self.finish(client, 1)
        self.assertEqual(self.final_text(replies), " ".join(self.WORDS))
        self.assertEqual(len(self.log_events("load")), 1)


if __name__ == "__main__":
    unittest.main()

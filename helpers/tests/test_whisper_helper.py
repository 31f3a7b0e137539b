"""Tests of whisper_helper.py, run as a child process against stand-in modules."""

import hashlib
import importlib.util
import json
import os
import struct
import subprocess
import time
import unittest

from harness import (PYTHON, WHISPER, HelperTestCase, make_cached_repo, of_type, pcm,
                     silence)

BLOCK = 'raise ImportError("blocked by the test")'

MODEL_FILES = {
    "config.json": b"{}",
    "model.bin": b"weights",
    "tokenizer.json": b"{}",
    "vocabulary.txt": b"a\n",
}

# What the stand-in hub serves: config.json, model.bin, tokenizer.json,
# vocabulary.txt and, for the 128-mel models, preprocessor_config.json.
STANDIN_MODEL_BYTES = {"tiny": 17 + 40000 + 14 + 4, "large-v3": 17 + 40000 + 14 + 4 + 21}
CATALOGUE_REPOS = {"tiny": "Systran/faster-whisper-tiny", "large-v3": "Systran/faster-whisper-large-v3"}

# faster_whisper.available_models() of faster-whisper 1.2.
UPSTREAM_MODELS = [
    "tiny.en", "tiny", "base.en", "base", "small.en", "small", "medium.en", "medium",
    "large-v1", "large-v2", "large-v3", "large", "distil-large-v2", "distil-medium.en",
    "distil-small.en", "distil-large-v3", "distil-large-v3.5", "large-v3-turbo", "turbo",
]


class CheckTest(HelperTestCase):
    def check(self, env):
        result = self.run_oneshot(WHISPER, ["check"], env)
        objects = self.json_lines(result.stdout)
        self.assertEqual(len(objects), 1, result.stdout)
        return objects[0], result

    def test_everything_installed(self):
        version = subprocess.run([PYTHON, "-c", "import platform; print(platform.python_version())"],
                                 capture_output=True, text=True, check=True).stdout.strip()
        for noisy in ("0", "1"):
            with self.subTest(library_prints=noisy):
                answer, _ = self.check(self.environment(STANDIN_STDOUT=noisy))
                self.assertEqual(answer, {"python": version, "sampleRate": 16000, "channels": 1,
                                          "available": True, "missing": []})

    def test_missing_modules_are_named_for_pip(self):
        cases = [
            ({"faster_whisper": BLOCK}, ["faster-whisper"]),
            ({"numpy": BLOCK}, ["numpy"]),
            ({"numpy": BLOCK, "faster_whisper": BLOCK}, ["faster-whisper", "numpy"]),
            # An installed but broken package is just as unusable.
            ({"faster_whisper": 'raise OSError("libctranslate2.so: cannot open shared object")'},
             ["faster-whisper"]),
        ]
        for index, (blocked, missing) in enumerate(cases):
            with self.subTest(blocked=sorted(blocked)):
                env = self.environment(self.blocked(blocked, "blockers%d" % index))
                answer, result = self.check(env)
                self.assertIs(answer["available"], False)
                self.assertEqual(answer["missing"], missing)
                self.assertNotIn(b"Traceback", result.stderr)


class ModelsTest(HelperTestCase):
    def test_catalogue_without_any_module(self):
        env = self.environment(self.blocked({"faster_whisper": BLOCK, "huggingface_hub": BLOCK,
                                             "numpy": BLOCK}))
        result = self.run_oneshot(WHISPER, ["models"], env)
        self.assertEqual(result.returncode, 0, result.stderr)
        objects = self.json_lines(result.stdout)
        self.assertEqual(len(objects), 1)
        models = objects[0]["models"]
        for model in models:
            self.assertEqual(set(model), {"id", "name", "sizeMib", "multilingual", "default"})
            self.assertTrue(model["name"])
            self.assertIsInstance(model["sizeMib"], int)
            self.assertGreater(model["sizeMib"], 0)
            self.assertIsInstance(model["multilingual"], bool)
            # The distil models were trained on English only.
            if model["id"].endswith(".en") or model["id"].startswith("distil-"):
                self.assertFalse(model["multilingual"], model)
        ids = [model["id"] for model in models]
        self.assertEqual(ids, UPSTREAM_MODELS)
        self.assertEqual([m["id"] for m in models if m["default"] is True], ["small"])
        self.assertTrue(all(m["default"] is False for m in models if m["id"] != "small"))
        sizes = {model["id"]: model["sizeMib"] for model in models}
        self.assertEqual(sizes["small"], 462)
        for model_id in ids:
            twin = model_id[:-3]
            if model_id.endswith(".en") and twin in sizes:
                self.assertEqual(sizes[model_id], sizes[twin], model_id)


class DownloadTest(HelperTestCase):
    def download(self, args, **env):
        result = self.run_oneshot(WHISPER, ["download"] + args, self.environment(**env))
        return self.json_lines(result.stdout), result

    def test_progress_of_every_hub_style_is_one_rising_byte_count(self):
        self.assertIsNotNone(importlib.util.find_spec("tqdm"),
                             "python3-tqdm is missing: run scripts/install-dependencies")
        no_tqdm = {"tqdm": BLOCK}
        cases = [
            # (progress style of the hub, model, modules blocked)
            ("files", "tiny", {}),
            ("bytes", "tiny", {}),
            ("two-bars", "tiny", {}),
            ("xet", "tiny", {}),
            ("xet", "large-v3", {}),
            ("files", "tiny", no_tqdm),
            ("bytes", "tiny", no_tqdm),
            ("two-bars", "tiny", no_tqdm),
            ("xet", "tiny", no_tqdm),
        ]
        for style, model, blocked in cases:
            with self.subTest(progress_style=style, model=model, blocked=sorted(blocked)):
                self.setUp()
                env = {"STANDIN_HF_PROGRESS": style}
                if blocked:
                    env["PYTHONPATH"] = os.pathsep.join(self.blocked(blocked))
                events, result = self.download(["--model", model], **env)
                self.assertEqual(result.returncode, 0, result.stderr)
                if blocked:
                    self.assertIn(b"tqdm", result.stderr)
                progress = self.checked_progress(events, model)
                # The bars themselves counted every byte, also those of the
                # files after model.bin, before the closing event said so.
                # On xet that takes a bar whose format_dict works: an error
                # there ends every later update.
                self.assertEqual(progress[-2]["received"], STANDIN_MODEL_BYTES[model], progress)
                calls = self.log_events("snapshot_download")
                self.assertEqual(len(calls), 1)
                self.assertEqual(calls[0]["repo_id"], CATALOGUE_REPOS[model])
                self.assertEqual(set(calls[0]["allow_patterns"]),
                                 {"config.json", "preprocessor_config.json", "model.bin",
                                  "tokenizer.json", "vocabulary.*"})

    def test_retry_after_an_interrupted_download_never_goes_backwards(self):
        # The blobs folder is measured before the hub's bars start: it holds
        # the part of model.bin the interrupted download left, which the
        # stand-in then fetches again from the start.
        for style in ("files", "bytes", "two-bars", "xet"):
            with self.subTest(progress_style=style):
                self.setUp()
                blobs = os.path.join(self.cache, "models--Systran--faster-whisper-tiny", "blobs")
                os.makedirs(blobs)
                blob = hashlib.sha256(b"m" * 40000).hexdigest()
                with open(os.path.join(blobs, blob + ".incomplete"), "wb") as partial:
                    partial.write(b"m" * 30000)
                events, result = self.download(["--model", "tiny"], STANDIN_HF_PROGRESS=style,
                                               STANDIN_HF_DELAY="1.0")
                self.assertEqual(result.returncode, 0, result.stderr)
                progress = self.checked_progress(events, "tiny")
                self.assertEqual(progress[0]["received"], 30000, progress)

    def checked_progress(self, events, model):
        """The progress events of a successful download, after checking
        that they only ever rise and end at the real byte count."""
        self.assertEqual(events[0], {"type": "start", "model": model})
        self.assertEqual(events[-1]["type"], "finished")
        self.assertTrue(all(event["model"] == model for event in events))
        progress = events[1:-1]
        self.assertGreaterEqual(len(progress), 2, events)
        self.assertTrue(all(event["type"] == "progress" for event in progress), events)
        real = self.model_bytes(events[-1]["path"])
        self.assertEqual(real, STANDIN_MODEL_BYTES[model])
        for before, after in zip(progress, progress[1:]):
            self.assertLessEqual(before["received"], after["received"], progress)
            self.assertLessEqual(before["percent"], after["percent"], progress)
        for event in progress:
            self.assertTrue(0 <= event["received"] <= event["total"], event)
            # Never ahead of what has really arrived.
            self.assertTrue(0 <= event["percent"] <= event["received"] * 100 // real, event)
        self.assertEqual((progress[-1]["received"], progress[-1]["total"]), (real, real))
        self.assertEqual([event["percent"] for event in progress].count(100), 1, progress)
        self.assertEqual(progress[-1]["percent"], 100)
        return progress

    def model_bytes(self, folder):
        return sum(os.path.getsize(os.path.join(folder, name)) for name in os.listdir(folder))

    def test_file_counting_hub_reports_bytes_as_they_arrive(self):
        # A hub that only counts files says nothing while model.bin comes in;
        # the bytes are read from the cache's blobs folder instead.
        events, result = self.download(["--model", "tiny"], STANDIN_HF_PROGRESS="files",
                                       STANDIN_HF_FILE_SIZE="4000000", STANDIN_HF_WRITE_DELAY="0.4")
        self.assertEqual(result.returncode, 0, result.stderr)
        progress = [event for event in events if event["type"] == "progress"]
        received = [event["received"] for event in progress]
        self.assertEqual(received, sorted(received))
        # Parts of model.bin are reported, not just whole files.
        self.assertTrue(any(0 < value % 1000000 and 1000000 <= value < 4000000 for value in received), received)
        self.assertEqual(progress[-1]["received"], 17 + 4000000 + 14 + 4)
        self.assertEqual(progress[-1]["total"], progress[-1]["received"])
        self.assertEqual(progress[-1]["percent"], 100)

    def test_model_on_disk_is_reported_cached(self):
        first, _ = self.download(["--model", "base.en"])
        self.assertEqual(first[-1]["type"], "finished")
        events, result = self.download(["--model", "base.en"])
        self.assertEqual(result.returncode, 0)
        self.assertEqual(events, [{"type": "cached", "model": "base.en", "path": first[-1]["path"]}])
        self.assertEqual(len(self.log_events("snapshot_download")), 1)

    def test_events_are_flushed_as_they_happen(self):
        read_end, write_end = os.pipe()
        self.addCleanup(os.close, write_end)
        proc = subprocess.Popen([PYTHON, WHISPER, "download", "--model", "tiny"], stdin=read_end,
                                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                env=self.environment(STANDIN_HF_DELAY=3))
        os.close(read_end)
        self.addCleanup(proc.wait)
        self.addCleanup(proc.stdout.close)
        self.addCleanup(proc.kill)
        began = time.monotonic()
        line = proc.stdout.readline()
        self.assertLess(time.monotonic() - began, 2.5, "the start event waited for the download")
        self.assertEqual(json.loads(line), {"type": "start", "model": "tiny"})

    def test_failures_give_an_error_event_and_a_failing_exit(self):
        blockers = self.blocked({"huggingface_hub": BLOCK})
        cases = [
            ("unknown model", ["--model", "enormous"], {}, "enormous", "enormous"),
            ("network failure", ["--model", "tiny"], {"STANDIN_HF_FAIL": "Connection refused"},
             "tiny", "Connection refused"),
            ("incomplete download", ["--model", "tiny"], {"STANDIN_HF_SKIP": "model.bin"},
             "tiny", "model.bin"),
            ("no vocabulary", ["--model", "tiny"], {"STANDIN_HF_SKIP": "vocabulary.txt"},
             "tiny", "vocabulary"),
            ("128-mel model without its preprocessor_config.json", ["--model", "large-v3"],
             {"STANDIN_HF_SKIP": "preprocessor_config.json"}, "large-v3", "preprocessor_config.json"),
            ("no huggingface_hub", ["--model", "tiny"],
             {"PYTHONPATH": os.pathsep.join(blockers)}, "tiny", "huggingface_hub"),
        ]
        for name, args, env, model, text in cases:
            with self.subTest(name):
                self.setUp()
                events, result = self.download(args, **env)
                self.assertNotEqual(result.returncode, 0)
                errors = [event for event in events if event["type"] == "error"]
                self.assertEqual(len(errors), 1, events)
                self.assertEqual(errors[0]["model"], model)
                self.assertIn(text, errors[0]["message"])
                self.assertNotIn("finished", [event["type"] for event in events])

    def test_unknown_model_never_reaches_the_hub(self):
        self.download(["--model", "../../etc"])
        self.assertEqual(self.log_events("snapshot_download"), [])

    def test_bad_arguments_fail(self):
        for args in ([], ["--model"], ["--everything"]):
            with self.subTest(args=args):
                events, result = self.download(args)
                self.assertNotEqual(result.returncode, 0)
                self.assertEqual(events, [])

    def test_all_lists_only_models_that_are_complete_on_disk(self):
        def without(name):
            return {key: value for key, value in MODEL_FILES.items() if key != name}

        mel128 = dict(MODEL_FILES, **{"preprocessor_config.json": b"{}"})
        cases = [
            # (repository, files, files whose blob is gone, models listed)
            ("Systran/faster-whisper-small", MODEL_FILES, [], ["small"]),
            ("Systran/faster-whisper-tiny", without("model.bin"), [], []),
            ("Systran/faster-whisper-base", without("model.bin"), ["model.bin"], []),
            ("Systran/faster-whisper-medium", without("vocabulary.txt"), [], []),
            ("Systran/faster-whisper-tiny.en",
             dict(without("vocabulary.txt"), **{"vocabulary.json": b"[]"}), [], ["tiny.en"]),
            ("Systran/faster-whisper-base.en", without("vocabulary.txt"), ["vocabulary.txt"], []),
            ("someone/faster-whisper-medium.en", MODEL_FILES, [], []),
            # The 128-mel models also need preprocessor_config.json.
            ("Systran/faster-whisper-large-v3", MODEL_FILES, [], []),
            ("Systran/faster-distil-whisper-large-v3", MODEL_FILES,
             ["preprocessor_config.json"], []),
            ("distil-whisper/distil-large-v3.5-ct2", mel128, [], ["distil-large-v3.5"]),
            # "turbo" is the name faster-whisper gives large-v3-turbo as well.
            ("mobiuslabsgmbh/faster-whisper-large-v3-turbo", mel128, [],
             ["large-v3-turbo", "turbo"]),
        ]
        for repo, files, dangling, _ in cases:
            make_cached_repo(self.cache, repo, files, dangling=dangling)

        events, result = self.download(["--all"])
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertTrue(all(event["type"] == "cached" for event in events), events)
        listed = {event["model"]: event["path"] for event in events}
        expected = {model: repo for repo, _, _, models in cases for model in models}
        self.assertEqual(sorted(listed), sorted(expected))
        self.assertEqual(len(events), len(listed))
        for model, path in listed.items():
            self.assertIn("models--" + expected[model].replace("/", "--"), path)
        self.assertEqual(self.log_events("snapshot_download"), [])
        self.assertEqual(self.log_events("hf_hub_download"), [])

    def test_all_with_nothing_on_disk(self):
        events, result = self.download(["--all"])
        self.assertEqual(result.returncode, 0)
        self.assertEqual(events, [])


class ServeTest(HelperTestCase):
    def start_server(self, pythonpath=None, **env):
        client = self.serve(WHISPER, self.environment(pythonpath, **env))
        self.assertEqual(client.next()[0], {"type": "ready", "available": True, "missing": []})
        return client

    def utterance(self, client, uid, audio, partials=False, **settings):
        """Run one utterance and return its replies up to its "end"."""
        client.send(dict({"cmd": "start", "id": uid, "sampleFormat": "int16",
                          "partials": partials}, **settings))
        client.send({"cmd": "audio", "id": uid}, audio)
        client.send({"cmd": "stop", "id": uid})
        return [header for header, _ in client.until(of_type("end", uid))]

    def test_stop_gives_final_then_end(self):
        client = self.start_server()
        samples = [16384, -32768, 1, 0, 8192, -1, 32767, 2]
        audio = pcm(samples)
        client.send({"cmd": "start", "id": 1, "sampleFormat": "int16", "partials": False})
        # Writes need not end on a sample boundary.
        client.send({"cmd": "audio", "id": 1}, audio[:3])
        client.send({"cmd": "audio", "id": 1}, audio[3:])
        client.send({"cmd": "stop", "id": 1})
        replies = [header for header, _ in client.until(of_type("end", 1))]
        self.assertEqual(replies, [{"type": "final", "id": 1, "text": "hello world"},
                                   {"type": "end", "id": 1}])
        [load] = self.log_events("load")
        self.assertEqual((load["model"], load["device"], load["compute_type"]),
                         ("small", "cpu", "int8"))
        [call] = self.log_events("transcribe")
        self.assertEqual((call["samples"], call["ndim"], call["dtype"]), (8, 1, "float32"))
        self.assertEqual(call["head"], [0.5, -1.0, 1 / 32768, 0.0])
        self.assertIsNone(call["language"])
        self.assertIsNone(call["initial_prompt"])

    def test_library_output_stays_off_the_protocol(self):
        client = self.start_server(STANDIN_STDOUT=1)
        client.send({"cmd": "start", "id": 3, "sampleFormat": "int16", "partials": True})
        client.send({"cmd": "audio", "id": 3}, silence(1.0))
        self.assertEqual(client.next()[0]["type"], "partial")
        client.send({"cmd": "stop", "id": 3})
        self.assertEqual([h["type"] for h, _ in client.until(of_type("end", 3))], ["final", "end"])
        client.send({"cmd": "quit"})
        self.assertEqual(client.wait_exit(2), 0)
        self.assertEqual(client.garbage, [])
        self.assertIn("stand-in", client.stderr_text())

    def test_texts_reach_faster_whisper_and_come_back_intact(self):
        client = self.start_server(STANDIN_WHISPER_TEXT="{prompt}")
        prompts = ['say "hi"', "back\\slash \\n", "line\nfeed", "Grüße, 日本語 🎤", "{x}", "'"]
        for uid, prompt in enumerate(prompts, start=1):
            with self.subTest(prompt=prompt):
                replies = self.utterance(client, uid, pcm([1, 2]), prompt=prompt, language="de")
                self.assertEqual(replies[0], {"type": "final", "id": uid, "text": prompt.strip()})
                call = self.log_events("transcribe")[-1]
                self.assertEqual(call["initial_prompt"], prompt)
                self.assertEqual(call["language"], "de")

    def test_failures_give_error_then_end(self):
        weird_language = 'x"\\\nü'
        cases = [
            ("model does not load", {"STANDIN_WHISPER_LOAD_ERROR": "no such model"}, {},
             "no such model", "error"),
            ("transcription raises", {"STANDIN_WHISPER_RAISE": "decoder exploded"}, {},
             "decoder exploded", "error"),
            ("invalid language", {}, {"language": weird_language}, "not a valid language", "final"),
        ]
        for name, env, settings, text, afterwards in cases:
            with self.subTest(name):
                self.setUp()
                client = self.start_server(**env)
                replies = self.utterance(client, 7, pcm([5, 6, 7]), **settings)
                self.assertEqual([h["type"] for h in replies], ["error", "end"])
                self.assertEqual(replies[0]["id"], 7)
                self.assertIn(text, replies[0]["message"])
                if settings:
                    self.assertEqual(self.log_events("transcribe")[-1]["language"], weird_language)
                # The helper keeps serving.
                replies = self.utterance(client, 8, pcm([5, 6, 7]))
                self.assertEqual([h["type"] for h in replies], [afterwards, "end"])
                self.assertEqual(replies[-1]["id"], 8)

    def test_no_partials_unless_asked(self):
        client = self.start_server()
        client.send({"cmd": "start", "id": 1, "sampleFormat": "int16", "partials": False})
        for _ in range(6):
            client.send({"cmd": "audio", "id": 1}, silence(0.5))
        self.assertEqual(client.collect(0.5), [])
        client.send({"cmd": "stop", "id": 1})
        self.assertEqual([h["type"] for h, _ in client.until(of_type("end", 1))], ["final", "end"])

    def test_cancel_drops_the_utterance(self):
        client = self.start_server()
        client.send({"cmd": "start", "id": 1, "sampleFormat": "int16", "partials": True})
        client.send({"cmd": "audio", "id": 1}, pcm([9] * 4))
        client.send({"cmd": "cancel", "id": 1})
        client.send({"cmd": "audio", "id": 1}, pcm([9] * 4))
        client.send({"cmd": "stop", "id": 1})
        client.send({"cmd": "start", "id": 2, "sampleFormat": "int16", "partials": False})
        client.send({"cmd": "audio", "id": 2}, pcm([3] * 6))
        client.send({"cmd": "stop", "id": 2})
        replies = [h for h, _ in client.until(of_type("end", 2))]
        self.assertEqual([(h["type"], h["id"]) for h in replies], [("final", 2), ("end", 2)])
        self.assertEqual([call["samples"] for call in self.log_events("transcribe")], [6])

    def test_frames_for_other_ids_are_ignored(self):
        client = self.start_server()
        client.send({"cmd": "start", "id": 5, "sampleFormat": "int16", "partials": False})
        client.send({"cmd": "audio", "id": 5}, pcm([1] * 4))
        client.send({"cmd": "audio", "id": 4}, pcm([1] * 10))
        client.send({"cmd": "audio", "id": "5"}, pcm([1] * 10))
        client.send({"cmd": "stop", "id": 4})
        client.send({"cmd": "cancel", "id": 6})
        client.send({"cmd": "stop", "id": 5})
        replies = [h for h, _ in client.until(of_type("end", 5))]
        self.assertEqual([(h["type"], h["id"]) for h in replies], [("final", 5), ("end", 5)])
        self.assertEqual([call["samples"] for call in self.log_events("transcribe")], [4])

    def test_bad_header_lines_and_sizes_are_survived(self):
        client = self.start_server()
        client.send({"cmd": "start", "id": 1, "sampleFormat": "int16", "partials": False})
        client.send_raw(b"this is not json\n")
        client.send_raw(b"[1, 2, 3]\n")
        client.send_raw(b"\n")
        client.send_raw(b"\xff\xfe{}\n")
        # None of these announces a payload: the next header follows at once.
        for size in (-5, 2.5, "7", True, None):
            client.send_raw(json.dumps({"cmd": "audio", "id": 1, "size": size}).encode() + b"\n")
        client.send({"cmd": "audio", "id": 1}, pcm([4, 4]))
        client.send({"cmd": "stop", "id": 1})
        replies = [h for h, _ in client.until(of_type("end", 1))]
        self.assertEqual([h["type"] for h in replies], ["final", "end"])
        self.assertEqual([call["samples"] for call in self.log_events("transcribe")], [2])

    def test_model_is_kept_between_utterances(self):
        client = self.start_server()
        settings = [{}, {}, {"computeType": "float32"}, {"computeType": "float32"},
                    {"computeType": "float32", "model": "tiny"},
                    {"computeType": "float32", "model": "tiny", "device": "cuda"}]
        for uid, extra in enumerate(settings, start=1):
            replies = self.utterance(client, uid, pcm([1, 2, 3]), **extra)
            self.assertEqual(replies[0]["type"], "final", replies)
        loads = [(e["model"], e["device"], e["compute_type"]) for e in self.log_events("load")]
        self.assertEqual(loads, [("small", "cpu", "int8"), ("small", "cpu", "float32"),
                                 ("tiny", "cpu", "float32"), ("tiny", "cuda", "float32")])

    def test_downloaded_model_is_loaded_from_its_folder(self):
        folder = make_cached_repo(self.cache, "Systran/faster-whisper-small", MODEL_FILES)
        client = self.start_server()
        self.utterance(client, 1, pcm([1, 2]))
        self.assertEqual([e["model"] for e in self.log_events("load")], [folder])

    def test_unsupported_sample_format_is_refused(self):
        client = self.start_server()
        client.send({"cmd": "start", "id": 1, "sampleFormat": "float", "partials": False})
        replies = [h for h, _ in client.until(of_type("end", 1))]
        self.assertEqual([h["type"] for h in replies], ["error", "end"])
        client.send({"cmd": "audio", "id": 1}, pcm([1, 2]))
        client.send({"cmd": "stop", "id": 1})
        self.assertEqual(client.collect(0.5), [])

    def test_missing_modules_are_announced_and_utterances_answered(self):
        client = self.serve(WHISPER, self.environment(self.blocked({"faster_whisper": BLOCK})))
        self.assertEqual(client.next()[0],
                         {"type": "ready", "available": False, "missing": ["faster-whisper"]})
        client.send({"cmd": "start", "id": 1, "sampleFormat": "int16", "partials": True})
        client.send({"cmd": "audio", "id": 1}, silence(1.5))
        client.send({"cmd": "stop", "id": 1})
        replies = [h for h, _ in client.until(of_type("end", 1))]
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
                    client.send({"cmd": "start", "id": 1, "sampleFormat": "int16",
                                 "partials": False})
                    client.send({"cmd": "audio", "id": 1}, pcm([1] * 100))
                    client.send({"cmd": "stop", "id": 1})
                    time.sleep(0.3)
                began = time.monotonic()
                if how == "quit":
                    client.send({"cmd": "quit"})
                else:
                    client.close_stdin()
                self.assertEqual(client.wait_exit(2), 0)
                self.assertLess(time.monotonic() - began, 2)

    def test_end_of_input_still_answers_a_stopped_utterance(self):
        client = self.start_server(STANDIN_WHISPER_DELAY=0.5)
        client.send({"cmd": "start", "id": 1, "sampleFormat": "int16", "partials": False})
        client.send({"cmd": "audio", "id": 1}, pcm([1] * 100))
        client.send({"cmd": "stop", "id": 1})
        client.close_stdin()
        replies = [h for h, _ in client.until(of_type("end", 1))]
        self.assertEqual([h["type"] for h in replies], ["final", "end"])
        self.assertEqual(client.wait_exit(3), 0)


def run(value, seconds):
    """Audio the scripted stand-in hears as the word `value`: one sample value throughout."""
    return struct.pack("<h", value) * int(round(seconds * 16000))


class Talk:
    """A scripted utterance: words the stand-in recognises, with pauses, and what it should say."""

    def __init__(self, folder, vocabulary, gap=0.5, hallucination=" Thank you."):
        self.vocabulary = {}
        self.values = {}
        for index, (text, extra) in enumerate(vocabulary.items()):
            value = 1001 + index
            self.values[text] = value
            # Words of unequal length, so passes often end inside one.
            seconds = 0.3 + 0.07 * (index % 5)
            self.vocabulary[str(value)] = dict({"text": " " + text, "seconds": seconds}, **extra)
        self.path = os.path.join(folder, "script.json")
        with open(self.path, "w", encoding="utf-8") as out:
            json.dump({"words": self.vocabulary, "gap": gap, "hallucination": hallucination}, out)

    def audio(self, *items):
        """Words by text, pauses as numbers of seconds; each word lasts its "seconds"."""
        parts = []
        for item in items:
            if isinstance(item, str):
                value = self.values[item]
                parts.append(run(value, self.vocabulary[str(value)]["seconds"]))
            else:
                parts.append(silence(item))
        return b"".join(parts)


def common_words(a, b):
    count = 0
    for x, y in zip(a, b):
        if x != y:
            break
        count += 1
    return a[:count]


class StreamingTest(HelperTestCase):
    SENTENCE = ["one", "two", "three", "four", "five", "six", "seven", "eight", "nine", "ten",
                "eleven", "twelve", "thirteen", "fourteen", "fifteen", "sixteen"]

    def start_server(self, talk, **env):
        client = self.serve(WHISPER, self.environment(STANDIN_WHISPER_SCRIPT=talk.path, **env))
        self.assertEqual(client.next()[0]["type"], "ready")
        return client

    def talk(self, vocabulary=None, **kwargs):
        vocabulary = vocabulary if vocabulary is not None else {w: {} for w in self.SENTENCE}
        return Talk(self.tmp, vocabulary, **kwargs)

    def speech(self, talk, times=1):
        """The sentence with a short pause inside phrases and a longer one between them."""
        items = []
        for index, word in enumerate(self.SENTENCE * times):
            items += [word, 0.6 if index % 4 == 3 else 0.1]
        return talk.audio(*items)

    def wait_log(self, event, count=1, timeout=10.0):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            events = self.log_events(event)
            if len(events) >= count:
                return events
            time.sleep(0.02)
        self.fail("the stand-in never logged %d %r events" % (count, event))

    def stream(self, client, uid, audio, chunk=0.1, pace=0.02):
        """Send `audio` in chunks of `chunk` seconds, one every `pace` seconds of wall time."""
        step = int(chunk * 32000)
        for offset in range(0, len(audio), step):
            client.send({"cmd": "audio", "id": uid}, audio[offset:offset + step])
            time.sleep(pace)

    def finish(self, client, uid):
        client.send({"cmd": "stop", "id": uid})
        return [h for h, _ in client.until(of_type("end", uid), timeout=15)]

    def test_committed_words_never_change(self):
        # Passes run while words are still being heard, so the last word of a
        # pass is often cut off and comes out truncated: tentative text changes,
        # and only what two passes in a row agree on may be kept.
        for pace in (0.01, 0.02):
            with self.subTest(pace=pace):
                self.setUp()
                talk = self.talk()
                audio = self.speech(talk, times=2)
                client = self.start_server(talk)
                client.send({"cmd": "start", "id": 1, "sampleFormat": "int16", "partials": True})
                self.stream(client, 1, audio, pace=pace)
                replies = self.finish(client, 1)
                partials = [h["text"].split() for h in replies if h["type"] == "partial"]
                self.assertEqual([h["type"] for h in replies[-2:]], ["final", "end"])
                final = replies[-2]["text"].split()
                self.assertEqual(final, self.SENTENCE * 2)
                self.assertGreater(len(partials), 6)
                for index in range(len(partials) - 1):
                    agreed = common_words(partials[index], partials[index + 1])
                    for later in partials[index + 1:] + [final]:
                        self.assertEqual(later[:len(agreed)], agreed,
                                         "agreed words changed after partial %d: %r"
                                         % (index, partials))
                calls = [e["seconds"] for e in self.log_events("transcribe")]
                total = len(audio) / 32000
                # Only the uncommitted tail is transcribed again, however many passes.
                self.assertLess(sum(calls) / total, 3.0, calls)
                self.assertLess(max(calls[len(calls) // 2:]), total / 2, calls)
                self.assertLess(calls[-1], total / 2, "the final pass covered everything")

    def test_work_stays_bounded_when_passes_are_slow(self):
        # Each pass costs half its audio's length: audio comes faster than
        # passes finish, and one pass must take all that arrived meanwhile.
        talk = self.talk()
        client = self.start_server(talk, STANDIN_WHISPER_COST=0.5)
        audio = self.speech(talk)
        client.send({"cmd": "start", "id": 1, "sampleFormat": "int16", "partials": True})
        self.stream(client, 1, audio, chunk=0.05, pace=0.0)
        replies = self.finish(client, 1)
        self.assertEqual(replies[-2]["text"].split(), self.SENTENCE)
        calls = [e["seconds"] for e in self.log_events("transcribe")]
        self.assertLess(len(calls), 10, calls)
        self.assertLess(sum(calls) / (len(audio) / 32000), 3.0, calls)

    def test_silence_and_noise_give_no_text(self):
        vocabulary = {
            "hello": {},
            "hum": {"no_speech_prob": 0.7, "avg_logprob": -1.3},
            "hiss": {"no_speech_prob": 0.95, "avg_logprob": -0.3},
            "mumble": {"no_speech_prob": 0.7, "avg_logprob": -0.4},
            "quiet": {"no_speech_prob": 0.2, "avg_logprob": -1.6},
        }
        cases = [
            ("silence", [3.0], ""),
            ("unsure it is speech, unsure of the words", [1.0, "hum", 1.0], ""),
            ("sure it is not speech", [1.0, "hiss", 1.0], ""),
            ("unsure it is speech but sure of the words", [1.0, "mumble", 1.0], "mumble"),
            ("speech with unsure words", [1.0, "quiet", 1.0], "quiet"),
            ("noise around speech", ["hum", 1.0, "hello", 1.0, "hiss"], "hello"),
        ]
        for partials in (False, True):
            for name, items, expected in cases:
                with self.subTest(name, partials=partials):
                    self.setUp()
                    talk = self.talk(vocabulary)
                    client = self.start_server(talk)
                    client.send({"cmd": "start", "id": 4, "sampleFormat": "int16",
                                 "partials": partials})
                    self.stream(client, 4, talk.audio(*items), chunk=0.25)
                    replies = self.finish(client, 4)
                    self.assertEqual(replies[-2:], [{"type": "final", "id": 4, "text": expected},
                                                    {"type": "end", "id": 4}])
                    for header in replies[:-2]:
                        self.assertEqual(header["type"], "partial")
                        self.assertEqual(header["text"], expected)
                    self.assertTrue(all(e["vad_filter"] for e in self.log_events("transcribe")))

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
                client.send({"cmd": "start", "id": 2, "sampleFormat": "int16", "partials": False})
                client.send({"cmd": "audio", "id": 2}, talk.audio(*items))
                replies = self.finish(client, 2)
                self.assertEqual(replies, [{"type": "final", "id": 2, "text": expected},
                                           {"type": "end", "id": 2}])

    def test_device_falls_back_to_the_cpu(self):
        talk = self.talk()
        client = self.start_server(talk, STANDIN_WHISPER_LOAD_FAIL="cuda")
        audio = talk.audio("one", 0.2, "two")
        for uid in (1, 2):
            client.send({"cmd": "start", "id": uid, "sampleFormat": "int16", "partials": False,
                         "device": "cuda", "computeType": "float16"})
            client.send({"cmd": "audio", "id": uid}, audio)
            replies = self.finish(client, uid)
            expected = [("final", "one two"), ("end", None)]
            if uid == 1:
                expected.insert(0, ("error", None))
                self.assertIn("cuda", replies[0]["message"])
                self.assertIn("CPU", replies[0]["message"])
                self.assertEqual(replies[0]["id"], 1)
            self.assertEqual([(h["type"], h.get("text")) for h in replies], expected)
        loads = [(e["device"], e["compute_type"]) for e in self.log_events("load")]
        self.assertEqual(loads, [("cuda", "float16"), ("cpu", "int8")])

    def test_device_fallback_that_fails_too_fails_the_utterance(self):
        talk = self.talk()
        client = self.start_server(talk, STANDIN_WHISPER_LOAD_FAIL="cuda,cpu")
        client.send({"cmd": "start", "id": 1, "sampleFormat": "int16", "partials": True,
                     "device": "cuda"})
        client.send({"cmd": "audio", "id": 1}, talk.audio("one", 1.0))
        replies = self.finish(client, 1)
        self.assertEqual([h["type"] for h in replies], ["error", "end"])
        self.assertIn("Unable to load the whisper model small", replies[0]["message"])

    def test_cancel_abandons_a_long_pass(self):
        talk = self.talk()
        client = self.start_server(talk, STANDIN_WHISPER_COST=1.0)
        items = []
        for word in self.SENTENCE:
            items += [word, 0.6]
        client.send({"cmd": "start", "id": 1, "sampleFormat": "int16", "partials": True})
        client.send({"cmd": "audio", "id": 1}, talk.audio(*items))
        self.wait_log("transcribe")
        client.send({"cmd": "cancel", "id": 1})
        began = time.monotonic()
        client.send({"cmd": "start", "id": 2, "sampleFormat": "int16", "partials": False})
        client.send({"cmd": "audio", "id": 2}, talk.audio("seven"))
        client.send({"cmd": "stop", "id": 2})
        replies = [h for h, _ in client.until(of_type("end", 2), timeout=10)]
        # The 16 s pass stops at its next segment instead of running to its end.
        self.assertLess(time.monotonic() - began, 5.0)
        self.assertEqual(replies[-2:], [{"type": "final", "id": 2, "text": "seven"},
                                        {"type": "end", "id": 2}])
        self.assertEqual(len(self.log_events("transcribed")), 1)

    def test_quit_during_a_long_pass(self):
        talk = self.talk()
        client = self.start_server(talk, STANDIN_WHISPER_COST=5.0)
        client.send({"cmd": "start", "id": 1, "sampleFormat": "int16", "partials": True})
        client.send({"cmd": "audio", "id": 1}, talk.audio("one", 3.0, "two", 3.0))
        self.wait_log("transcribe")
        began = time.monotonic()
        client.send({"cmd": "quit"})
        self.assertEqual(client.wait_exit(2), 0)
        self.assertLess(time.monotonic() - began, 2.0)

    def test_audio_read_while_the_model_loads_is_kept(self):
        talk = self.talk()
        client = self.start_server(talk, STANDIN_WHISPER_LOAD_DELAY=1.5)
        client.send({"cmd": "start", "id": 1, "sampleFormat": "int16", "partials": True})
        # The model starts loading at "start", before any audio or "stop".
        self.wait_log("load")
        self.assertEqual(self.log_events("loaded"), [])
        self.stream(client, 1, self.speech(talk), pace=0.0)
        replies = self.finish(client, 1)
        self.assertEqual(replies[-2]["text"].split(), self.SENTENCE)
        self.assertEqual(len(self.log_events("load")), 1)

    def test_the_model_loads_at_start_and_is_kept(self):
        talk = self.talk()
        client = self.start_server(talk)
        steps = [
            ({}, True), ({"language": "de", "prompt": "Namen"}, False),
            ({"model": "tiny"}, True), ({"model": "tiny"}, False), ({"device": "cpu", "model": "tiny"}, False),
            ({"model": "tiny", "computeType": "float32"}, True),
        ]
        for uid, (settings, loads) in enumerate(steps, start=1):
            with self.subTest(settings=settings):
                before = len(self.log_events("loaded"))
                client.send(dict({"cmd": "start", "id": uid, "sampleFormat": "int16",
                                  "partials": True}, **settings))
                if loads:
                    self.wait_log("loaded", before + 1)
                client.send({"cmd": "audio", "id": uid}, talk.audio("one", 0.6))
                replies = self.finish(client, uid)
                self.assertEqual(replies[-2]["text"], "one")
                self.assertEqual(len(self.log_events("loaded")), before + (1 if loads else 0))


if __name__ == "__main__":
    unittest.main()

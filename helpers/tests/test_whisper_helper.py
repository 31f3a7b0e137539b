"""Tests of whisper_helper.py, run as a child process against stand-in modules."""

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
        self.assertGreater(len(models), 1)
        for model in models:
            self.assertEqual(set(model), {"id", "name", "sizeMib", "multilingual", "default"})
            self.assertIn(model["id"], UPSTREAM_MODELS)
            self.assertTrue(model["name"])
            self.assertIsInstance(model["sizeMib"], int)
            self.assertGreater(model["sizeMib"], 0)
            self.assertIsInstance(model["multilingual"], bool)
            if model["id"].endswith(".en"):
                self.assertFalse(model["multilingual"], model)
        ids = [model["id"] for model in models]
        self.assertEqual(len(ids), len(set(ids)))
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

    def test_download_reports_progress_then_finished(self):
        for style in ("files", "bytes"):
            with self.subTest(progress_style=style):
                self.setUp()
                events, result = self.download(["--model", "tiny"], STANDIN_HF_PROGRESS=style)
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertEqual(events[0], {"type": "start", "model": "tiny"})
                self.assertEqual(events[-1]["type"], "finished")
                self.assertTrue(all(event["model"] == "tiny" for event in events))
                progress = [event for event in events if event["type"] == "progress"]
                self.assertTrue(progress)
                self.assertEqual(len(progress) + 2, len(events))
                percents = [event["percent"] for event in progress]
                self.assertEqual(percents, sorted(percents))
                self.assertTrue(all(0 <= p <= 100 for p in percents))
                self.assertTrue(all(0 <= e["received"] <= e["total"] for e in progress))
                self.assertEqual(progress[-1]["percent"], 100)
                self.assertEqual(progress[-1]["received"], progress[-1]["total"])
                if style == "bytes":
                    # config.json, model.bin, tokenizer.json, vocabulary.txt of the stand-in
                    self.assertEqual(progress[-1]["total"], 17 + 40000 + 14 + 4)
                path = events[-1]["path"]
                for name in ("model.bin", "config.json", "tokenizer.json"):
                    self.assertTrue(os.path.isfile(os.path.join(path, name)), name)
                calls = self.log_events("snapshot_download")
                self.assertEqual(len(calls), 1)
                self.assertEqual(calls[0]["repo_id"], "Systran/faster-whisper-tiny")
                self.assertLessEqual({"config.json", "model.bin", "tokenizer.json", "vocabulary.*"},
                                     set(calls[0]["allow_patterns"]))

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
            ("no huggingface_hub", ["--model", "tiny"],
             {"PYTHONPATH": os.pathsep.join(blockers)}, "tiny", "huggingface_hub"),
        ]
        for name, args, env, model, text in cases:
            with self.subTest(name):
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
        make_cached_repo(self.cache, "Systran/faster-whisper-small", MODEL_FILES)
        make_cached_repo(self.cache, "Systran/faster-whisper-large-v3", MODEL_FILES)
        incomplete = dict(MODEL_FILES)
        del incomplete["model.bin"]
        make_cached_repo(self.cache, "Systran/faster-whisper-tiny", incomplete)
        blobless = dict(MODEL_FILES)
        del blobless["model.bin"]
        make_cached_repo(self.cache, "Systran/faster-whisper-base", blobless, dangling=["model.bin"])
        make_cached_repo(self.cache, "someone/faster-whisper-medium", MODEL_FILES)

        events, result = self.download(["--all"])
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertTrue(all(event["type"] == "cached" for event in events), events)
        # "large" is the name faster-whisper gives large-v3 as well.
        self.assertEqual(sorted(event["model"] for event in events), ["large", "large-v3", "small"])
        for event in events:
            self.assertTrue(os.path.isfile(os.path.join(event["path"], "model.bin")))
        self.assertEqual(self.log_events("snapshot_download"), [])
        self.assertEqual(self.log_events("hf_hub_download"), [])

    def test_all_with_nothing_on_disk(self):
        events, result = self.download(["--all"])
        self.assertEqual(result.returncode, 0)
        self.assertEqual(events, [])


if __name__ == "__main__":
    unittest.main()

"""Tests of whisper_helper.py's one-shot modes, run as a child process against stand-in
modules. Serve has its own, in test_whisper_serve.py."""

import hashlib
import importlib.util
import json
import os
import subprocess
import time
import unittest

from harness import PYTHON, WHISPER, HelperTestCase, make_cached_repo

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

    def test_a_failure_is_one_readable_line_unless_debugging(self):
        for debug in ("", "1"):
            with self.subTest(debug=debug):
                self.setUp()
                events, result = self.download(["--model", "tiny"], EARLOBE_LARYNX_DEBUG=debug,
                                               STANDIN_HF_FAIL="Connection refused\nretry later")
                self.assertNotEqual(result.returncode, 0)
                lines = result.stderr.decode().splitlines()
                failure = [line for line in lines if "Connection refused" in line]
                self.assertEqual(failure[:1], ["whisper_helper: download of Systran/faster-whisper-tiny"
                                               " failed: OSError: Connection refused retry later"],
                                 lines)
                self.assertEqual("Traceback" in result.stderr.decode(), debug == "1", lines)

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


if __name__ == "__main__":
    unittest.main()

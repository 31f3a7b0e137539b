"""Tests of whisper_helper.py's self-test, run as a child process against stand-in modules:
what it times, the verdict it draws from the stand-in's costs, and how it reports a
model, a module or a device that does not work."""

import os
import unittest

from harness import WHISPER, HelperTestCase, TimedRun, make_cached_repo

BLOCK = 'raise ImportError("blocked by the test")'
MODEL_FILES = {
    "config.json": b"{}",
    "model.bin": b"weights",
    "tokenizer.json": b"{}",
    "vocabulary.txt": b"a\n",
}
WINDOW = 30 * 16000
# serve's warm-up: a quarter second of zeros, in English, beam 1.
WARM_UP_SAMPLES = 4000
SELFTEST_PROBLEMS = {"notDownloaded", "notInstalled", "failed"}


class SelfTestCase(HelperTestCase):
    def setUp(self):
        super().setUp()
        for repo in ("Systran/faster-whisper-small", "Systran/faster-whisper-tiny.en"):
            make_cached_repo(self.cache, repo, MODEL_FILES)

    def start(self, args, pythonpath=None, **env):
        return TimedRun(WHISPER, ["selftest"] + list(args), self.environment(pythonpath, **env))

    def finish(self, run, expected_code=0, timeout=30):
        """Stage lines and the result line of a finished run, checked for their shape."""
        code = run.finish(timeout)
        stderr = run.stderr.decode("utf-8", "replace")
        objects = self.json_lines(run.stdout())
        self.assertGreaterEqual(len(objects), 1, stderr)
        *stages, result = objects
        self.assertEqual(code, expected_code, stderr)
        self.assertTrue(all(s["type"] == "stage" for s in stages), objects)
        self.assertEqual(result["type"], "result", objects)
        self.assertIs(result["ok"], code == 0)
        if not result["ok"]:
            self.assertIn(result["problem"], SELFTEST_PROBLEMS)
            self.assertEqual(len(result["error"].splitlines()), 1, result)
            self.assertEqual("missing" in result, result["problem"] == "notInstalled", result)
        return stages, result

    def selftest(self, args=(), expected_code=0, pythonpath=None, **env):
        run = self.start(args, pythonpath, **env)
        stages, result = self.finish(run, expected_code)
        return stages, result, run

    def loads(self):
        return [(e["device"], e["compute_type"], e["pid"]) for e in self.log_events("load")]

    def timed_passes(self):
        return [e for e in self.log_events("transcribe") if e["samples"] != WARM_UP_SAMPLES]


class VerdictTest(SelfTestCase):
    def test_verdict_follows_the_time_of_one_pass(self):
        # (encoder cost, verdict): up to 1.5 s live, up to 5 s final, slower slow.
        cases = [(0.0, "live"), (1.6, "final"), (5.05, "slow")]
        # The passes are sleeps: run side by side, they cost the slowest one.
        runs = [(encode, verdict, self.start([], STANDIN_WHISPER_ENCODE=encode))
                for encode, verdict in cases]
        for encode, verdict, run in runs:
            with self.subTest(encode=encode):
                stages, result = self.finish(run)
                self.assertEqual([s["stage"] for s in stages], ["load", "time"])
                self.assertEqual(result["verdict"], verdict, result)
                self.assertEqual((result["model"], result["device"], result["computeType"]),
                                 ("small", "cpu", "int8"))
                self.assertGreaterEqual(result["passSeconds"], encode)
                # The warm-up's encode comes before the clock starts.
                self.assertLess(result["passSeconds"], encode + 0.5)
                self.assertNotIn("fallbackReason", result)

    def test_the_timed_pass_is_one_preview_pass_over_a_full_window(self):
        stages, result, run = self.selftest(STANDIN_WHISPER_ENCODE=0.3, STANDIN_STDOUT=1)
        # One encoder window, not the warm-up's as well nor a second window.
        self.assertGreaterEqual(result["passSeconds"], 0.3)
        self.assertLess(result["passSeconds"], 0.55)
        calls = self.log_events("transcribe")
        self.assertEqual([c["samples"] for c in calls], [WARM_UP_SAMPLES, WINDOW])
        timed = calls[1]
        self.assertEqual((timed["beam_size"], timed["temperature"], timed["without_timestamps"],
                          timed["vad_filter"], timed["condition_on_previous_text"],
                          timed["dtype"], timed["ndim"]),
                         (1, 0.0, False, False, False, "float32", 1))
        # Quiet noise, not silence, which a real model skips through cheaply.
        self.assertTrue(any(timed["head"]), timed)
        self.assertTrue(all(abs(x) < 0.1 for x in timed["head"]), timed)
        transcribed = self.log_events("transcribed")[-1]
        self.assertEqual((transcribed["samples"], transcribed["windows"]), (WINDOW, 1))
        # The stage line said what was being timed before the timing began.
        time_line = run.arrival(lambda o: o.get("stage") == "time")
        result_line = run.arrival(lambda o: o.get("type") == "result")
        self.assertGreaterEqual(result_line - time_line, 0.25)
        self.assertEqual(stages[1], {"type": "stage", "stage": "time", "device": "cpu",
                                     "computeType": "int8"})

    def test_language_of_the_timed_pass(self):
        cases = [
            # (options, language of the pass)
            ([], "en"),
            (["--language", ""], "en"),
            (["--language", "auto"], "en"),
            (["--language", "de_DE"], "de"),
            (["--language", "klingon"], "en"),
            (["--model", "tiny.en", "--language", "fr"], "en"),
        ]
        for index, (options, language) in enumerate(cases):
            with self.subTest(options=options):
                self.log_path = os.path.join(self.tmp, "standin-%d.log" % index)
                self.selftest(options)
                self.assertEqual([c["language"] for c in self.timed_passes()], [language])
                # A detection pass would double the figure.
                self.assertEqual(self.log_events("detect"), [])

    def test_empty_options_mean_the_defaults(self):
        _stages, result, _run = self.selftest(["--model", "", "--device", "", "--compute-type",
                                               ""])
        self.assertEqual((result["model"], result["device"], result["computeType"]),
                         ("small", "cpu", "int8"))


class DeviceTest(SelfTestCase):
    def test_a_device_that_fails_falls_back_to_the_cpu_with_int8(self):
        cases = [
            # (name, options, GPU, device tried, reason must contain)
            ("gpu without cudnn", ["--device", "cuda", "--compute-type", "float16"], "broken",
             "cuda", ["SIGABRT", "libcudnn_ops.so.9"]),
            ("auto on a gpu without cudnn", ["--device", "auto", "--compute-type", "float16"],
             "broken", "cuda", ["SIGABRT", "libcudnn_ops.so.9"]),
            ("no gpu at all", ["--device", "cuda", "--compute-type", "float16"], "none", "cuda",
             ["no CUDA-capable device"]),
            ("half precision on the cpu", ["--device", "cpu", "--compute-type", "float16"],
             "none", "cpu", ["ValueError", "float16"]),
        ]
        for index, (name, options, gpu, device, reason_parts) in enumerate(cases):
            with self.subTest(name):
                self.log_path = os.path.join(self.tmp, "standin-%d.log" % index)
                stages, result, run = self.selftest(options, STANDIN_WHISPER_GPU=gpu,
                                                    STANDIN_STDOUT=1)
                reason = result["fallbackReason"]
                for part in reason_parts:
                    self.assertIn(part, reason)
                self.assertEqual(len(reason.splitlines()), 1)
                self.assertEqual(stages, [
                    {"type": "stage", "stage": "load", "model": "small", "device": device,
                     "computeType": "float16"},
                    {"type": "stage", "stage": "fallback", "device": "cpu", "computeType": "int8",
                     "reason": reason},
                    {"type": "stage", "stage": "time", "device": "cpu", "computeType": "int8"},
                ])
                self.assertEqual({key: result[key] for key in ("ok", "device", "computeType",
                                                               "requestedDevice",
                                                               "requestedComputeType")},
                                 {"ok": True, "device": "cpu", "computeType": "int8",
                                  "requestedDevice": device, "requestedComputeType": "float16"})
                # The device other than the CPU was tried in a child; the helper survived to
                # time the CPU itself.
                loads = self.loads()
                self.assertEqual(loads[-1], ("cpu", "int8", run.pid))
                if device != "cpu":
                    self.assertEqual([(d, c) for d, c, pid in loads[:-1]], [(device, "float16")])
                    self.assertNotEqual(loads[0][2], run.pid)
                self.assertEqual(self.timed_passes()[-1]["device"], "cpu")

    def test_auto_without_a_gpu_is_the_cpu_without_a_child(self):
        stages, result, run = self.selftest(["--device", "auto"])
        self.assertEqual(stages[0]["device"], "cpu")
        self.assertEqual([s["stage"] for s in stages], ["load", "time"])
        self.assertEqual((result["device"], result["computeType"]), ("cpu", "int8"))
        self.assertFalse({"requestedDevice", "requestedComputeType", "fallbackReason"}
                         & set(result))
        self.assertEqual(self.loads(), [("cpu", "int8", run.pid)])

    def test_a_working_gpu_is_timed_in_a_child_whose_progress_comes_at_once(self):
        run = self.start(["--device", "cuda", "--compute-type", "float16"],
                         STANDIN_WHISPER_GPU="ok", STANDIN_WHISPER_ENCODE=0.8, STANDIN_STDOUT=1)
        stages, result = self.finish(run)
        self.assertEqual(stages, [
            {"type": "stage", "stage": "load", "model": "small", "device": "cuda",
             "computeType": "float16"},
            {"type": "stage", "stage": "time", "device": "cuda", "computeType": "float16"},
        ])
        self.assertEqual((result["device"], result["computeType"], result["verdict"]),
                         ("cuda", "float16", "live"))
        self.assertGreaterEqual(result["passSeconds"], 0.8)
        loads = self.loads()
        self.assertEqual([(d, c) for d, c, _ in loads], [("cuda", "float16")])
        self.assertNotEqual(loads[0][2], run.pid)
        # The child's stage line is passed on when it comes, not with the result.
        time_line = run.arrival(lambda o: o.get("stage") == "time")
        result_line = run.arrival(lambda o: o.get("type") == "result")
        self.assertGreaterEqual(result_line - time_line, 0.7)


class ProblemTest(SelfTestCase):
    def test_a_model_not_downloaded_is_named_and_not_fetched(self):
        for model in ("tiny", "large-v3"):
            with self.subTest(model=model):
                stages, result, _run = self.selftest(["--model", model], expected_code=1)
                self.assertEqual(stages, [])
                self.assertEqual((result["model"], result["problem"]), (model, "notDownloaded"))
                self.assertIn(model, result["error"])
                self.assertEqual([e["event"] for e in self.log_events()
                                  if e["event"] in ("load", "download", "snapshot_download",
                                                    "hf_hub_download")], [])
                self.assertEqual(sorted(os.listdir(self.cache)),
                                 ["models--Systran--faster-whisper-small",
                                  "models--Systran--faster-whisper-tiny.en"])

    def test_missing_modules_are_named_for_pip(self):
        cases = [({"faster_whisper": BLOCK}, ["faster-whisper"]), ({"numpy": BLOCK}, ["numpy"])]
        for index, (blocked, missing) in enumerate(cases):
            with self.subTest(blocked=sorted(blocked)):
                stages, result, run = self.selftest(
                    [], 1, self.blocked(blocked, "blockers%d" % index))
                self.assertEqual(stages, [])
                self.assertEqual((result["problem"], result["missing"]), ("notInstalled", missing))
                self.assertNotIn(b"Traceback", run.stderr)

    def test_a_load_error_is_one_line_unless_debugging(self):
        for debug in ("0", "1"):
            with self.subTest(debug=debug):
                stages, result, run = self.selftest(
                    [], 1, STANDIN_WHISPER_LOAD_ERROR="model.bin is not a CTranslate2 model",
                    EARLOBE_LARYNX_DEBUG=debug)
                self.assertEqual([s["stage"] for s in stages], ["load"])
                self.assertEqual(result["problem"], "failed")
                self.assertIn("model.bin is not a CTranslate2 model", result["error"])
                self.assertIn("small", result["error"])
                stderr = run.stderr.decode()
                self.assertEqual(len([line for line in stderr.splitlines()
                                      if "not a CTranslate2 model" in line]),
                                 1 if debug == "0" else 2, stderr)
                self.assertEqual("Traceback" in stderr, debug == "1", stderr)

    def test_bad_usage(self):
        for args in (["--model"], ["--speed", "2"], ["small"]):
            with self.subTest(args=args):
                run = self.start(args)
                self.assertEqual(run.finish(), 2)
                self.assertEqual(run.stdout(), b"")
                self.assertIn(b"usage:", run.stderr)


if __name__ == "__main__":
    unittest.main()

"""Tests of kokoro_helper.py's self-test, run as a child process against stand-in modules:
the verdict it draws from the stand-in's synthesis cost, the sentence it times in each
language, and what it reports, without going online, when a voice cannot work."""

import os
import unittest

from harness import KOKORO, HelperTestCase, TimedRun, make_cached_repo
from kokoro_fixtures import REPO, RATE

BLOCK = 'raise ImportError("blocked by the test")'
MODEL_FILES = ("config.json", "kokoro-v1_0.pth")
VOICES = ("af_heart", "bf_emma", "ef_dora", "ff_siwis", "hf_alpha", "if_sara", "jf_alpha",
          "pf_dora", "zf_xiaobei")
# What the Japanese and Mandarin voices need, as the stand-in pip and unidic leave it.
LANGUAGE_PACKAGES = ("misaki[ja]", "unidic/dicdir/mecabrc", "misaki[zh]")
# Anything that would reach for the network, or change the environment.
ONLINE_EVENTS = ("hf_hub_download", "hub_lookup", "spacy_download", "pip", "snapshot_download")
SELFTEST_PROBLEMS = {"notDownloaded", "missingPackages", "notInstalled", "badVoice", "failed"}


class KokoroSelfTestCase(HelperTestCase):
    def setUp(self):
        super().setUp()
        self.site = os.path.join(self.tmp, "site")

    def cache_files(self, files):
        make_cached_repo(self.cache, REPO, {name: b"stand-in " + name.encode() for name in files})

    def install_packages(self, markers=LANGUAGE_PACKAGES):
        for marker in markers:
            path = os.path.join(self.site, marker)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            open(path, "w").close()

    def start(self, args, pythonpath=None, **env):
        env.setdefault("STANDIN_SPACY_INSTALLED", "en_core_web_sm")
        return TimedRun(KOKORO, ["selftest"] + list(args),
                        self.environment(pythonpath, STANDIN_SITE=self.site, **env))

    def finish(self, run, expected_code=0):
        code = run.finish()
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
            self.assertEqual("missing" in result,
                             result["problem"] in ("missingPackages", "notInstalled"), result)
        return stages, result

    def selftest(self, args, expected_code=0, pythonpath=None, **env):
        run = self.start(args, pythonpath, **env)
        stages, result = self.finish(run, expected_code)
        return stages, result, run

    def calls(self, pid):
        return [e for e in self.log_events("call") if e["pid"] == pid]


class VerdictTest(KokoroSelfTestCase):
    def test_verdict_follows_the_real_time_factor(self):
        self.cache_files(MODEL_FILES + ("voices/af_heart.pt",))
        # 10 ms of audio per character; the character cost sets the real-time factor.
        per_char = RATE // 100
        cases = [(0.0, "smooth"), (0.0085, "tight"), (0.015, "slow")]
        runs = [(cost, verdict, self.start(["af_heart"], STANDIN_KOKORO_SAMPLES_PER_CHAR=per_char,
                                           STANDIN_KOKORO_CHAR_COST=cost))
                for cost, verdict in cases]
        for cost, verdict, run in runs:
            with self.subTest(char_cost=cost):
                stages, result = self.finish(run)
                self.assertEqual(stages, [{"type": "stage", "stage": "load", "voice": "af_heart"},
                                          {"type": "stage", "stage": "time", "voice": "af_heart"}])
                self.assertEqual(result["verdict"], verdict, result)
                self.assertEqual((result["voice"], result["device"]), ("af_heart", "cpu"))
                self.assertAlmostEqual(result["realTimeFactor"],
                                       result["synthesisSeconds"] / result["audioSeconds"],
                                       delta=0.005)
                # The figures are those of the test sentence, the call after the warm-up.
                warm_up, timed = self.calls(run.pid)
                self.assertLess(len(warm_up["text"]), len(timed["text"]))
                self.assertAlmostEqual(result["audioSeconds"], len(timed["text"]) / 100, places=2)
                self.assertGreaterEqual(result["synthesisSeconds"], cost * len(timed["text"]))
                # The time stage came when the timing began: after the warm-up (the
                # stand-in's clock is the system's monotonic clock), and at once.
                time_line = run.arrival(lambda o: o.get("stage") == "time")
                warm_up_piece = [e for e in self.log_events("piece") if e["pid"] == run.pid][0]
                self.assertEqual(warm_up_piece["text"], warm_up["text"])
                self.assertGreaterEqual(time_line, warm_up_piece["end"])
                gap = run.arrival(lambda o: o.get("type") == "result") - time_line
                self.assertGreaterEqual(gap, result["synthesisSeconds"] - 0.05)

    def test_every_language_times_a_sentence_of_its_own_offline(self):
        self.cache_files(MODEL_FILES + tuple("voices/%s.pt" % voice for voice in VOICES))
        self.install_packages()
        sentences = {}
        for voice in VOICES:
            with self.subTest(voice=voice):
                stages, result, run = self.selftest([voice], STANDIN_KOKORO_VOICE="bursts",
                                                    STANDIN_STDOUT=1)
                self.assertEqual([s["stage"] for s in stages], ["load", "time"])
                self.assertEqual(result["voice"], voice)
                calls = self.calls(run.pid)
                self.assertEqual([c["lang_code"] for c in calls], [voice[0]] * len(calls))
                # Each call is given the voice's file in the cache, not its name.
                self.assertTrue(all(c["voice"].endswith("/voices/%s.pt" % voice) for c in calls))
                sentences[voice] = "".join(c["text"] for c in calls[1:])
                self.assertGreater(result["audioSeconds"], 1.0, result)
                if voice[0] not in "jz":
                    # A sentence of about five seconds of speech (a burst per word here).
                    self.assertTrue(3.0 <= result["audioSeconds"] <= 8.0, result)
        self.assertEqual(len(set(sentences.values())), len(VOICES), sentences)
        self.assertEqual([e["event"] for e in self.log_events() if e["event"] in ONLINE_EVENTS],
                         [])
        models = self.log_events("KModel")
        self.assertTrue(all(m["config"] and m["model"] for m in models), models)


class ProblemTest(KokoroSelfTestCase):
    def test_what_a_voice_lacks_is_reported_before_anything_loads(self):
        every_file = MODEL_FILES + ("voices/af_heart.pt", "voices/jf_alpha.pt",
                                    "voices/zf_xiaobei.pt")
        cases = [
            # (name, voice, cached files, packages, blocked, spaCy model, problem, missing,
            #  error must contain)
            ("bad form", "Heart", every_file, LANGUAGE_PACKAGES, {}, True, "badVoice", None,
             "Heart"),
            ("no such language", "xf_nobody", every_file, LANGUAGE_PACKAGES, {}, True,
             "badVoice", None, "xf_nobody"),
            ("empty", "", every_file, LANGUAGE_PACKAGES, {}, True, "badVoice", None, "''"),
            ("no kokoro", "af_heart", every_file, (), {"kokoro": BLOCK}, True, "notInstalled",
             ["kokoro"], "kokoro"),
            ("no torch", "af_heart", every_file, (), {"torch": BLOCK}, True, "notInstalled",
             ["torch"], "torch"),
            ("japanese without misaki[ja]", "jf_alpha", every_file, (), {}, True,
             "missingPackages", ["misaki[ja]"], "misaki[ja]"),
            ("japanese without its dictionary", "jf_alpha", every_file, ("misaki[ja]",), {},
             True, "missingPackages", ["misaki[ja]"], "misaki[ja]"),
            ("mandarin without misaki[zh]", "zf_xiaobei", every_file, ("misaki[ja]",), {}, True,
             "missingPackages", ["misaki[zh]"], "misaki[zh]"),
            ("english without the spacy model", "af_heart", every_file, (), {}, False,
             "missingPackages", ["en_core_web_sm"], "en_core_web_sm"),
            ("voice not in the cache", "af_nicole", every_file, (), {}, True, "notDownloaded",
             None, "voices/af_nicole.pt"),
            ("model not in the cache", "af_heart", ("config.json", "voices/af_heart.pt"), (), {},
             True, "notDownloaded", None, "kokoro-v1_0.pth"),
            ("a link to a lost blob", "af_heart", every_file, (), {}, True, "notDownloaded",
             None, "voices/af_heart.pt"),
        ]
        for index, (name, voice, files, packages, blocked, spacy_model, problem, missing,
                    needle) in enumerate(cases):
            with self.subTest(name):
                self.setUp()
                if name == "a link to a lost blob":
                    make_cached_repo(self.cache, REPO, {f: f.encode() for f in MODEL_FILES},
                                     dangling=("voices/af_heart.pt",))
                else:
                    self.cache_files(files)
                self.install_packages(packages)
                pythonpath = self.blocked(blocked) if blocked else None
                stages, result, run = self.selftest(
                    [voice], 1, pythonpath,
                    STANDIN_SPACY_INSTALLED="en_core_web_sm" if spacy_model else "")
                self.assertEqual(stages, [])
                self.assertEqual((result["voice"], result["problem"], result.get("missing")),
                                 (voice, problem, missing))
                self.assertIn(needle, result["error"])
                self.assertEqual([e["event"] for e in self.log_events()
                                  if e["event"] in ONLINE_EVENTS + ("KModel", "KPipeline")], [])
                self.assertNotIn(b"Traceback", run.stderr)

    def test_a_load_error_is_one_line_unless_debugging(self):
        self.cache_files(MODEL_FILES + ("voices/ef_dora.pt",))
        for debug in ("0", "1"):
            with self.subTest(debug=debug):
                stages, result, run = self.selftest(
                    ["ef_dora"], 1, STANDIN_KOKORO_LOAD_ERROR="kokoro-v1_0.pth is truncated",
                    EARLOBE_LARYNX_DEBUG=debug)
                self.assertEqual([s["stage"] for s in stages], ["load"])
                self.assertEqual(result["problem"], "failed")
                self.assertIn("kokoro-v1_0.pth is truncated", result["error"])
                stderr = run.stderr.decode()
                self.assertEqual(len([line for line in stderr.splitlines()
                                      if "is truncated" in line]), 1 if debug == "0" else 2,
                                 stderr)
                self.assertEqual("Traceback" in stderr, debug == "1", stderr)

    def test_bad_usage(self):
        for args in ([], ["af_heart", "bf_emma"]):
            with self.subTest(args=args):
                run = self.start(args)
                self.assertEqual(run.finish(), 2)
                self.assertEqual(run.stdout(), b"")
                self.assertIn(b"usage:", run.stderr)


if __name__ == "__main__":
    unittest.main()

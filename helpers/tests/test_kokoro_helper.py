"""Tests of kokoro_helper.py, run as a child process against stand-in modules."""

import glob
import json
import os
import struct
import subprocess
import time
import unittest

from harness import KOKORO, PYTHON, HelperTestCase, make_cached_repo, of_type
from kokoro_fixtures import REPO, KokoroServeCase, without_marks

BLOCK = 'raise ImportError("blocked by the test")'

# The stand-in's default piece of audio, 0.5,-0.5,1.5,-1.5,0.25, as int16:
# scaled by 32767, clipped, little-endian.
PIECE_INT16 = struct.pack("<5h", 16383, -16383, 32767, -32768, 8191)
PIECE_FLOAT = struct.pack("<5f", 0.5, -0.5, 1.5, -1.5, 0.25)


class CheckTest(HelperTestCase):
    def fake_path(self, with_espeak):
        folder = os.path.join(self.tmp, "bin-%s" % with_espeak)
        os.makedirs(folder, exist_ok=True)
        program = os.path.join(folder, "espeak-ng")
        if with_espeak and not os.path.exists(program):
            with open(program, "w") as out:
                out.write("#!/bin/sh\nexit 0\n")
            os.chmod(program, 0o755)
        return folder, program

    def test_check_output(self):
        cases = [
            ("complete", {}, True, {"available": True, "missing": []}),
            ("no espeak-ng", {}, False, {"available": False, "missing": []}),
            ("no kokoro", {"kokoro": BLOCK}, True, {"available": False, "missing": ["kokoro"]}),
            ("torch broken", {"torch": 'raise OSError("libtorch_cpu.so: cannot open")'}, True,
             {"available": False, "missing": ["torch"]}),
            ("nothing", {"kokoro": BLOCK, "torch": BLOCK}, False,
             {"available": False, "missing": ["kokoro", "torch"]}),
        ]
        for index, (name, blocked, with_espeak, expected) in enumerate(cases):
            with self.subTest(name):
                folder, program = self.fake_path(with_espeak)
                env = self.environment(self.blocked(blocked, "blockers%d" % index), PATH=folder,
                                       STANDIN_STDOUT=1)
                result = self.run_oneshot(KOKORO, ["check"], env)
                objects = self.json_lines(result.stdout)
                self.assertEqual(len(objects), 1, result.stdout)
                expected = dict(expected, espeakNg=program if with_espeak else "")
                self.assertEqual(objects[0], expected)
                self.assertNotIn(b"Traceback", result.stderr)


    def test_cached_voices_need_their_language_packages(self):
        cases = [
            # (name, cached voices, installed before, missing)
            ("no such voices", ["af_heart", "ef_dora"], [], []),
            ("japanese, nothing installed", ["jf_alpha"], [], ["misaki[ja]"]),
            ("japanese without its dictionary", ["jm_kumo"], ["misaki[ja]"], ["misaki[ja]"]),
            ("japanese complete", ["jf_alpha"], ["misaki[ja]", "unidic/dicdir/mecabrc"], []),
            ("both languages", ["zf_xiaobei", "jf_alpha", "zm_yunxi"], [], ["misaki[ja]", "misaki[zh]"]),
            ("mandarin complete", ["zf_xiaobei"], ["misaki[zh]"], []),
        ]
        for index, (name, voices, installed, missing) in enumerate(cases):
            with self.subTest(name):
                self.setUp()
                make_cached_repo(self.cache, REPO, {"voices/%s.pt" % v: v.encode() for v in voices})
                site = os.path.join(self.tmp, "site")
                for marker in installed:
                    os.makedirs(os.path.dirname(os.path.join(site, marker)), exist_ok=True)
                    open(os.path.join(site, marker), "w").close()
                folder, program = self.fake_path(True)
                env = self.environment(PATH=folder, STANDIN_SITE=site)
                result = self.run_oneshot(KOKORO, ["check"], env)
                objects = self.json_lines(result.stdout)
                self.assertEqual(objects, [{"available": not missing, "missing": missing,
                                            "espeakNg": program}], result.stderr)


class DownloadTest(HelperTestCase):
    def download(self, args, **env):
        result = self.run_oneshot(KOKORO, ["download", "--json"] + args, self.environment(**env))
        return self.json_lines(result.stdout), result

    def assert_steps(self, events, steps):
        """`steps` lists (file, outcome) in order; each file is announced with
        "downloading" and then reported with "progress" or "error"."""
        total = len(steps)
        expected = []
        for index, (name, outcome) in enumerate(steps, start=1):
            expected.append(("downloading", name))
            expected.append((outcome, name))
        self.assertEqual([(e["type"], e.get("file")) for e in events[:-1]], expected)
        reports = events[1:-1:2]
        self.assertEqual([(e["index"], e["total"]) for e in reports],
                         [(index, total) for index in range(1, total + 1)])
        self.assertEqual(events[-1]["type"], "finished")

    def test_model_and_voices(self):
        cases = [
            (["model", "af_heart", "bf_emma"],
             ["config.json", "kokoro-v1_0.pth", "voices/af_heart.pt", "voices/bf_emma.pt"], True),
            (["ef_dora", "jf_alpha"], ["voices/ef_dora.pt", "voices/jf_alpha.pt"], False),
        ]
        for args, files, english in cases:
            with self.subTest(args=args):
                self.setUp()
                events, result = self.download(args, STANDIN_STDOUT=1)
                self.assertEqual(result.returncode, 0, result.stderr)
                names = files + (["en_core_web_sm"] if english else [])
                if "jf_alpha" in args:
                    names = ["misaki[ja]", "unidic dictionary"] + names
                self.assert_steps(events, [(name, "progress") for name in names])
                calls = self.log_events("hf_hub_download")
                self.assertEqual([(c["repo_id"], c["filename"]) for c in calls],
                                 [(REPO, name) for name in files])
                snapshots = os.path.join(self.cache, "models--hexgrad--Kokoro-82M", "snapshots")
                for name in files:
                    self.assertTrue(glob.glob(os.path.join(glob.escape(snapshots), "*", name)), name)
                # American and British voices share the one spaCy model.
                self.assertEqual([e["model"] for e in self.log_events("spacy_download")],
                                 ["en_core_web_sm"] if english else [])

    def test_language_packages_are_installed_before_their_voices(self):
        ja_steps = [("misaki[ja]", "progress"), ("unidic dictionary", "progress")]
        cases = [
            # (name, voices, installed before, environment, steps, pip runs, unidic runs)
            ("japanese", ["jf_alpha"], [], {}, ja_steps + [("voices/jf_alpha.pt", "progress")],
             [["install", "misaki[ja]"]], [["download"]]),
            ("mandarin", ["zf_xiaobei", "zm_yunxi"], [], {},
             [("misaki[zh]", "progress"), ("voices/zf_xiaobei.pt", "progress"),
              ("voices/zm_yunxi.pt", "progress")], [["install", "misaki[zh]"]], []),
            ("japanese installed", ["jf_alpha"], ["misaki[ja]", "unidic/dicdir/mecabrc"], {},
             [("voices/jf_alpha.pt", "progress")], [], []),
            ("only the dictionary missing", ["jf_alpha"], ["misaki[ja]"], {},
             [("unidic dictionary", "progress"), ("voices/jf_alpha.pt", "progress")], [], [["download"]]),
            ("pip fails", ["jf_alpha"], [],
             {"STANDIN_PIP_FAIL": "ERROR: No matching distribution found for misaki[ja]"},
             [("misaki[ja]", "error"), ("unidic dictionary", "error"), ("voices/jf_alpha.pt", "progress")],
             [["install", "misaki[ja]"]], []),
            ("dictionary download fails", ["jf_alpha"], [], {"STANDIN_UNIDIC_FAIL": "HTTP Error 503"},
             [("misaki[ja]", "progress"), ("unidic dictionary", "error"), ("voices/jf_alpha.pt", "progress")],
             [["install", "misaki[ja]"]], [["download"]]),
            ("english needs nothing more", ["af_heart"], [], {},
             [("voices/af_heart.pt", "progress"), ("en_core_web_sm", "progress")], [], []),
        ]
        for name, voices, installed, env, steps, pip_runs, unidic_runs in cases:
            with self.subTest(name):
                self.setUp()
                site = os.path.join(self.tmp, "site")
                for marker in installed:
                    os.makedirs(os.path.dirname(os.path.join(site, marker)), exist_ok=True)
                    open(os.path.join(site, marker), "w").close()
                events, result = self.download(voices, STANDIN_SITE=site, **env)
                self.assert_steps(events, steps)
                self.assertEqual([e["args"] for e in self.log_events("pip")], pip_runs)
                self.assertEqual([e["args"] for e in self.log_events("unidic")], unidic_runs)
                errors = [e for e in events if e["type"] == "error"]
                self.assertEqual(result.returncode, 1 if errors else 0, result.stderr)
                if errors:
                    # The last line of what failed is the reason the user reads.
                    self.assertIn(list(env.values())[0], errors[0]["message"])
                    self.assertNotIn(b"Traceback", result.stderr)
                else:
                    # Now the check finds nothing missing for these voices.
                    check = self.run_oneshot(KOKORO, ["check"], self.environment(STANDIN_SITE=site))
                    self.assertEqual(self.json_lines(check.stdout)[0]["missing"], [], check.stderr)

    def test_english_voices_prepare_the_spacy_model(self):
        cases = [
            ("missing", None, {}, "progress", ["en_core_web_sm"], []),
            ("already installed", None, {"STANDIN_SPACY_INSTALLED": "en_core_web_sm"},
             "progress", [], []),
            ("download fails", None, {"STANDIN_SPACY_FAIL": "no network"}, "error",
             ["en_core_web_sm"], []),
            # Without spaCy a pipeline is built, which fetches what it needs itself.
            ("no spaCy", {"spacy": BLOCK}, {}, "progress", [], [("a", REPO, False)]),
        ]
        for name, blocked, env, outcome, downloads, pipelines in cases:
            with self.subTest(name):
                self.setUp()
                if blocked:
                    env = dict(env, PYTHONPATH=os.pathsep.join(self.blocked(blocked)))
                events, result = self.download(["af_heart"], **env)
                self.assert_steps(events, [("voices/af_heart.pt", "progress"),
                                           ("en_core_web_sm", outcome)])
                self.assertEqual([e["model"] for e in self.log_events("spacy_download")], downloads)
                built = [(b["lang_code"], b["repo_id"], b["model"])
                         for b in self.log_events("KPipeline")]
                self.assertEqual(built, pipelines)
                if outcome == "error":
                    self.assertNotEqual(result.returncode, 0)
                    self.assertIn("en_core_web_sm", events[-2]["message"])
                    self.assertIn(b"Server error", result.stderr)
                else:
                    self.assertEqual(result.returncode, 0, result.stderr)

    def test_first_say_after_a_download_needs_no_network(self):
        events, result = self.download(["af_heart"])
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(len(self.log_events("spacy_download")), 1)
        client = self.serve(KOKORO, self.environment())
        client.send(KokoroServeCase.say(1))
        client.until(of_type("end", 1))
        self.assertEqual(len(self.log_events("spacy_download")), 1, "the first say installed spaCy")
        self.assertEqual(len(self.log_events("KPipeline")), 1)

    def test_failures_are_reported_and_the_rest_continues(self):
        events, result = self.download(["af_nosuch", "../../../etc/passwd", "bf_emma"],
                                       STANDIN_HF_MISSING="voices/af_nosuch.pt")
        self.assertNotEqual(result.returncode, 0)
        self.assert_steps(events, [("voices/af_nosuch.pt", "error"), ("../../../etc/passwd", "error"),
                                   ("voices/bf_emma.pt", "progress"), ("en_core_web_sm", "progress")])
        self.assertEqual(len(self.log_events("spacy_download")), 1)
        errors = [e for e in events if e["type"] == "error"]
        self.assertIn("404", errors[0]["message"])
        self.assertIn("voice", errors[1]["message"])
        self.assertIn(b"voices/af_nosuch.pt", result.stderr)
        fetched = [c["filename"] for c in self.log_events("hf_hub_download")]
        self.assertEqual(fetched, ["voices/af_nosuch.pt", "voices/bf_emma.pt"])

    def test_a_failure_is_one_readable_line_unless_debugging(self):
        for debug in ("", "1"):
            with self.subTest(debug=debug):
                self.setUp()
                events, result = self.download(["ef_dora"], EARLOBE_LARYNX_DEBUG=debug,
                                               STANDIN_HF_MISSING="voices/ef_dora.pt")
                self.assertNotEqual(result.returncode, 0)
                self.assert_steps(events, [("voices/ef_dora.pt", "error")])
                lines = result.stderr.decode().splitlines()
                failure = [line for line in lines if line.startswith("kokoro_helper: unable to download")]
                self.assertEqual(len(failure), 1, lines)
                self.assertIn("404", failure[0])
                self.assertEqual("Traceback" in result.stderr.decode(), debug == "1", lines)

    def test_missing_hub_fails_every_file(self):
        env = {"PYTHONPATH": os.pathsep.join(self.blocked({"huggingface_hub": BLOCK}))}
        events, result = self.download(["model"], **env)
        self.assertNotEqual(result.returncode, 0)
        self.assert_steps(events, [("config.json", "error"), ("kokoro-v1_0.pth", "error")])
        self.assertIn("huggingface_hub", events[1]["message"])

    def test_events_are_flushed_as_they_happen(self):
        read_end, write_end = os.pipe()
        self.addCleanup(os.close, write_end)
        proc = subprocess.Popen([PYTHON, KOKORO, "download", "--json", "af_heart"], stdin=read_end,
                                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                env=self.environment(STANDIN_HF_DELAY=3))
        os.close(read_end)
        self.addCleanup(proc.wait)
        self.addCleanup(proc.stdout.close)
        self.addCleanup(proc.kill)
        began = time.monotonic()
        line = proc.stdout.readline()
        self.assertLess(time.monotonic() - began, 2.5, "the first event waited for the download")
        self.assertEqual(json.loads(line)["type"], "downloading")


class ServeTest(KokoroServeCase):
    def test_say_gives_format_chunks_and_end(self):
        text = '  He said "\u00e7a va?" \\ \u65e5\u672c\nSecond line.\n'
        for sample_format, piece in (("int16", PIECE_INT16), ("float", PIECE_FLOAT)):
            with self.subTest(sample_format=sample_format):
                self.setUp()
                client = self.start_server()
                frames = self.request(client, 1, text=text, speed=1.25, sample_format=sample_format)
                headers = [header for header, _ in frames]
                self.assertEqual(headers[0], {"type": "format", "id": 1, "sampleRate": 24000,
                                              "channels": 1, "sampleFormat": sample_format})
                self.assertEqual(headers[-1], {"type": "end", "id": 1})
                chunks = without_marks(frames[1:-1])
                self.assertTrue(chunks)
                for header, payload in chunks:
                    self.assertEqual(header, {"type": "chunk", "id": 1, "size": len(payload)})
                # Three sentences, one piece of audio each.
                self.assertEqual(b"".join(payload for _, payload in chunks), piece * 3)
                calls = self.log_events("call")
                self.assertEqual([c["text"] for c in calls],
                                 ['He said "\u00e7a va?"', "\\ \u65e5\u672c", "Second line."])
                for call in calls:
                    self.assertEqual((call["voice"], call["speed"], call["lang_code"]),
                                     ("af_heart", 1.25, "a"))

    def test_text_is_split_into_sentences(self):
        cases = [
            ("one sentence", "Hello there", ["Hello there"]),
            ("marks and quotes", 'Is it? Yes! He said "Stop." Then left... Fine\u2026 ok',
             ["Is it?", "Yes!", 'He said "Stop."', "Then left...", "Fine\u2026", "ok"]),
            ("lines", "First line\r\n\n  second line  \nthird.", ["First line", "second line", "third."]),
            ("abbreviations and initials", "Mr. Smith met Dr. J. R. R. Tolkien, e.g. at home. It was I. Bye.",
             ["Mr. Smith met Dr. J. R. R. Tolkien, e.g. at home.", "It was I.", "Bye."]),
            ("numbers and addresses", "Pi is 3.14 or so. See example.com now.",
             ["Pi is 3.14 or so.", "See example.com now."]),
            ("full-width marks", "\u4eca\u65e5\u306f\u3002\u300c\u306f\u3044\u3002\u300d\u6b21\uff01\u6700\u5f8c",
             ["\u4eca\u65e5\u306f\u3002", "\u300c\u306f\u3044\u3002\u300d", "\u6b21\uff01", "\u6700\u5f8c"]),
            ("only white space", " \n\t ", []),
        ]
        client = self.start_server()
        for rid, (name, text, sentences) in enumerate(cases, start=1):
            with self.subTest(name):
                before = len(self.log_events("call"))
                frames = self.request(client, rid, text=text)
                self.assertEqual(frames[-1][0], {"type": "end", "id": rid})
                calls = [c["text"] for c in self.log_events("call")[before:]]
                self.assertEqual(calls, sentences)
                # Nothing of the text is lost or repeated.
                self.assertEqual("".join(calls).replace(" ", ""), "".join(text.split()))

    def test_first_audio_comes_after_the_first_sentence(self):
        first = "This is the first sentence."
        rest = " ".join("Sentence number %d goes on for a while longer here." % n for n in range(14))
        # The second sentence takes about a second: the order below holds on a busy machine.
        client = self.start_server(STANDIN_KOKORO_CHAR_COST=0.02, STANDIN_KOKORO_SAMPLES_PER_CHAR=100)
        client.send(self.say(1, text=first + " " + rest))
        self.assertEqual(client.next()[0]["type"], "format")
        client.until(of_type("chunk"), timeout=10)
        arrived = time.monotonic()
        client.until(of_type("chunk"), timeout=10)
        client.send({"cmd": "cancel", "id": 1})
        # Each of the two sentences fits in one chunk, so both are in the log by now.
        pieces = self.log_events("piece")
        self.assertEqual(pieces[0]["text"], first)
        # Sent as soon as the first sentence was done, before the second one was.
        self.assertLess(arrived, pieces[1]["end"], "the first chunk waited for the second sentence")

    def test_chunks_stay_within_a_quarter_second(self):
        for sample_format, piece, width in (("int16", PIECE_INT16, 2), ("float", PIECE_FLOAT, 4)):
            with self.subTest(sample_format=sample_format):
                self.setUp()
                client = self.start_server(STANDIN_KOKORO_REPEAT=20000)
                frames = self.request(client, 4, text="One long sentence.",
                                      sample_format=sample_format)
                chunks = [payload for header, payload in frames if header["type"] == "chunk"]
                self.assertGreater(len(chunks), 1)
                self.assertTrue(all(len(chunk) <= 6000 * width for chunk in chunks),
                                [len(chunk) for chunk in chunks])
                self.assertTrue(all(len(chunk) % width == 0 for chunk in chunks))
                self.assertEqual(b"".join(chunks), piece * 20000)

    def test_model_loads_once_and_pipelines_are_kept_per_language(self):
        client = self.start_server()
        for rid, voice in enumerate(["af_heart", "bf_emma", "af_bella", "bf_emma"], start=1):
            frames = self.request(client, rid, voice=voice, text="One. Two.")
            self.assertEqual(frames[-1][0]["type"], "end", frames)
        self.assertEqual([e["repo_id"] for e in self.log_events("KModel")], [REPO])
        built = [(e["lang_code"], e["repo_id"], e["model"]) for e in self.log_events("KPipeline")]
        self.assertEqual(built, [("a", REPO, "KModel"), ("b", REPO, "KModel")])
        self.assertEqual([c["lang_code"] for c in self.log_events("call")],
                         ["a", "a", "b", "b", "a", "a", "b", "b"])
        self.assertNotIn("Defaulting repo_id", client.stderr_text())

    def test_downloaded_voice_is_used_from_the_cache(self):
        folder = make_cached_repo(self.cache, REPO, {"voices/af_heart.pt": b"voice"})
        client = self.start_server()
        self.request(client, 1)
        self.assertEqual(self.log_events("call")[0]["voice"],
                         os.path.join(folder, "voices", "af_heart.pt"))

    def test_cached_model_files_spare_the_hub_look_up(self):
        weights = {"config.json": b"{}", "kokoro-v1_0.pth": b"weights"}
        cases = [
            ("both cached", weights, (), True),
            ("nothing cached", {}, (), False),
            ("weights link dangling", {"config.json": b"{}"}, ("kokoro-v1_0.pth",), False),
            ("only the config", {"config.json": b"{}"}, (), False),
        ]
        for name, files, dangling, passed in cases:
            with self.subTest(name):
                self.setUp()
                folder = make_cached_repo(self.cache, REPO, dict(files, **{"voices/af_heart.pt": b"v"}),
                                          dangling)
                client = self.start_server()
                self.assertEqual(self.request(client, 1)[-1][0], {"type": "end", "id": 1})
                [model] = self.log_events("KModel")
                lookups = [e["filename"] for e in self.log_events("hub_lookup")]
                if passed:
                    self.assertEqual((model["repo_id"], model["config"], model["model"]),
                                     (REPO, os.path.join(folder, "config.json"),
                                      os.path.join(folder, "kokoro-v1_0.pth")))
                    self.assertEqual(lookups, [])
                else:
                    # A path that is not a file would fail the load: the hub is asked instead.
                    self.assertEqual((model["repo_id"], model["config"], model["model"]),
                                     (REPO, None, None))
                    self.assertEqual(lookups, ["config.json", "kokoro-v1_0.pth"])

    def test_library_output_stays_off_the_protocol(self):
        client = self.start_server(STANDIN_STDOUT=1)
        frames = self.request(client, 1, text="One.\nTwo.")
        self.assertEqual(b"".join(p for h, p in frames if h["type"] == "chunk"), PIECE_INT16 * 2)
        client.send({"cmd": "quit"})
        self.assertEqual(client.wait_exit(2), 0)
        self.assertEqual(client.garbage, [])
        self.assertIn("stand-in", client.stderr_text())

    def test_cancel_stops_synthesis_at_the_next_sentence(self):
        cost = 0.3
        lines = ["Line %d." % n for n in range(20)]
        client = self.start_server(STANDIN_KOKORO_CHUNK_DELAY=cost)
        client.send(self.say(1, text=" ".join(lines)))
        self.assertEqual(client.next()[0]["type"], "format")
        client.until(of_type("chunk", 1))
        # What the engine sends when the user starts another text.
        cancelled = time.monotonic()
        client.send({"cmd": "cancel", "id": 1})
        client.send(self.say(2, text="Next."))
        frames = client.until(of_type("format", 2), timeout=10)
        started = time.monotonic()
        frames += client.until(of_type("end", 2), timeout=10)
        late = [(h["type"], h["id"]) for h, _ in without_marks(frames) if h["id"] == 1]
        # At most the sentence that was being synthesized, and nothing after "format" of 2.
        self.assertLessEqual(len(late), 1, late)
        self.assertTrue(all(kind == "chunk" for kind, _ in late), late)
        self.assertEqual([(h["type"], h["id"]) for h, _ in without_marks(frames) if h["id"] == 2],
                         [("format", 2), ("chunk", 2), ("end", 2)])
        # The new text starts without waiting for the rest of the old one.
        self.assertLess(started - cancelled, cost * (len(lines) - 2) / 2)
        texts = [c["text"] for c in self.log_events("call")]
        self.assertEqual(texts[-1], "Next.")
        old = [c for c in self.log_events("call") if c["text"] in lines]
        self.assertLessEqual(len([c for c in old if c["t"] > cancelled]), 1, old)
        self.assertLessEqual(len(old), 3, old)
        self.assertEqual(client.collect(0.5), [])

    def test_requests_are_answered_in_turn(self):
        client = self.start_server(STANDIN_KOKORO_CHUNK_DELAY=0.2)
        client.send(self.say(1, text="One.\nTwo."))
        client.send(self.say(2, text="Never."))
        client.send({"cmd": "cancel", "id": 2})
        client.send(self.say(3, text="Three. Four."))
        frames = client.until(of_type("end", 3), timeout=10)
        # A say while another is spoken cancels nothing; chunks never interleave.
        self.assertEqual([(h["type"], h["id"]) for h, _ in without_marks(frames)],
                         [("format", 1), ("chunk", 1), ("chunk", 1), ("end", 1),
                          ("format", 3), ("chunk", 3), ("chunk", 3), ("end", 3)])
        self.assertEqual([c["text"] for c in self.log_events("call")],
                         ["One.", "Two.", "Three.", "Four."])

    def test_say_before_the_model_has_loaded_is_queued(self):
        client = self.serve(KOKORO, self.environment(STANDIN_KOKORO_LOAD_DELAY=1.5))
        client.send(self.say(1))
        began = time.monotonic()
        self.assertEqual(client.next(1.0)[0], {"type": "ready"})
        self.assertLess(time.monotonic() - began, 1.0)
        frames = client.until(of_type("end", 1), timeout=5)
        self.assertEqual([h["type"] for h, _ in without_marks(frames)], ["format", "chunk", "end"])

    def test_bad_requests_get_an_error(self):
        client = self.start_server(STANDIN_KOKORO_BAD_VOICES="af_nosuch")
        cases = [
            ("path as voice", "../../x", "voice"),
            ("unknown language", "qf_alpha", "voice"),
            ("voice not upstream", "af_nosuch", "404"),
            ("not a string", 7, "voice"),
        ]
        for rid, (name, voice, text) in enumerate(cases, start=1):
            with self.subTest(name):
                frames = self.request(client, rid, voice=voice)
                self.assertEqual(frames[-1][0]["type"], "error")
                self.assertEqual(frames[-1][0]["id"], rid)
                self.assertIn(text, frames[-1][0]["message"])
                self.assertNotIn("chunk", [h["type"] for h, _ in frames])
        with self.subTest("no integer id"):
            client.send(self.say("seven"))
            header = client.next()[0]
            self.assertEqual(header["type"], "error")
            self.assertNotIn("id", header)
        with self.subTest("still serving"):
            self.assertEqual(self.request(client, 99)[-1][0], {"type": "end", "id": 99})

    def test_unusable_environment_answers_with_errors(self):
        cases = [
            ("model does not load", None, {"STANDIN_KOKORO_LOAD_ERROR": "no weights"}, "no weights"),
            ("kokoro missing", self.blocked({"kokoro": BLOCK}), {}, "kokoro"),
        ]
        for name, pythonpath, env, text in cases:
            with self.subTest(name):
                client = self.start_server(pythonpath, **env)
                for rid in (1, 2):
                    frames = self.request(client, rid)
                    self.assertEqual(frames[-1][0]["type"], "error", frames)
                    self.assertIn(text, frames[-1][0]["message"])

    def test_bad_header_lines_are_skipped(self):
        client = self.start_server()
        client.send_raw(b"not json\n[1]\n\n\xff\n")
        client.send_raw(b'{"cmd":"nonsense","size":-3}\n')
        self.assertEqual(self.request(client, 1)[-1][0], {"type": "end", "id": 1})

    def test_lines_too_deep_or_too_big_are_bad_lines(self):
        cases = [
            ("1000 nested brackets", b"[" * 1000 + b"]" * 1000 + b"\n", "too deeply"),
            ("nested inside a command", b'{"cmd":"say","x":' + b"{\"a\":" * 5000 + b"1"
             + b"}" * 5000 + b"}\n", "too deeply"),
            ("a header line of 8 MiB", b'{"cmd":"say","text":"' + b"x" * (8 << 20) + b'"}\n',
             "too long"),
        ]
        for name, line, reason in cases:
            with self.subTest(name):
                client = self.start_server()
                client.send_raw(line)
                error = client.next()[0]
                self.assertEqual(error["type"], "error")
                self.assertNotIn("id", error)
                self.assertIn(reason, error["message"])
                self.assertEqual(self.request(client, 1)[-1][0], {"type": "end", "id": 1})
                self.assertNotIn("Traceback", client.stderr_text())
                self.assertEqual(client.stderr_text().count(reason), 1, client.stderr_text())

    def test_quit_and_end_of_input_end_the_process(self):
        for how in ("quit", "end of input"):
            for busy in (False, True):
                with self.subTest(how=how, synthesizing=busy):
                    client = self.start_server(STANDIN_KOKORO_CHUNK_DELAY=10 if busy else 0)
                    if busy:
                        client.send(self.say(1, text="Slow."))
                        self.assertEqual(client.next()[0]["type"], "format")
                    began = time.monotonic()
                    if how == "quit":
                        client.send_raw(b'{"cmd": "quit"}\n')
                    else:
                        client.close_stdin()
                    self.assertEqual(client.wait_exit(2), 0)
                    self.assertLess(time.monotonic() - began, 2)


if __name__ == "__main__":
    unittest.main()

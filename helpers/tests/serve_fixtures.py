"""Fixtures of the whisper serve tests: cached models, scripted speech and a
client that runs utterances against the real script and the stand-ins."""

import json
import os
import struct
import time

from harness import WHISPER, HelperTestCase, make_cached_repo, of_type, silence

MODEL_FILES = {
    "config.json": b"{}",
    "model.bin": b"weights",
    "tokenizer.json": b"{}",
    "vocabulary.txt": b"a\n",
}
CACHED_REPOS = ("Systran/faster-whisper-small", "Systran/faster-whisper-tiny",
                "Systran/faster-whisper-tiny.en")
LOUD = 5000


def voice(seconds, value=LOUD):
    """Audio the voice filter hears as speech (the template stand-in transcribes anything)."""
    return struct.pack("<h", value) * int(round(seconds * 16000))


def run(value, seconds):
    """Audio the scripted stand-in hears as the word `value`: one sample value throughout."""
    return struct.pack("<h", value) * int(round(seconds * 16000))


class Talk:
    """A scripted utterance: words the stand-in recognises, with pauses, and what it should say."""

    def __init__(self, folder, vocabulary, gap=0.5, hallucination=" Thank you.", language="en"):
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
            json.dump({"words": self.vocabulary, "gap": gap, "hallucination": hallucination,
                       "language": language}, out)

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

    def sentence(self, words, times=1):
        """The words with a short pause inside phrases and a longer one between them."""
        items = []
        for index, word in enumerate(list(words) * times):
            items += [word, 0.6 if index % 4 == 3 else 0.1]
        return self.audio(*items)


class ServeTestCase(HelperTestCase):
    WORDS = ["one", "two", "three", "four", "five", "six", "seven", "eight", "nine", "ten",
             "eleven", "twelve", "thirteen", "fourteen", "fifteen", "sixteen"]

    def setUp(self):
        super().setUp()
        for repo in CACHED_REPOS:
            make_cached_repo(self.cache, repo, MODEL_FILES)

    def start_server(self, talk=None, prefix=(), **env):
        if talk is not None:
            env["STANDIN_WHISPER_SCRIPT"] = talk.path
        client = self.serve(WHISPER, self.environment(**env), prefix)
        self.assertEqual(client.next()[0], {"type": "ready", "available": True, "missing": []})
        return client

    def talk(self, vocabulary=None, **kwargs):
        vocabulary = vocabulary if vocabulary is not None else {w: {} for w in self.WORDS}
        return Talk(self.tmp, vocabulary, **kwargs)

    def begin(self, client, uid, partials=True, **settings):
        client.send(dict({"cmd": "start", "id": uid, "sampleFormat": "int16",
                          "partials": partials}, **settings))

    def stream(self, client, uid, audio, chunk=0.1, pace=0.0):
        """Send `audio` in chunks of `chunk` seconds, one every `pace` seconds of wall time."""
        step = int(chunk * 32000)
        for offset in range(0, len(audio), step):
            client.send({"cmd": "audio", "id": uid}, audio[offset:offset + step])
            if pace:
                time.sleep(pace)

    def finish(self, client, uid, timeout=20):
        client.send({"cmd": "stop", "id": uid})
        return [h for h, _ in client.until(of_type("end", uid), timeout=timeout)]

    def utterance(self, client, uid, audio, partials=False, **settings):
        """Run one utterance and return its replies up to its "end"."""
        self.begin(client, uid, partials, **settings)
        client.send({"cmd": "audio", "id": uid}, audio)
        return self.finish(client, uid)

    def wait_log(self, event, count=1, timeout=10.0):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            events = self.log_events(event)
            if len(events) >= count:
                return events
            time.sleep(0.02)
        self.fail("the stand-in never logged %d %r events" % (count, event))

    def passes(self, pid=None):
        """The transcribe calls of the serving process, without the warm-up."""
        calls = [e for e in self.log_events("transcribe") if pid is None or e["pid"] == pid]
        return [c for c in calls if not (c["samples"] == 4000 and c["language"] == "en"
                                         and c["beam_size"] == 1 and not any(c["head"]))]

    @staticmethod
    def final_text(replies):
        finals = [h for h in replies if h["type"] == "final"]
        return finals[-1]["text"] if finals else None

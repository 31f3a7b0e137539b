"""Fixtures of the kokoro serve tests: a client of the real script against the
stand-ins, and readers of what it sends back (marks, audio, text spans)."""

import numpy

from harness import KOKORO, HelperTestCase

REPO = "hexgrad/Kokoro-82M"
RATE = 24000


def without_marks(frames):
    return [(header, payload) for header, payload in frames if header["type"] != "mark"]


def marks_of(frames, kind=None):
    return [header for header, _ in frames
            if header["type"] == "mark" and (kind is None or header["kind"] == kind)]


def audio_of(frames):
    """The int16 samples of all chunks, in order."""
    data = b"".join(payload for header, payload in frames if header["type"] == "chunk")
    return numpy.frombuffer(data, dtype="<i2")


def utf16_span(text, start, length):
    """text[start:start + length] counted in UTF-16 units, as a QString counts."""
    units = text.encode("utf-16-le")
    return units[2 * start:2 * (start + length)].decode("utf-16-le")


def onsets(samples):
    """Where each run of sound starts after silence (or at the very beginning)."""
    sound = samples != 0
    starts = numpy.flatnonzero(sound[1:] & ~sound[:-1]) + 1
    return ([0] if sound.size and sound[0] else []) + starts.tolist()


class KokoroServeCase(HelperTestCase):
    def start_server(self, pythonpath=None, **env):
        client = self.serve(KOKORO, self.environment(pythonpath, **env))
        self.assertEqual(client.next()[0], {"type": "ready"})
        return client

    @staticmethod
    def say(rid, text="Hello.", voice="af_heart", speed=1, sample_format="int16", **more):
        """A say command; `more` adds keys such as pitch."""
        return dict({"cmd": "say", "id": rid, "text": text, "voice": voice, "speed": speed,
                     "sampleFormat": sample_format}, **more)

    def request(self, client, rid, timeout=5.0, **say):
        """Send a say and return its replies up to its "end" or "error"."""
        client.send(self.say(rid, **say))
        return client.until(lambda h: h.get("id") == rid and h.get("type") in ("end", "error"),
                            timeout)

    def assert_marks_in_stream_order(self, frames):
        """Each mark comes just before the chunk holding its sample, in order of samples."""
        sent = 0
        last = 0
        for index, (header, payload) in enumerate(frames):
            if header["type"] == "chunk":
                sent += len(payload) // 2
            elif header["type"] == "mark":
                self.assertGreaterEqual(header["sample"], last, header)
                last = header["sample"]
                following = next((p for h, p in frames[index + 1:] if h["type"] == "chunk"), b"")
                self.assertTrue(sent <= header["sample"] < sent + len(following) // 2,
                                (header, sent, len(following) // 2))

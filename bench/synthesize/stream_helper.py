#!/usr/bin/env python3
"""A kokoro helper for benchmarks: answers every "say" with a format, then as many seconds of
24 kHz mono int16 audio as BENCH_SECONDS says (default 600) in 4 KiB chunks, as fast as the
pipe takes them, then the end. Each request's stream is put together before its "format"
frame goes out, so a host that times from the format on measures only its own side."""
import json
import os
import sys

CHUNK = 4096


def frame(header, payload=b""):
    if payload:
        header = dict(header, size=len(payload))
    return json.dumps(header, separators=(",", ":")).encode() + b"\n" + payload


def chunks(seconds):
    pcm = bytes(range(256)) * (int(24000 * 2 * seconds) // 256)
    return [pcm[i:i + CHUNK] for i in range(0, len(pcm), CHUNK)]


def main():
    out = sys.stdout.buffer
    pieces = chunks(float(os.environ.get("BENCH_SECONDS", "600")))
    if len(sys.argv) > 1 and sys.argv[1] == "dump":
        # The same bytes as a reply stream, for the baseline through cat.
        out.write(b"".join(frame({"type": "chunk", "id": 1}, p) for p in pieces))
        return
    out.write(frame({"type": "ready"}))
    out.flush()
    for line in sys.stdin.buffer:
        command = json.loads(line)
        if command.get("cmd") == "quit":
            return
        if command.get("cmd") != "say":
            continue
        request = command["id"]
        stream = b"".join(frame({"type": "chunk", "id": request}, p) for p in pieces)
        out.write(frame({"type": "format", "id": request, "sampleRate": 24000, "channels": 1, "sampleFormat": "int16"}))
        out.flush()
        out.write(stream)
        out.write(frame({"type": "end", "id": request}))
        out.flush()


if __name__ == "__main__":
    main()

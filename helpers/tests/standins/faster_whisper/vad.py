"""Stand-in for faster_whisper.vad: Silero's interface and its segment rules.

The network is replaced by an energy rule that suits the synthetic signals of
the tests: a 512-sample chunk's speech probability is the share of its samples
whose magnitude reaches 0.01. Everything after the probabilities (hysteresis,
minimum speech and silence, padding) follows the rules Silero's helper applies.

STANDIN_WHISPER_VAD is the cost in seconds of one chunk (Silero takes about
1 ms per 30-ms chunk on one CPU thread).
"""

import time
from dataclasses import dataclass

from _standin import env_float, record

CHUNK = 512
LEVEL = 0.01


@dataclass
class VadOptions:
    threshold: float = 0.5
    neg_threshold: float = None
    min_speech_duration_ms: int = 0
    max_speech_duration_s: float = float("inf")
    min_silence_duration_ms: int = 2000
    speech_pad_ms: int = 400


def _probabilities(audio):
    import numpy

    loud = numpy.abs(numpy.asarray(audio, dtype=numpy.float32)) >= LEVEL
    chunks = (loud.size + CHUNK - 1) // CHUNK
    padded = numpy.zeros(chunks * CHUNK, dtype=bool)
    padded[:loud.size] = loud
    return padded.reshape(chunks, CHUNK).mean(axis=1) if chunks else numpy.zeros(0)


def _raw_speeches(probs, length, options, rate):
    neg = options.neg_threshold
    if neg is None:
        neg = max(options.threshold - 0.15, 0.01)
    min_speech = rate * options.min_speech_duration_ms / 1000
    min_silence = rate * options.min_silence_duration_ms / 1000
    pad = rate * options.speech_pad_ms / 1000
    max_speech = rate * options.max_speech_duration_s - CHUNK - 2 * pad
    speeches, start, silence_from = [], None, None
    for index, prob in enumerate(probs):
        position = index * CHUNK
        if prob >= options.threshold:
            silence_from = None
            if start is None:
                start = position
                continue
        if start is not None and position - start > max_speech:
            speeches.append({"start": start, "end": position})
            start, silence_from = None, None
            continue
        if start is not None and prob < neg:
            if silence_from is None:
                silence_from = position
            if position - silence_from < min_silence:
                continue
            if silence_from - start > min_speech:
                speeches.append({"start": start, "end": silence_from})
            start, silence_from = None, None
    if start is not None and length - start > min_speech:
        speeches.append({"start": start, "end": length})
    return speeches


def _padded(speeches, length, pad):
    for index, speech in enumerate(speeches):
        if index == 0:
            speech["start"] = int(max(0, speech["start"] - pad))
        if index + 1 < len(speeches):
            following = speeches[index + 1]
            gap = following["start"] - speech["end"]
            if gap < 2 * pad:
                speech["end"] += int(gap // 2)
                following["start"] = int(max(0, following["start"] - gap // 2))
            else:
                speech["end"] = int(min(length, speech["end"] + pad))
                following["start"] = int(max(0, following["start"] - pad))
        else:
            speech["end"] = int(min(length, speech["end"] + pad))
    return speeches


def get_speech_timestamps(audio, vad_options=None, sampling_rate=16000, **kwargs):
    if vad_options is None:
        vad_options = VadOptions(**kwargs)
    length = len(audio)
    probs = _probabilities(audio)
    time.sleep(env_float("STANDIN_WHISPER_VAD") * len(probs))
    record("vad", samples=length)
    speeches = _raw_speeches(probs, length, vad_options, sampling_rate)
    return _padded(speeches, length, sampling_rate * vad_options.speech_pad_ms / 1000)

"""Stand-in for faster_whisper with the public API shape of faster-whisper 1.2.

Two ways to tell it what it hears.

Template (the default): every call returns
  STANDIN_WHISPER_TEXT        a text template; "{samples}", "{prompt}" and
                              "{language}" are filled in and "|" separates
                              segments (default " hello world")

Script: STANDIN_WHISPER_SCRIPT names a JSON file, and the transcript follows
the audio content. A run of identical non-zero samples is one spoken word; the
sample value picks it from "words":
  {"words": {"1001": {"text": " Hello", "seconds": 0.4,
                      "no_speech_prob": 0.1, "avg_logprob": -0.2}, ...},
   "gap": 0.5,              silence (seconds) that ends a segment
   "hallucination": " Thank you."}
A word cut off by the end of the audio comes out truncated, in proportion to
its "seconds". Zeros are silence; unknown values are noise that yields nothing.
With vad_filter=False, audio without words gives the "hallucination" segment,
as whisper does on silence.

Other controls:
  STANDIN_WHISPER_COST        seconds of compute per second of audio, spent
                              while the segments are iterated, segment by segment
  STANDIN_WHISPER_DELAY       fixed seconds each transcribe() call takes
  STANDIN_WHISPER_LOAD_DELAY  seconds WhisperModel() takes
  STANDIN_WHISPER_LOAD_ERROR  WhisperModel() raises RuntimeError with this text
  STANDIN_WHISPER_LOAD_FAIL   comma list of devices on which WhisperModel() raises
  STANDIN_WHISPER_RAISE       transcription raises RuntimeError with this text
"""

import json
import math
import os
import time
from dataclasses import dataclass, field

from _standin import env_float, env_list, pollute, record

pollute("faster_whisper import")

_LANGUAGES = {"en", "de", "fr", "es", "it", "ja", "zh", "nl", "pt", "ru"}
RATE = 16000


def available_models():
    return ["tiny.en", "tiny", "base.en", "base", "small.en", "small", "medium.en", "medium",
            "large-v1", "large-v2", "large-v3", "large", "distil-large-v2", "distil-medium.en",
            "distil-small.en", "distil-large-v3", "distil-large-v3.5", "large-v3-turbo", "turbo"]


@dataclass
class Word:
    start: float
    end: float
    word: str
    probability: float = 0.9


@dataclass
class Segment:
    id: int
    seek: int
    start: float
    end: float
    text: str
    tokens: list = field(default_factory=list)
    avg_logprob: float = 0.0
    compression_ratio: float = 1.0
    no_speech_prob: float = 0.0
    words: list = None
    temperature: float = 0.0


@dataclass
class TranscriptionInfo:
    language: str
    language_probability: float
    duration: float
    duration_after_vad: float
    all_language_probs: list = None
    transcription_options: object = None
    vad_options: object = None


def _spread_words(text, start, end):
    pieces = [" " + piece for piece in text.split()]
    step = (end - start) / max(len(pieces), 1)
    return [Word(start + i * step, start + (i + 1) * step, piece) for i, piece in enumerate(pieces)]


def _template_segments(audio, initial_prompt, language):
    template = os.environ.get("STANDIN_WHISPER_TEXT", " hello world")
    text = template.format(samples=int(audio.shape[0]), prompt=initial_prompt, language=language)
    pieces = text.split("|")
    duration = audio.shape[0] / RATE
    step = max(duration, 1.0) / len(pieces)
    return [dict(start=i * step, end=(i + 1) * step, text=piece, no_speech_prob=0.0,
                 avg_logprob=-0.1) for i, piece in enumerate(pieces)]


def _runs(audio):
    """(value, first sample, end sample) of every run of identical samples."""
    import numpy

    values = numpy.rint(audio * 32768.0).astype(numpy.int32)
    if values.size == 0:
        return []
    edges = numpy.flatnonzero(numpy.diff(values)) + 1
    starts = numpy.concatenate(([0], edges))
    ends = numpy.concatenate((edges, [values.size]))
    return [(int(values[s]), int(s), int(e)) for s, e in zip(starts, ends)]


def _scripted_segments(audio, script, vad_filter):
    vocabulary = script.get("words", {})
    gap = float(script.get("gap", 0.5))
    total = audio.shape[0]
    segments = []
    for value, first, end in _runs(audio):
        entry = vocabulary.get(str(value))
        if value == 0 or entry is None:
            continue
        text = entry["text"]
        start_s, end_s = first / RATE, end / RATE
        full = entry.get("seconds")
        if end == total and full and end_s - start_s < full:
            keep = max(1, math.ceil(len(text.strip()) * (end_s - start_s) / full))
            text = text[:len(text) - len(text.lstrip())] + text.strip()[:keep]
        word = Word(start_s, end_s, text)
        nsp = float(entry.get("no_speech_prob", 0.05))
        alp = float(entry.get("avg_logprob", -0.2))
        if segments and start_s - segments[-1]["end"] < gap:
            seg = segments[-1]
            seg["end"] = end_s
            seg["text"] += text
            seg["words"].append(word)
            seg["no_speech_prob"] = max(seg["no_speech_prob"], nsp)
            seg["avg_logprob"] = min(seg["avg_logprob"], alp)
        else:
            segments.append(dict(start=start_s, end=end_s, text=text, words=[word],
                                 no_speech_prob=nsp, avg_logprob=alp))
    if not segments and not vad_filter and script.get("hallucination"):
        segments.append(dict(start=0.0, end=total / RATE, text=script["hallucination"],
                             no_speech_prob=0.3, avg_logprob=-0.4))
    return segments


class WhisperModel:
    def __init__(self, model_size_or_path, device="auto", device_index=0, compute_type="default",
                 cpu_threads=0, num_workers=1, download_root=None, local_files_only=False,
                 files=None, revision=None, use_auth_token=None, **model_kwargs):
        pollute("WhisperModel")
        record("load", model=model_size_or_path, device=device, compute_type=compute_type)
        time.sleep(env_float("STANDIN_WHISPER_LOAD_DELAY"))
        error = os.environ.get("STANDIN_WHISPER_LOAD_ERROR")
        if error:
            raise RuntimeError(error)
        if device in env_list("STANDIN_WHISPER_LOAD_FAIL"):
            raise RuntimeError("CUDA failed with error no CUDA-capable device is detected")
        record("loaded", model=model_size_or_path, device=device, compute_type=compute_type)

    def transcribe(self, audio, language=None, task="transcribe", beam_size=5, best_of=5,
                   temperature=(0.0, 0.2, 0.4, 0.6, 0.8, 1.0), condition_on_previous_text=True,
                   initial_prompt=None, prefix=None, without_timestamps=False,
                   word_timestamps=False, vad_filter=False, vad_parameters=None, hotwords=None,
                   **kwargs):
        import numpy

        if not isinstance(audio, numpy.ndarray):
            raise TypeError("stand-in expects a numpy array")
        duration = audio.shape[0] / RATE
        record("transcribe", samples=int(audio.shape[0]), seconds=duration, ndim=audio.ndim,
               dtype=str(audio.dtype), head=[float(x) for x in audio[:4]], language=language,
               initial_prompt=initial_prompt, beam_size=beam_size, vad_filter=vad_filter,
               word_timestamps=word_timestamps, time=time.time())
        if language is not None and language not in _LANGUAGES:
            raise ValueError("'%s' is not a valid language code" % language)
        time.sleep(env_float("STANDIN_WHISPER_DELAY"))
        error = os.environ.get("STANDIN_WHISPER_RAISE")
        script_path = os.environ.get("STANDIN_WHISPER_SCRIPT")
        if script_path:
            with open(script_path, encoding="utf-8") as stream:
                planned = _scripted_segments(audio, json.load(stream), vad_filter)
        else:
            planned = _template_segments(audio, initial_prompt, language)
        cost = env_float("STANDIN_WHISPER_COST")

        def segments():
            # Decoding happens while the generator is iterated, as upstream.
            pollute("transcription")
            if error:
                raise RuntimeError(error)
            done = 0.0
            for index, plan in enumerate(planned):
                end = min(max(plan["end"], done), duration)
                time.sleep(cost * (end - done))
                done = end
                words = plan.get("words")
                if word_timestamps and words is None:
                    words = _spread_words(plan["text"], plan["start"], plan["end"])
                yield Segment(id=index, seek=0, start=plan["start"], end=plan["end"],
                              text=plan["text"], avg_logprob=plan["avg_logprob"],
                              no_speech_prob=plan["no_speech_prob"],
                              words=words if word_timestamps else None)
            time.sleep(cost * max(duration - done, 0.0))
            record("transcribed", samples=int(audio.shape[0]))

        info = TranscriptionInfo(language=language or "en", language_probability=1.0,
                                 duration=duration, duration_after_vad=duration)
        return segments(), info

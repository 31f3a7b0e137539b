"""Stand-in for faster_whisper with the public API shape of faster-whisper 1.2,
charging what the real library charges and failing the way it fails.

What it hears
  Template (the default): every call returns STANDIN_WHISPER_TEXT, a text
  template; "{samples}", "{prompt}" and "{language}" are filled in and "|"
  separates segments (default " hello world").

  Script: STANDIN_WHISPER_SCRIPT names a JSON file, and the transcript follows
  the audio. A run of identical samples of magnitude 1000 or more is one spoken
  word; the sample value picks it from "words":
    {"words": {"1001": {"text": " Hello", "seconds": 0.4, "beam1": " Hallo",
                        "no_speech_prob": 0.1, "avg_logprob": -0.2, "fails": 2}},
     "gap": 0.5,              silence (seconds) that ends a segment
     "language": "en",        the language spoken
     "hallucination": " Thank you."}
  Quality follows the audio and the options:
  - a "hard" word (one with "beam1") comes out as its "beam1" text with a beam
    size below 5;
  - a word cut by the end of the audio comes out truncated in proportion to
    what is left of its "seconds"; a word cut by the start is not heard at all;
  - forced to a language other than the one spoken, every word comes out
    wrong (reversed);
  - zeros are silence, other small values noise that yields nothing; with
    vad_filter=False, audio without words gives the "hallucination" segment.
  A segment's no_speech_prob belongs to its 30-s window: every segment of a
  window carries the value of the window's first one.

What it costs (seconds, all 0 by default)
  STANDIN_WHISPER_ENCODE      one encoder pass: every 30-s window the audio
                              spans (after the VAD filter) costs one, however
                              short; language=None costs one more (detection)
  STANDIN_WHISPER_TOKEN       one emitted token with beam 1 (a word is a token,
                              a segment adds two timestamp tokens unless
                              without_timestamps=True, which decodes each
                              window as one segment)
  STANDIN_WHISPER_BEAM_TOKEN  one emitted token with beam >= 2 (default 2.5
                              times STANDIN_WHISPER_TOKEN)
  STANDIN_WHISPER_FALLBACKS   temperatures at which every window fails its
                              checks (a word's "fails" does the same for its
                              window); with a temperature list each failure
                              decodes the window again, with temperature=0
                              there is no retry
  STANDIN_WHISPER_DELAY       a fixed wait in every transcribe() call
  STANDIN_WHISPER_LOAD_DELAY  WhisperModel() takes this long
  word_timestamps=True costs one more token's worth per token (alignment).
  The encoder and the tokens are spent while the segments are iterated, window
  by window and segment by segment; detection and the VAD filter inside the
  transcribe() call.

How it fails
  STANDIN_WHISPER_GPU         "none" (default): device "cuda" raises
                              RuntimeError, "auto" runs on the CPU. "broken":
                              a GPU without cuDNN; "cuda" and "auto" construct
                              fine and the first encode aborts the process.
                              "ok": a working GPU.
  STANDIN_WHISPER_CUDA_FAIL_AFTER  with a working GPU, the n-th transcription
                              on it raises RuntimeError (out of memory)
  STANDIN_WHISPER_LOAD_ERROR  WhisperModel() raises RuntimeError with this text
  STANDIN_WHISPER_LOAD_FAIL   comma list of devices on which WhisperModel() raises
  STANDIN_WHISPER_RAISE       transcription raises RuntimeError with this text
  A half-precision compute type on the CPU raises ValueError; a language code
  whisper does not know ("en_US", "en-US") raises ValueError; an English-only
  model (".en" or distil in its name or path) transcribes every language as
  English; local_files_only=True with a name that is not cached raises.
"""

import json
import math
import os
import sys
import time
from dataclasses import dataclass, field

from _standin import env_float, env_list, pollute, record

from . import vad as _vad

pollute("faster_whisper import")

RATE = 16000
WINDOW_SECONDS = 30.0
LANGUAGES = (
    "af am ar as az ba be bg bn bo br bs ca cs cy da de el en es et eu fa fi fo fr gl gu ha haw "
    "he hi hr ht hu hy id is it ja jw ka kk km kn ko la lb ln lo lt lv mg mi mk ml mn mr ms mt "
    "my ne nl nn no oc pa pl ps pt ro ru sa sd si sk sl sn so sq sr su sv sw ta te tg th tk tl tr "
    "tt uk ur uz vi yi yo zh yue").split()
HALF_PRECISION = ("float16", "int8_float16", "bfloat16", "int8_bfloat16")


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
                 avg_logprob=-0.1, fails=0) for i, piece in enumerate(pieces)]


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


def _heard(entry, first, end, total, beam_size, wrong_language):
    """The text whisper makes of one word's run, or None when it hears nothing."""
    text = entry["text"]
    if beam_size < 5 and "beam1" in entry:
        text = entry["beam1"]
    full = entry.get("seconds")
    length = (end - first) / RATE
    if full and length < full - 1.5 / RATE:
        if first == 0:
            return None
        if end == total:
            keep = max(1, math.ceil(len(text.strip()) * length / full))
            text = text[:len(text) - len(text.lstrip())] + text.strip()[:keep]
    if wrong_language:
        text = " " + text.strip()[::-1]
    return text


def _scripted_segments(audio, script, vad_filter, beam_size, language):
    vocabulary = script.get("words", {})
    gap = float(script.get("gap", 0.5))
    wrong_language = language != script.get("language", "en")
    total = audio.shape[0]
    segments = []
    for value, first, end in _runs(audio):
        entry = vocabulary.get(str(value))
        if abs(value) < 1000 or entry is None:
            continue
        text = _heard(entry, first, end, total, beam_size, wrong_language)
        if text is None:
            continue
        start_s, end_s = first / RATE, end / RATE
        word = Word(start_s, end_s, text)
        nsp = float(entry.get("no_speech_prob", 0.05))
        alp = float(entry.get("avg_logprob", -0.2))
        fails = int(entry.get("fails", 0))
        if segments and start_s - segments[-1]["end"] < gap:
            seg = segments[-1]
            seg["end"] = end_s
            seg["text"] += text
            seg["words"].append(word)
            seg["avg_logprob"] = min(seg["avg_logprob"], alp)
            seg["fails"] = max(seg["fails"], fails)
        else:
            segments.append(dict(start=start_s, end=end_s, text=text, words=[word],
                                 no_speech_prob=nsp, avg_logprob=alp, fails=fails))
    if not segments and not vad_filter and script.get("hallucination"):
        segments.append(dict(start=0.0, end=total / RATE, text=script["hallucination"],
                             no_speech_prob=0.3, avg_logprob=-0.4, fails=0))
    return segments


def _english_only(name):
    base = os.path.basename(os.path.normpath(str(name)))
    return ".en" in str(name) or "distil" in base or "distil" in str(name)


def _gpu():
    return os.environ.get("STANDIN_WHISPER_GPU", "none")


def _abort_without_cudnn():
    sys.stderr.write("Could not load library libcudnn_ops.so.9. Error: libcudnn_ops.so.9: "
                     "cannot open shared object file: No such file or directory\n")
    sys.stderr.flush()
    os.abort()


def _check_local(name):
    if os.path.isdir(name):
        if not os.path.isfile(os.path.join(name, "model.bin")):
            raise RuntimeError("Unable to open file 'model.bin' in model '%s'" % name)
        return
    from huggingface_hub.utils import LocalEntryNotFoundError

    raise LocalEntryNotFoundError(
        "Cannot find an appropriate cached snapshot folder for the specified revision on the "
        "local disk and outgoing traffic has been disabled.")


def _untimed(window_segments):
    """Without timestamp tokens a window decodes as one segment."""
    merged = dict(window_segments[0])
    merged["text"] = "".join(seg["text"] for seg in window_segments)
    merged["end"] = window_segments[-1]["end"]
    merged["words"] = [w for seg in window_segments for w in seg.get("words") or []]
    counts = [max(len(seg["text"].split()), 1) for seg in window_segments]
    merged["avg_logprob"] = sum(seg["avg_logprob"] * count for seg, count
                                in zip(window_segments, counts)) / sum(counts)
    merged["fails"] = max(seg.get("fails", 0) for seg in window_segments)
    return merged


def _window_cost(window_segments, beam_size, word_timestamps, fallbacks, temperature, timed):
    per_token = env_float("STANDIN_WHISPER_TOKEN")
    if beam_size >= 2:
        per_token = env_float("STANDIN_WHISPER_BEAM_TOKEN", 2.5 * per_token)
    # Each segment adds a start and an end timestamp token when timestamps are on.
    tokens = sum(len(seg["text"].split()) + (2 if timed else 0) for seg in window_segments) + 1
    retries_allowed = len(temperature) - 1 if isinstance(temperature, (list, tuple)) else 0
    fails = max([fallbacks] + [seg.get("fails", 0) for seg in window_segments])
    decodes = 1 + min(fails, retries_allowed)
    alignment = env_float("STANDIN_WHISPER_TOKEN") * tokens if word_timestamps else 0.0
    return tokens, decodes, per_token * tokens * decodes + alignment


class WhisperModel:
    def __init__(self, model_size_or_path, device="auto", device_index=0, compute_type="default",
                 cpu_threads=0, num_workers=1, download_root=None, local_files_only=False,
                 files=None, revision=None, use_auth_token=None, **model_kwargs):
        pollute("WhisperModel")
        record("load", model=model_size_or_path, device=device, compute_type=compute_type,
               cpu_threads=cpu_threads, local_files_only=local_files_only)
        time.sleep(env_float("STANDIN_WHISPER_LOAD_DELAY"))
        error = os.environ.get("STANDIN_WHISPER_LOAD_ERROR")
        if error:
            raise RuntimeError(error)
        if device in env_list("STANDIN_WHISPER_LOAD_FAIL"):
            raise RuntimeError("CUDA failed with error no CUDA-capable device is detected")
        if device == "auto":
            device = "cpu" if _gpu() == "none" else "cuda"
        if device == "cuda" and _gpu() == "none":
            raise RuntimeError("CUDA failed with error no CUDA-capable device is detected")
        if device == "cpu" and compute_type in HALF_PRECISION:
            raise ValueError("Requested %s compute type, but the target device or backend do not "
                             "support efficient %s computation." % (compute_type, compute_type))
        if local_files_only:
            _check_local(model_size_or_path)
        elif not os.path.isdir(model_size_or_path):
            record("download", model=model_size_or_path)
        self.device = device
        self.name = model_size_or_path
        self.english_only = _english_only(model_size_or_path)
        self._transcriptions = 0
        record("loaded", model=model_size_or_path, device=device, compute_type=compute_type)

    def _encode(self):
        """One encoder pass, where a GPU without its libraries fails."""
        if self.device == "cuda" and _gpu() == "broken":
            _abort_without_cudnn()
        time.sleep(env_float("STANDIN_WHISPER_ENCODE"))

    def _check_cuda_failure(self):
        if self.device != "cuda":
            return
        self._transcriptions += 1
        after = int(env_float("STANDIN_WHISPER_CUDA_FAIL_AFTER"))
        if after and self._transcriptions == after:
            raise RuntimeError("CUDA failed with error out of memory")

    def _language(self, language, script):
        if language is not None and language not in LANGUAGES:
            raise ValueError("'%s' is not a valid language code (accepted language codes: %s)"
                             % (language, ", ".join(LANGUAGES)))
        if self.english_only:
            if language not in (None, "en"):
                sys.stderr.write("The current model is English-only but the language parameter is"
                                 " set to '%s'; using 'en' instead.\n" % language)
            return "en", False
        if language is not None:
            return language, False
        self._encode()
        record("detect")
        return (script or {}).get("language", "en"), True

    def transcribe(self, audio, language=None, task="transcribe", beam_size=5, best_of=5,
                   temperature=(0.0, 0.2, 0.4, 0.6, 0.8, 1.0), condition_on_previous_text=True,
                   initial_prompt=None, prefix=None, without_timestamps=False,
                   word_timestamps=False, vad_filter=False, vad_parameters=None, hotwords=None,
                   **kwargs):
        import numpy

        if not isinstance(audio, numpy.ndarray):
            raise TypeError("stand-in expects a numpy array")
        duration = audio.shape[0] / RATE
        began = time.time()
        record("transcribe", samples=int(audio.shape[0]), seconds=duration, ndim=audio.ndim,
               dtype=str(audio.dtype), head=[float(x) for x in audio[:4]], language=language,
               initial_prompt=initial_prompt, beam_size=beam_size, vad_filter=vad_filter,
               temperature=temperature, word_timestamps=word_timestamps,
               without_timestamps=without_timestamps,
               condition_on_previous_text=condition_on_previous_text, device=self.device,
               time=began)
        self._check_cuda_failure()
        script_path = os.environ.get("STANDIN_WHISPER_SCRIPT")
        script = None
        if script_path:
            with open(script_path, encoding="utf-8") as stream:
                script = json.load(stream)
        language, detected = self._language(language, script)
        time.sleep(env_float("STANDIN_WHISPER_DELAY"))
        if vad_filter:
            options = vad_parameters if isinstance(vad_parameters, _vad.VadOptions) else \
                _vad.VadOptions(**(vad_parameters or {}))
            speech = _vad.get_speech_timestamps(audio, options)
            kept = [audio[s["start"]:s["end"]] for s in speech]
            audio = numpy.concatenate(kept) if kept else audio[:0]
        error = os.environ.get("STANDIN_WHISPER_RAISE")
        if script is not None:
            planned = _scripted_segments(audio, script, vad_filter, beam_size, language)
        else:
            planned = _template_segments(audio, initial_prompt, language)
        after_vad = audio.shape[0] / RATE
        fallbacks = int(env_float("STANDIN_WHISPER_FALLBACKS"))
        model = self

        def segments():
            # Decoding happens while the generator is iterated, as upstream.
            pollute("transcription")
            if error:
                raise RuntimeError(error)
            windows = max(1, math.ceil(after_vad / WINDOW_SECONDS))
            emitted, tokens_total, decodes_total = [], 0, 0
            index = 0
            for window in range(windows):
                model._encode()
                low, high = window * WINDOW_SECONDS, (window + 1) * WINDOW_SECONDS
                mine = [p for p in planned if low <= p["start"] < high or
                        (window == windows - 1 and p["start"] >= high)]
                if without_timestamps and mine:
                    mine = [_untimed(mine)]
                tokens, decodes, cost = _window_cost(mine, beam_size, word_timestamps, fallbacks,
                                                     temperature, not without_timestamps)
                tokens_total += tokens
                decodes_total += decodes
                share = cost / max(len(mine), 1)
                nsp = mine[0]["no_speech_prob"] if mine else 0.0
                if not mine:
                    time.sleep(cost)
                for plan in mine:
                    time.sleep(share)
                    words = plan.get("words")
                    if word_timestamps and words is None:
                        words = _spread_words(plan["text"], plan["start"], plan["end"])
                    emitted.append(plan["text"])
                    yield Segment(id=index, seek=int(low * 100), start=plan["start"],
                                  end=plan["end"], text=plan["text"],
                                  avg_logprob=plan["avg_logprob"], no_speech_prob=nsp,
                                  words=words if word_timestamps else None,
                                  temperature=0.0 if decodes == 1 else 0.2 * (decodes - 1))
                    index += 1
            record("transcribed", samples=int(audio.shape[0]), windows=windows,
                   tokens=tokens_total, decodes=decodes_total, text="".join(emitted),
                   detected=detected, spent=time.time() - began)

        info = TranscriptionInfo(language=language, language_probability=0.97 if detected else 1.0,
                                 duration=duration, duration_after_vad=after_vad)
        return segments(), info

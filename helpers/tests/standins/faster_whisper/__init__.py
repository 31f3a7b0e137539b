"""Stand-in for faster_whisper with the public API shape of faster-whisper 1.2.

Controlled by the environment:
  STANDIN_WHISPER_TEXT        text template of a transcription; "{samples}",
                              "{prompt}" and "{language}" are filled in and
                              "|" separates segments (default " hello world")
  STANDIN_WHISPER_DELAY       seconds each transcription takes
  STANDIN_WHISPER_LOAD_ERROR  WhisperModel() raises RuntimeError with this text
  STANDIN_WHISPER_RAISE       transcription raises RuntimeError with this text
"""

import os
import time
from dataclasses import dataclass, field

from _standin import env_float, pollute, record

pollute("faster_whisper import")

_LANGUAGES = {"en", "de", "fr", "es", "it", "ja", "zh", "nl", "pt", "ru"}


def available_models():
    return ["tiny.en", "tiny", "base.en", "base", "small.en", "small", "medium.en", "medium",
            "large-v1", "large-v2", "large-v3", "large", "distil-large-v2", "distil-medium.en",
            "distil-small.en", "distil-large-v3", "distil-large-v3.5", "large-v3-turbo", "turbo"]


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


class WhisperModel:
    def __init__(self, model_size_or_path, device="auto", device_index=0, compute_type="default",
                 cpu_threads=0, num_workers=1, download_root=None, local_files_only=False,
                 files=None, revision=None, use_auth_token=None, **model_kwargs):
        pollute("WhisperModel")
        record("load", model=model_size_or_path, device=device, compute_type=compute_type)
        error = os.environ.get("STANDIN_WHISPER_LOAD_ERROR")
        if error:
            raise RuntimeError(error)

    def transcribe(self, audio, language=None, task="transcribe", beam_size=5, best_of=5,
                   temperature=(0.0, 0.2, 0.4, 0.6, 0.8, 1.0), condition_on_previous_text=True,
                   initial_prompt=None, prefix=None, without_timestamps=False,
                   word_timestamps=False, vad_filter=False, vad_parameters=None, hotwords=None,
                   **kwargs):
        import numpy

        if not isinstance(audio, numpy.ndarray):
            raise TypeError("stand-in expects a numpy array")
        record("transcribe", samples=int(audio.shape[0]), ndim=audio.ndim, dtype=str(audio.dtype),
               head=[float(x) for x in audio[:4]], language=language,
               initial_prompt=initial_prompt, beam_size=beam_size)
        if language is not None and language not in _LANGUAGES:
            raise ValueError("'%s' is not a valid language code" % language)
        time.sleep(env_float("STANDIN_WHISPER_DELAY"))
        error = os.environ.get("STANDIN_WHISPER_RAISE")
        template = os.environ.get("STANDIN_WHISPER_TEXT", " hello world")
        text = template.format(samples=int(audio.shape[0]), prompt=initial_prompt,
                               language=language)

        def segments():
            # Decoding happens while the generator is iterated, as upstream.
            pollute("transcription")
            if error:
                raise RuntimeError(error)
            for index, piece in enumerate(text.split("|")):
                yield Segment(id=index, seek=0, start=0.0, end=1.0, text=piece)

        info = TranscriptionInfo(language=language or "en", language_probability=1.0,
                                 duration=audio.shape[0] / 16000.0,
                                 duration_after_vad=audio.shape[0] / 16000.0)
        return segments(), info

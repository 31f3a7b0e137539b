"""Stand-in for kokoro 0.9 (KModel, KPipeline) with the upstream call shapes.

Like upstream, KModel and KPipeline print a warning to standard output when
repo_id is not given. Controlled by the environment:
  STANDIN_KOKORO_AUDIO        comma list of float samples of one piece of audio
                              (default "0.5,-0.5,1.5,-1.5,0.25")
  STANDIN_KOKORO_REPEAT       how many times that list repeats in each piece
  STANDIN_KOKORO_CHUNK_DELAY  seconds each piece (a line of the text given) costs
  STANDIN_KOKORO_CHAR_COST    seconds each character of a piece costs, on top
  STANDIN_KOKORO_SAMPLES_PER_CHAR  when set, each piece's audio is that many
                              samples per character (the list above, repeated)
  STANDIN_KOKORO_LOAD_DELAY   seconds KModel() takes
  STANDIN_KOKORO_LOAD_ERROR   KModel() raises RuntimeError with this text
  STANDIN_KOKORO_BAD_VOICES   comma list of voice ids that do not exist upstream

Every call records its text and the time.monotonic() it began ("call"), and
every piece records when its work began and ended ("piece"): the clock is
shared by all processes, so a test can tell what ran after it sent a command.
English pipelines install the spaCy model when it is missing, as upstream does.
"""

import os
import re
import time

import numpy

from _standin import env_float, env_list, pollute, record

pollute("kokoro import")

LANG_CODES = "abefhipjz"


def _warn_default_repo(repo_id):
    if repo_id is None:
        # Upstream prints this to standard output.
        print("WARNING: Defaulting repo_id to hexgrad/Kokoro-82M. Pass repo_id='hexgrad/Kokoro-82M'"
              " to suppress this warning.")


class KModel:
    def __init__(self, repo_id=None, config=None, model=None, disable_complex=False):
        _warn_default_repo(repo_id)
        pollute("KModel")
        record("KModel", repo_id=repo_id)
        time.sleep(env_float("STANDIN_KOKORO_LOAD_DELAY"))
        error = os.environ.get("STANDIN_KOKORO_LOAD_ERROR")
        if error:
            raise RuntimeError(error)

    def to(self, device):
        return self

    def eval(self):
        return self


class _Tensor:
    def __init__(self, array):
        self._array = array

    def numpy(self):
        return self._array


class _Result:
    """Unpacks as (graphemes, phonemes, audio), like upstream's Result."""

    def __init__(self, graphemes, phonemes, audio):
        self._items = (graphemes, phonemes, audio)

    def __iter__(self):
        return iter(self._items)


class KPipeline:
    def __init__(self, lang_code, repo_id=None, model=True, trf=False, en_callable=None,
                 device=None):
        _warn_default_repo(repo_id)
        pollute("KPipeline")
        assert lang_code in LANG_CODES, (lang_code, LANG_CODES)
        record("KPipeline", lang_code=lang_code, repo_id=repo_id,
               model=model if isinstance(model, bool) else type(model).__name__)
        if lang_code in "ab":
            _ensure_spacy_model("en_core_web_sm")
        self.lang_code = lang_code
        self.model = model

    def __call__(self, text, voice=None, speed=1, split_pattern=r"\n+", model=None):
        if voice is None:
            raise ValueError("Specify a voice: pipeline(text, voice=...)")
        record("call", lang_code=self.lang_code, text=text, voice=voice, speed=speed,
               t=time.monotonic())
        name = os.path.basename(voice)[:-3] if voice.endswith(".pt") else voice
        if voice.endswith(".pt") and not os.path.isfile(voice):
            raise FileNotFoundError(voice)
        if name in env_list("STANDIN_KOKORO_BAD_VOICES"):
            raise OSError("404 Client Error: Entry Not Found for voices/%s.pt" % name)
        values = [float(v) for v in
                  os.environ.get("STANDIN_KOKORO_AUDIO", "0.5,-0.5,1.5,-1.5,0.25").split(",")]
        repeat = int(os.environ.get("STANDIN_KOKORO_REPEAT", "1"))
        per_char = int(os.environ.get("STANDIN_KOKORO_SAMPLES_PER_CHAR", "0"))
        delay = env_float("STANDIN_KOKORO_CHUNK_DELAY")
        char_cost = env_float("STANDIN_KOKORO_CHAR_COST")
        for piece in (re.split(split_pattern, text) if split_pattern else [text]):
            if not piece.strip():
                continue
            began = time.monotonic()
            time.sleep(delay + char_cost * len(piece))
            pollute("synthesis")
            record("piece", text=piece, start=began, end=time.monotonic())
            if per_char:
                count = per_char * len(piece)
                samples = numpy.resize(numpy.array(values, dtype=numpy.float32), count)
            else:
                samples = numpy.array(values * repeat, dtype=numpy.float32)
            audio = _Tensor(samples) if self.model is not False else None
            yield _Result(piece, "phonemes", audio)


def _ensure_spacy_model(name):
    try:
        import spacy.util
    except ImportError:
        return
    if not spacy.util.is_package(name):
        import spacy.cli

        spacy.cli.download(name)

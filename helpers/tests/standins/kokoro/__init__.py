"""Stand-in for kokoro 0.9 (KModel, KPipeline) with the upstream call shapes.

Like upstream, KModel and KPipeline print a warning to standard output when
repo_id is not given. Controlled by the environment:
  STANDIN_KOKORO_AUDIO        comma list of float samples of one piece of audio
                              (default "0.5,-0.5,1.5,-1.5,0.25")
  STANDIN_KOKORO_REPEAT       how many times that list repeats in each piece
  STANDIN_KOKORO_CHUNK_DELAY  seconds before each piece is yielded
  STANDIN_KOKORO_LOAD_DELAY   seconds KModel() takes
  STANDIN_KOKORO_LOAD_ERROR   KModel() raises RuntimeError with this text
  STANDIN_KOKORO_BAD_VOICES   comma list of voice ids that do not exist upstream
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
        self.lang_code = lang_code
        self.model = model

    def __call__(self, text, voice=None, speed=1, split_pattern=r"\n+", model=None):
        if voice is None:
            raise ValueError("Specify a voice: pipeline(text, voice=...)")
        record("call", lang_code=self.lang_code, text=text, voice=voice, speed=speed)
        name = os.path.basename(voice)[:-3] if voice.endswith(".pt") else voice
        if voice.endswith(".pt") and not os.path.isfile(voice):
            raise FileNotFoundError(voice)
        if name in env_list("STANDIN_KOKORO_BAD_VOICES"):
            raise OSError("404 Client Error: Entry Not Found for voices/%s.pt" % name)
        values = [float(v) for v in
                  os.environ.get("STANDIN_KOKORO_AUDIO", "0.5,-0.5,1.5,-1.5,0.25").split(",")]
        repeat = int(os.environ.get("STANDIN_KOKORO_REPEAT", "1"))
        samples = numpy.array(values * repeat, dtype=numpy.float32)
        delay = env_float("STANDIN_KOKORO_CHUNK_DELAY")
        for piece in re.split(split_pattern, text):
            if not piece.strip():
                continue
            time.sleep(delay)
            pollute("synthesis")
            audio = _Tensor(samples.copy()) if self.model is not False else None
            yield _Result(piece, "phonemes", audio)

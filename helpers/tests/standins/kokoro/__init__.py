"""Stand-in for kokoro 0.9.4 (KModel, KPipeline) with the upstream call shapes.

Like upstream, KModel and KPipeline print a warning to standard output when
repo_id is not given, and KModel looks up config.json and kokoro-v1_0.pth on
the hub on every construction unless both are given as paths (each look-up
is recorded as "hub_lookup"; a path given must be a file).

A call yields Results shaped like upstream's: graphemes, phonemes, tokens,
output, text_index and the property audio; a Result unpacks as (graphemes,
phonemes, audio). The text is split at split_pattern into lines, and here one
character is one phoneme.
  English ('a', 'b'): each line is tokenized roughly like spaCy (a word with
    its inner apostrophes, hyphens and periods, or a single other character)
    and cut into chunks of at most 510 phonemes, after the last sentence mark,
    else colon or semicolon, else comma or dash that fits, else between
    tokens; one Result per chunk. Its tokens have text, whitespace, phonemes,
    start_ts and end_ts (seconds from the start of that Result's audio, None
    when the pipeline has no model).
  Other languages: each line is cut at .!? into chunks of about 400
    characters and each chunk to 510 phonemes; the rest is silently dropped,
    as upstream does (recorded as "truncated" with the text kept and the text
    dropped). tokens is None.

Controlled by the environment:
  STANDIN_KOKORO_VOICE        "bursts": each word is a burst of a square tone
                              of amplitude 0.5 lasting 0.03 s + 0.04 s per
                              character, followed by 0.05 s of silence; a
                              punctuation mark is 0.12 s of silence; a Result
                              begins with 0.08 s of silence; every duration is
                              divided by speed. A token's start_ts and end_ts
                              are the onset and the end of its burst (or
                              silence). Otherwise the modes below.
                              "tones": timed as "bursts", but each word is a
                              tone of known pitch: the first four harmonics,
                              of amplitudes 1, 1/2, 1/3, 1/4 times 0.25, of a
                              fundamental taken word by word from
                              STANDIN_KOKORO_TONES (Hz, default
                              "120,180,240"), starting again with each Result.
  STANDIN_KOKORO_AUDIO        comma list of float samples of one piece of audio
                              (default "0.5,-0.5,1.5,-1.5,0.25"): the audio of
                              each Result, whatever the speed, with the tokens
                              spread evenly over it
  STANDIN_KOKORO_REPEAT       how many times that list repeats in each Result
  STANDIN_KOKORO_SAMPLES_PER_CHAR  when set, each Result's audio is that many
                              samples per character divided by speed (the
                              list above, repeated); a token starts at the
                              sample of its first character
  STANDIN_KOKORO_CHUNK_DELAY  seconds each Result costs
  STANDIN_KOKORO_CHAR_COST    seconds each character of a Result costs, on top
  STANDIN_KOKORO_LOAD_DELAY   seconds KModel() takes
  STANDIN_KOKORO_LOAD_ERROR   KModel() raises RuntimeError with this text
  STANDIN_KOKORO_HUB_DELAY    seconds each hub look-up of KModel() takes
  STANDIN_KOKORO_BAD_VOICES   comma list of voice ids that do not exist upstream

Every call records its text and the time.monotonic() it began ("call"), and
every Result records when its work began and ended ("piece"): the clock is
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
MODEL_FILE = "kokoro-v1_0.pth"
SAMPLE_RATE = 24000
MAX_PHONEMES = 510
CHUNK_CHARS = 400

# Combining marks belong to the word before them, as they do for spaCy.
_LETTER = r"[\w\u0300-\u036f\u1ab0-\u1aff\u1dc0-\u1dff\u20d0-\u20ff\ufe20-\ufe2f]"
_TOKEN = re.compile(r"%s+(?:['\u2019.\-]%s+)*|\.\.\.|\S" % (_LETTER, _LETTER))
# Where an English chunk may end, best first.
_CUT_MARKS = ("!.?\u2026", ":;", ",\u2014")

# Bursts mode, in seconds at speed 1.
LEAD_IN = 0.08
BURST_BASE = 0.03
BURST_PER_CHAR = 0.04
WORD_GAP = 0.05
PUNCTUATION = 0.12
SQUARE_HALF_PERIOD = 40  # samples: a 300 Hz tone


def _warn_default_repo(repo_id):
    if repo_id is None:
        # Upstream prints this to standard output.
        print("WARNING: Defaulting repo_id to hexgrad/Kokoro-82M. Pass repo_id='hexgrad/Kokoro-82M'"
              " to suppress this warning.")


class KModel:
    def __init__(self, repo_id=None, config=None, model=None, disable_complex=False):
        _warn_default_repo(repo_id)
        pollute("KModel")
        record("KModel", repo_id=repo_id, config=config if isinstance(config, str) else None,
               model=model)
        repo_id = repo_id or "hexgrad/Kokoro-82M"
        for given, name in ((config, "config.json"), (model, MODEL_FILE)):
            if isinstance(given, str):
                if not os.path.isfile(given):
                    raise FileNotFoundError(given)
            elif not given:
                record("hub_lookup", repo_id=repo_id, filename=name)
                time.sleep(env_float("STANDIN_KOKORO_HUB_DELAY"))
        time.sleep(env_float("STANDIN_KOKORO_LOAD_DELAY"))
        error = os.environ.get("STANDIN_KOKORO_LOAD_ERROR")
        if error:
            raise RuntimeError(error)

    def to(self, device):
        return self

    def eval(self):
        return self

    class Output:
        def __init__(self, audio, pred_dur=None):
            self.audio = audio
            self.pred_dur = pred_dur


class _Tensor:
    def __init__(self, array):
        self._array = array

    def numpy(self):
        return self._array


class MToken:
    """The fields of misaki's MToken that a caller reads."""

    def __init__(self, text, whitespace):
        self.text = text
        self.tag = ""
        self.whitespace = whitespace
        self.phonemes = text
        self.start_ts = None
        self.end_ts = None


class Result:
    def __init__(self, graphemes, phonemes, tokens=None, output=None, text_index=None):
        self.graphemes = graphemes
        self.phonemes = phonemes
        self.tokens = tokens
        self.output = output
        self.text_index = text_index

    @property
    def audio(self):
        return None if self.output is None else self.output.audio

    def __iter__(self):
        yield self.graphemes
        yield self.phonemes
        yield self.audio

    def __getitem__(self, index):
        return [self.graphemes, self.phonemes, self.audio][index]

    def __len__(self):
        return 3


def tokenize(text):
    """(start, end, whitespace) of each token of `text`."""
    spans = []
    for match in _TOKEN.finditer(text):
        after = text[match.end():match.end() + 1]
        spans.append((match.start(), match.end(), " " if after.isspace() else ""))
    return spans


def _is_word(text):
    return any(c.isalnum() for c in text)


def english_chunks(line):
    """Lists of token spans, each list at most MAX_PHONEMES phonemes long."""
    chunks = []
    current = []
    count = 0
    for span in tokenize(line):
        start, end, whitespace = span
        cost = end - start + len(whitespace)
        if current and count + cost > MAX_PHONEMES:
            cut = _best_cut(line, current)
            chunks.append(current[:cut])
            current = current[cut:]
            count = sum(e - s + len(w) for s, e, w in current)
        current.append(span)
        count += cost
    if current:
        chunks.append(current)
    return chunks


def _best_cut(line, spans):
    for marks in _CUT_MARKS:
        for index in range(len(spans) - 1, 0, -1):
            start, end, _ = spans[index]
            if end - start == 1 and line[start] in marks:
                return index + 1
    return len(spans)


def other_chunks(line):
    """Upstream's cut of non-English text: at .!? into about CHUNK_CHARS characters."""
    parts = re.split(r"([.!?]+)", line)
    chunks = []
    current = ""
    for index in range(0, len(parts), 2):
        sentence = parts[index] + (parts[index + 1] if index + 1 < len(parts) else "")
        if len(current) + len(sentence) <= CHUNK_CHARS:
            current += sentence
        else:
            if current:
                chunks.append(current.strip())
            current = sentence
    if current:
        chunks.append(current.strip())
    return [chunk for chunk in chunks if chunk] or [line]


class _Renderer:
    """The audio of one Result in the mode the environment picks, and its token times."""

    def __init__(self, speed):
        self.speed = speed
        self.mode = os.environ.get("STANDIN_KOKORO_VOICE", "")
        self.values = [float(v) for v in
                       os.environ.get("STANDIN_KOKORO_AUDIO", "0.5,-0.5,1.5,-1.5,0.25").split(",")]
        self.repeat = int(os.environ.get("STANDIN_KOKORO_REPEAT", "1"))
        self.per_char = int(os.environ.get("STANDIN_KOKORO_SAMPLES_PER_CHAR", "0"))

    def render(self, text, spans):
        """Samples for `text`, and (onset, end) in samples for each token span."""
        if self.mode in ("bursts", "tones"):
            return self._bursts(text, spans)
        if self.per_char:
            scale = self.per_char / self.speed
            count = int(round(scale * len(text)))
            times = [(int(s * scale), int(e * scale)) for s, e, _ in spans]
            return numpy.resize(numpy.array(self.values, dtype=numpy.float32), count), times
        samples = numpy.array(self.values * self.repeat, dtype=numpy.float32)
        step = samples.size / max(len(spans), 1)
        times = [(int(i * step), int((i + 1) * step)) for i in range(len(spans))]
        return samples, times

    def _bursts(self, text, spans):
        def length(seconds):
            return int(round(seconds * SAMPLE_RATE / self.speed))

        times = []
        position = length(LEAD_IN)
        for start, end, _ in spans:
            if _is_word(text[start:end]):
                onset = position
                position += length(BURST_BASE + BURST_PER_CHAR * (end - start))
                times.append((onset, position))
                position += length(WORD_GAP)
            else:
                times.append((position, position + length(PUNCTUATION)))
                position += length(PUNCTUATION)
        samples = numpy.zeros(position, dtype=numpy.float32)
        tones = _Tones() if self.mode == "tones" else None
        square = _square(max([e - s for s, e in times] + [0]))
        for (onset, end), (start, stop, _) in zip(times, spans):
            if _is_word(text[start:stop]):
                samples[onset:end] = square[:end - onset] if tones is None \
                    else tones.next_word(end - onset)
        return samples, times


class _Tones:
    """The harmonic tones of the "tones" voice, one per word in turn."""

    def __init__(self):
        self.pitches = [float(hz) for hz in env_list("STANDIN_KOKORO_TONES")] \
            or [120.0, 180.0, 240.0]
        self.words = 0

    def next_word(self, count):
        pitch = self.pitches[self.words % len(self.pitches)]
        self.words += 1
        phase = 2 * numpy.pi * pitch * numpy.arange(count) / SAMPLE_RATE
        return 0.25 * sum(numpy.sin(h * phase) / h for h in range(1, 5))


_tone = numpy.zeros(0, dtype=numpy.float32)


def _square(count):
    global _tone
    if _tone.size < count:
        periods = count // (2 * SQUARE_HALF_PERIOD) + 1
        one = numpy.repeat(numpy.array([0.5, -0.5], dtype=numpy.float32), SQUARE_HALF_PERIOD)
        _tone = numpy.tile(one, periods)
    return _tone


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
        renderer = _Renderer(speed)
        lines = re.split(split_pattern, text) if split_pattern else [text]
        for index, line in enumerate(lines):
            if not line.strip():
                continue
            if self.lang_code in "ab":
                for spans in english_chunks(line):
                    yield self._english(line, spans, renderer, index)
            else:
                for chunk in other_chunks(line):
                    yield self._other(chunk, renderer, index)

    def _english(self, line, spans, renderer, index):
        start, end = spans[0][0], spans[-1][1]
        chunk = line[start:end]
        local = [(s - start, e - start, w) for s, e, w in spans]
        tokens = [MToken(chunk[s:e], w) for s, e, w in local]
        phonemes = "".join(t.phonemes + t.whitespace for t in tokens).strip()
        output, times = self._work(chunk, local, renderer)
        if output is not None:
            for token, (onset, stop) in zip(tokens, times):
                token.start_ts = onset / SAMPLE_RATE
                token.end_ts = stop / SAMPLE_RATE
        return Result(chunk, phonemes, tokens, output, index)

    def _other(self, chunk, renderer, index):
        kept = chunk[:MAX_PHONEMES]
        if len(chunk) > MAX_PHONEMES:
            record("truncated", lang_code=self.lang_code, kept=kept, dropped=chunk[MAX_PHONEMES:])
        output, _times = self._work(kept, tokenize(kept), renderer)
        return Result(chunk, kept, None, output, index)

    def _work(self, text, spans, renderer):
        began = time.monotonic()
        time.sleep(env_float("STANDIN_KOKORO_CHUNK_DELAY")
                   + env_float("STANDIN_KOKORO_CHAR_COST") * len(text))
        pollute("synthesis")
        record("piece", text=text, start=began, end=time.monotonic())
        if self.model is False:
            return None, None
        samples, times = renderer.render(text, spans)
        return KModel.Output(_Tensor(samples)), times


def _ensure_spacy_model(name):
    try:
        import spacy.util
    except ImportError:
        return
    if not spacy.util.is_package(name):
        import spacy.cli

        spacy.cli.download(name)

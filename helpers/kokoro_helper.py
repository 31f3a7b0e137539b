#!/usr/bin/env python3
"""Kokoro helper of Earlobe & Larynx.

Runs inside ~/.venv/kokoro and does all the work with the Kokoro model for the
larynx libraries, which start it with one of these modes:

  check                               report missing python modules and espeak-ng
  download --json [model] VOICE...    fetch the model and voices into the Hugging Face cache
                                      (with the python packages their languages need)
  serve                               text to speech over binary frames on stdin/stdout
  selftest VOICE                      load the model and the voice, time one sentence:
                                      does read-aloud work here, and is it fast enough

Standard output carries nothing but the mode's format. Anything else,
including prints from the libraries we load, goes to standard error.
A failure is one line there, what failed and why; with
EARLOBE_LARYNX_DEBUG=1 in the environment its whole traceback follows.
"""

import bisect
import collections
import glob
import importlib
import json
import math
import os
import queue
import re
import shutil
import signal
import subprocess
import sys
import threading
import time
import traceback
import unicodedata

REPO_ID = "hexgrad/Kokoro-82M"
MODEL_FILES = ("config.json", "kokoro-v1_0.pth")
SAMPLE_RATE = 24000
CHANNELS = 1

# (import name, pip name), in the order the check reports them.
REQUIRED_MODULES = (("kokoro", "kokoro"), ("torch", "torch"))

LANGUAGE_CODES = "abefhipjz"
# English pipelines fetch a spaCy model the first time they are built.
ENGLISH_CODES = "ab"
SPACY_MODEL = "en_core_web_sm"

# A voice identifier: language letter, gender letter, underscore, a word.
# Checking the form keeps request text out of file names: an identifier
# becomes the repository path voices/<id>.pt.
VOICE_PATTERN = re.compile(r"[a-z]{2}_[a-z0-9_]+\Z")

# Audio goes out in pieces of at most a quarter second: the host starts
# playing sooner, and a "cancel" drops what is not yet written.
CHUNK_SAMPLES = SAMPLE_RATE // 4

# Once playback reports on a request, synthesis keeps at most this much audio
# ahead of it: enough to ride out a slow sentence, while a long text costs
# neither the memory of all its audio nor the work of a request that is
# about to be stopped.
MAX_AHEAD_SAMPLES = 20 * SAMPLE_RATE

# Pipelines other than English cut each chunk of text after 510 phonemes and
# drop the rest without a word. Longer sentences go to them in pieces of at
# most this many characters, cut after clause marks, else after blanks, else
# anywhere. Japanese and Mandarin write several phonemes per character.
PIECE_LIMITS = {"e": 200, "f": 200, "h": 200, "i": 200, "p": 200, "j": 80, "z": 80}
PIECE_CUTS = (re.compile(r"[^,;\u3001\uff0c\uff1b\uff1a]*[,;\u3001\uff0c\uff1b\uff1a]*"),
              re.compile(r"\S*\s*"))

# A sentence ends at . ! ? or … (with closing quotes or brackets) before
# white space; the full-width marks of Chinese and Japanese and the Hindi
# danda end one even without a space after them.
SENTENCE_END = re.compile(r"""[.!?\u2026]+["'\u201d\u2019\u00bb)\]]*(?=\s)"""
                          r"""|[\u3002\uff01\uff1f\u0964]+[\u300d\u300f\u201d\u2019\uff09]*""")
LINE = re.compile(r"[^\r\n]+")
# Characters a UTF-16 string holds as two units.
ASTRAL = re.compile("[\U00010000-\U0010ffff]")
# Word tokens are looked for in the text with quotes and apostrophes made
# plain, so a tokenizer that gives them back in another form still matches.
PLAIN_QUOTES = str.maketrans("\u2018\u2019\u201a\u201b\u201c\u201d\u201e\u201f",
                             "''''\"\"\"\"")
# A period after these words does not end a sentence: splitting there would
# put a pause into the middle of it.
ABBREVIATIONS = frozenset(("mr", "mrs", "ms", "dr", "prof", "sr", "jr", "st", "vs", "e.g",
                           "i.e", "cf", "fig", "approx", "dept", "mt"))

MIB = 1024 * 1024
# A "say" carries its whole text, a long book fits; a longer header line is
# skipped unread.
MAX_HEADER_LINE = 4 * MIB


def log(*parts):
    # Standard error may be gone with the host; a log line is never worth a crash.
    try:
        print("kokoro_helper:", *parts, file=sys.stderr, flush=True)
    except (OSError, ValueError):
        pass


def end_process(code):
    """Ends at once, from any thread, with every child killed.

    Used when the host is gone: synthesis may be inside a long model call or
    waiting for playback, and a child (pip fetching a language model) must
    not outlive us.
    """
    for children in glob.glob("/proc/self/task/*/children"):
        try:
            with open(children) as listing:
                pids = [int(pid) for pid in listing.read().split()]
        except (OSError, ValueError):
            continue
        for pid in pids:
            try:
                os.kill(pid, signal.SIGKILL)
            except OSError:
                pass
    os._exit(code)


def claim_stdout():
    """Keep the real standard output for our own format only.

    File descriptor 1 is moved to a private descriptor and replaced by
    standard error, so prints from python code (kokoro prints warnings),
    C libraries and child processes (spaCy runs pip) can never corrupt what
    the host parses.
    """
    try:
        sys.stdout.flush()
    except (AttributeError, OSError, ValueError):
        pass
    try:
        private_fd = os.dup(1)
        os.dup2(2, 1)
        stream = os.fdopen(private_fd, "wb")
    except OSError:
        # No usable descriptor 1 (the host closed it): write into the void.
        stream = open(os.devnull, "wb")
    sys.stdout = sys.stderr
    return stream


def encode_json(obj):
    return json.dumps(obj, separators=(",", ":"), ensure_ascii=True).encode("ascii")


def whole_number(value):
    """A JSON value read as an integer, or None when it is not an integral number."""
    if isinstance(value, bool):
        return None
    if isinstance(value, int):
        return value
    if isinstance(value, float) and value.is_integer():
        return int(value)
    return None


def error_text(error):
    text = str(error).strip()
    return "%s: %s" % (type(error).__name__, text) if text else type(error).__name__


def log_failure(what, error):
    """One readable line on standard error for a failure: what failed and the
    exception's message. The whole traceback follows only when the
    environment has EARLOBE_LARYNX_DEBUG=1."""
    log(what + ":", " ".join(error_text(error).split()))
    if os.environ.get("EARLOBE_LARYNX_DEBUG") == "1":
        log("".join(traceback.format_exception(type(error), error, error.__traceback__)).rstrip())


def valid_voice(voice):
    return isinstance(voice, str) and VOICE_PATTERN.match(voice) is not None \
        and voice[0] in LANGUAGE_CODES


class LineWriter:
    """One JSON object per line, flushed at once.

    A line that cannot be written means nobody reads any more: the work
    (a download, a self-test) ends with it."""

    def __init__(self, stream):
        self._stream = stream
        self._lock = threading.Lock()

    def emit(self, obj):
        with self._lock:
            try:
                self._stream.write(encode_json(obj) + b"\n")
                self._stream.flush()
            except (OSError, ValueError) as error:
                log("cannot write to standard output, stopping:", error_text(error))
                end_process(1)


# ---------------------------------------------------------------- check

def missing_modules():
    """Pip names of the modules that cannot be imported.

    Each module is really imported: an installed but broken package (a torch
    build that does not load, say) is as unusable as an absent one.
    """
    missing = []
    for module, pip_name in REQUIRED_MODULES:
        try:
            __import__(module)
        except BaseException as error:  # noqa: B902 - a module may raise anything
            if isinstance(error, KeyboardInterrupt):
                raise
            log("cannot import", module + ":", repr(error))
            missing.append(pip_name)
    return missing


def run_check(out):
    missing = missing_modules()
    if not missing:
        missing = missing_language_packages()
    espeak = shutil.which("espeak-ng") or ""
    LineWriter(out).emit({
        "available": not missing and bool(espeak),
        "missing": missing,
        "espeakNg": espeak,
    })
    return 0


# ---------------------------------------------------------------- language packages

# Japanese and Mandarin pipelines need python packages that kokoro does not
# bring, and Japanese a dictionary besides; without them every say with such a
# voice raises ImportError. They are installed into this environment with its
# own interpreter, so pip puts them where the helper runs.

def importable(module):
    try:
        importlib.import_module(module)
    except BaseException as error:  # noqa: B902 - a module may raise anything
        if isinstance(error, KeyboardInterrupt):
            raise
        return False
    return True


def unidic_dictionary_present():
    """unidic installs as a package; its dictionary is a separate download
    into the package's DICDIR, which the Japanese tagger reads mecabrc from."""
    try:
        import unidic
    except Exception:
        return False
    folder = getattr(unidic, "DICDIR", None)
    return isinstance(folder, str) and os.path.isfile(os.path.join(folder, "mecabrc"))


def run_python(*args):
    """Run this interpreter with args. On failure the last line it wrote to
    standard error (else to standard output) is the reason given."""
    command = [sys.executable] + list(args)
    result = subprocess.run(command, stdin=subprocess.DEVNULL, capture_output=True)
    output = result.stdout.decode("utf-8", "replace")
    errors = result.stderr.decode("utf-8", "replace")
    if os.environ.get("EARLOBE_LARYNX_DEBUG") == "1":
        for text in (output, errors):
            if text.strip():
                log(text.rstrip())
    if result.returncode != 0:
        reason = errors if errors.strip() else output
        lines = [line.strip() for line in reason.splitlines() if line.strip()]
        raise RuntimeError("python %s failed (exit status %d)%s"
                           % (" ".join(args), result.returncode,
                              ": " + lines[-1] if lines else ""))


class PackageStep:
    """One thing a language needs: shown to the user as name, reported by the
    check under the pip name that brings it."""

    def __init__(self, name, pip_name, present, install):
        self.name = name
        self.pip_name = pip_name
        self.present = present
        self._install = install

    def run(self):
        self._install()
        importlib.invalidate_caches()
        if not self.present():
            raise RuntimeError("%s is still not usable after its installation" % self.name)


LANGUAGE_PACKAGES = {
    "j": (
        PackageStep("misaki[ja]", "misaki[ja]", lambda: importable("misaki.ja"),
                    lambda: run_python("-m", "pip", "install", "misaki[ja]")),
        PackageStep("unidic dictionary", "misaki[ja]", unidic_dictionary_present,
                    lambda: run_python("-m", "unidic", "download")),
    ),
    "z": (
        PackageStep("misaki[zh]", "misaki[zh]", lambda: importable("misaki.zh"),
                    lambda: run_python("-m", "pip", "install", "misaki[zh]")),
    ),
}


def hub_cache_dir():
    if os.environ.get("HF_HUB_CACHE"):
        return os.environ["HF_HUB_CACHE"]
    if os.environ.get("HF_HOME"):
        return os.path.join(os.environ["HF_HOME"], "hub")
    return os.path.join(os.path.expanduser("~"), ".cache", "huggingface", "hub")


def cached_voice_languages():
    """Language letters of the voices in the cache, looked up on disk only."""
    repo = os.path.join(hub_cache_dir(), "models--" + REPO_ID.replace("/", "--"))
    pattern = os.path.join(glob.escape(repo), "snapshots", "*", "voices", "*.pt")
    languages = set()
    for path in glob.glob(pattern):
        voice = os.path.basename(path)[:-len(".pt")]
        if valid_voice(voice) and os.path.isfile(path):
            languages.add(voice[0])
    return languages


def missing_steps(languages):
    return [step for code in LANGUAGE_CODES if code in languages
            for step in LANGUAGE_PACKAGES.get(code, ()) if not step.present()]


def missing_language_packages():
    """Pip names of what the cached voices' languages still lack."""
    missing = []
    for step in missing_steps(cached_voice_languages()):
        if step.pip_name not in missing:
            log("cached voices need", step.name)
            missing.append(step.pip_name)
    return missing


# ---------------------------------------------------------------- download

def prepare_language(code):
    """Fetch what a language's pipeline would otherwise fetch at its first use.

    English pipelines install the spaCy model when it is missing; doing it
    here, while the user watches a download, keeps the first "say" from
    waiting on the network.
    """
    try:
        import spacy.util
    except ImportError:
        # Without spaCy, building a pipeline fetches whatever it needs instead.
        from kokoro import KPipeline

        KPipeline(lang_code=code, repo_id=REPO_ID, model=False)
        return
    if spacy.util.is_package(SPACY_MODEL):
        return
    import spacy.cli

    try:
        spacy.cli.download(SPACY_MODEL)
    except SystemExit as stop:
        # spaCy's command-line code exits when pip or its server fails.
        if stop.code in (None, 0):
            return
        raise RuntimeError("spaCy could not install %s (exit status %s)"
                           % (SPACY_MODEL, stop.code)) from None


def run_download(out, args):
    writer = LineWriter(out)
    emit = writer.emit
    want_model = False
    voices = []
    for arg in args:
        if arg == "--json":
            continue  # JSON is the only output this mode has
        if arg == "model":
            want_model = True
        elif arg.startswith("-"):
            log("unknown option:", arg)
            log("usage: kokoro_helper.py download --json [model] VOICE...")
            return 2
        else:
            voices.append(arg)

    # Each item: (name shown to the user, action or None for an invalid voice).
    items = []
    if want_model:
        items.extend((name, ("file", name)) for name in MODEL_FILES)
    # A language's packages come before its voices: a voice is only usable with them.
    languages = {voice[0] for voice in voices if valid_voice(voice)}
    items.extend((step.name, ("package", step)) for step in missing_steps(languages))
    english = None
    for voice in voices:
        if valid_voice(voice):
            items.append(("voices/%s.pt" % voice, ("file", "voices/%s.pt" % voice)))
            if voice[0] in ENGLISH_CODES and english is None:
                english = voice[0]
        else:
            items.append((voice, None))
    if english is not None:
        # American and British pipelines share the one spaCy model.
        items.append((SPACY_MODEL, ("language", english)))

    hub = None
    hub_error = None
    if any(action and action[0] == "file" for _name, action in items):
        try:
            import huggingface_hub as hub
        except Exception as error:
            hub_error = error
            log("cannot import huggingface_hub:", repr(error))

    total = len(items)
    failures = []
    for index, (name, action) in enumerate(items, start=1):
        emit({"type": "downloading", "file": name, "index": index - 1, "total": total})
        try:
            if action is None:
                raise ValueError("Invalid voice identifier: %r" % name)
            kind, target = action
            if kind == "file":
                if hub is None:
                    raise RuntimeError("The python module huggingface_hub is not installed (%s)"
                                       % error_text(hub_error))
                hub.hf_hub_download(repo_id=REPO_ID, filename=target)
            elif kind == "package":
                target.run()
            else:
                prepare_language(target)
        except Exception as error:
            message = error_text(error)
            log_failure("unable to download " + name, error)
            failures.append("%s (%s)" % (name, message))
            emit({"type": "error", "file": name, "message": message,
                  "index": index, "total": total})
            continue
        emit({"type": "progress", "file": name, "index": index, "total": total})

    emit({"type": "finished", "total": total, "failed": len(failures)})
    if failures:
        log("Unable to download: " + "; ".join(failures))
        return 1
    return 0


# ---------------------------------------------------------------- serve: frames

class FrameWriter:
    def __init__(self, stream):
        self._stream = stream
        self.lock = threading.Lock()

    def send(self, header, payload=b""):
        if payload:
            header = dict(header, size=len(payload))
        data = encode_json(header) + b"\n" + payload
        with self.lock:
            try:
                self._stream.write(data)
                self._stream.flush()
            except (OSError, ValueError) as error:
                log("cannot write a reply, stopping:", error_text(error))
                end_process(1)


def payload_size(header):
    size = whole_number(header.get("size"))
    return size if size is not None and size > 0 else 0


class BadLine(Exception):
    """A header line that cannot be a command, with why."""


def parse_header(line):
    """The header object of a line, None when it is not a JSON object.

    Raises BadLine for a line nested too deeply for the parser.
    """
    try:
        header = json.loads(line.decode("utf-8"))
    except RecursionError:
        raise BadLine("nested too deeply") from None
    except ValueError:
        return None
    return header if isinstance(header, dict) else None


def skip_line(stream):
    """Reads up to the end of the line, in pieces; False at the end of input."""
    while True:
        piece = stream.readline(MIB)
        if piece.endswith(b"\n"):
            return True
        if not piece:
            return False


def read_frames(stream):
    """Yield each header: a dict, None for a line that is not a JSON object,
    or a BadLine for a line too long or too deep to parse.

    Payloads are read and dropped: no command carries one.
    """
    while True:
        line = stream.readline(MAX_HEADER_LINE + 1)
        if len(line) > MAX_HEADER_LINE:
            if not line.endswith(b"\n") and not skip_line(stream):
                return
            yield BadLine("too long (over %d bytes)" % MAX_HEADER_LINE)
            continue
        if not line.endswith(b"\n"):
            return
        try:
            header = parse_header(line[:-1])
        except BadLine as error:
            yield error
            continue
        if header is None:
            yield None
            continue
        remaining = payload_size(header)
        while remaining > 0:
            piece = stream.read(min(remaining, MIB))
            if not piece:
                return
            remaining -= len(piece)
        yield header


class Request:
    """One say. `pitch` is in semitones, None when the say's value was unusable."""

    def __init__(self, rid, text, voice, speed, sample_format, pitch=0.0):
        self.id = rid
        self.text = text
        self.voice = voice
        self.speed = speed
        self.sample_format = sample_format
        self.pitch = pitch


class RequestError(Exception):
    pass


def speed_value(value):
    if isinstance(value, bool) or not isinstance(value, (int, float)) \
            or not math.isfinite(value) or value <= 0:
        return 1.0
    return min(max(float(value), 0.5), 2.0)


def encode_samples(samples, sample_format):
    if sample_format == "float":
        return samples.astype("<f4").tobytes()
    return (samples * 32767).clip(-32768, 32767).astype("<i2").tobytes()


# ---------------------------------------------------------------- serve: text
#
# Text positions are indexes into the request's text as python counts them
# (code points) until a mark is sent, which gives them in UTF-16 units.

def ends_sentence(line, match):
    """False for a period after an abbreviation or an initial (J. R. R. Tolkien)."""
    if match.group() != ".":
        return True
    words = line[:match.start()].split()
    if not words:
        return True
    word = words[-1].lstrip("\"'([\u201c\u2018")
    if len(word) == 1 and word.isalpha() and word.isupper() and word != "I":
        return False
    return word.lower() not in ABBREVIATIONS


def trimmed(text, start, end):
    """The span start:end of `text` without the white space at its ends."""
    part = text[start:end]
    stripped = part.lstrip()
    start += len(part) - len(stripped)
    return start, start + len(stripped.rstrip())


def split_sentences(text):
    """(start, end) of each sentence of `text`, trimmed, in order; lines never share one."""
    spans = []
    for line in LINE.finditer(text):
        content = line.group()
        start = 0
        for match in SENTENCE_END.finditer(content):
            if ends_sentence(content, match):
                spans.append(trimmed(text, line.start() + start, line.start() + match.end()))
                start = match.end()
        spans.append(trimmed(text, line.start() + start, line.end()))
    return [(start, end) for start, end in spans if end > start]


def units(text, start, end, limit, level=0):
    """Consecutive spans covering start:end, none longer than `limit`: cut after
    clause marks, then after blanks, and as a last resort every `limit` characters."""
    if end - start <= limit:
        yield start, end
        return
    if level == len(PIECE_CUTS):
        while start < end:
            cut = min(start + limit, end)
            # Keep a letter and its accents together where we can.
            while start + 1 < cut < end and unicodedata.combining(text[cut]):
                cut -= 1
            yield start, cut
            start = cut
        return
    for match in PIECE_CUTS[level].finditer(text, start, end):
        if match.end() > match.start():
            yield from units(text, match.start(), match.end(), limit, level + 1)


def sentence_pieces(text, start, end, limit):
    """The sentence start:end as trimmed pieces of at most `limit` characters,
    each as long as the cuts allow."""
    pieces = []
    piece_start = piece_end = start
    for unit_start, unit_end in units(text, start, end, limit):
        if unit_end - piece_start > limit and piece_end > piece_start:
            pieces.append(trimmed(text, piece_start, piece_end))
            piece_start = unit_start
        piece_end = unit_end
    pieces.append(trimmed(text, piece_start, piece_end))
    return [(s, e) for s, e in pieces if e > s]


class Utf16Offsets:
    """Converts python string indexes of one text into UTF-16 offsets."""

    def __init__(self, text):
        self._astral = [match.start() for match in ASTRAL.finditer(text)]

    def __call__(self, index):
        return index + bisect.bisect_left(self._astral, index)


class WordFinder:
    """Finds the words of a pipeline's tokens in one stretch of the text.

    Tokens are looked for from where the last one was found, so a word that
    occurs twice is placed right. A token the text does not hold as such
    (a tokenizer may rewrite it) gets no mark and moves nothing.
    """

    def __init__(self, plain_text, start, end):
        self._text = plain_text
        self._cursor = start
        self._end = end

    def marks(self, result, size):
        """(sample in the result's audio, "word", start, end) for each timed word."""
        marks = []
        for token in getattr(result, "tokens", None) or ():
            text = getattr(token, "text", None)
            start_ts = getattr(token, "start_ts", None)
            if not isinstance(text, str) or not isinstance(start_ts, (int, float)) \
                    or not any(char.isalnum() for char in text):
                continue
            found = self._text.find(text.translate(PLAIN_QUOTES), self._cursor, self._end)
            if found < 0:
                continue
            self._cursor = found + len(text)
            sample = min(max(int(round(start_ts * SAMPLE_RATE)), 0), size - 1)
            marks.append((sample, "word", found, found + len(text)))
        return marks


# ---------------------------------------------------------------- serve: model

def cached_file(name):
    """The path of a file of the repository in the Hugging Face cache, or None."""
    try:
        import huggingface_hub

        path = huggingface_hub.try_to_load_from_cache(REPO_ID, name)
    except Exception:
        return None
    return path if isinstance(path, str) and os.path.isfile(path) else None


class Synthesizer:
    """Loads the model once and keeps one pipeline per language; main thread only."""

    def __init__(self):
        self._model = None
        self._pipelines = {}

    @property
    def model(self):
        return self._model

    def load(self):
        if self._model is not None:
            return
        import kokoro

        model_class = getattr(kokoro, "KModel", None)
        if model_class is None:
            # Without KModel each pipeline loads a model of its own.
            self._model = True
            return
        # KModel looks both files up on the hub unless it is given them:
        # a network round trip at every start, and a wait when offline.
        config, weights = (cached_file(name) for name in MODEL_FILES)
        if config and weights:
            model = model_class(repo_id=REPO_ID, config=config, model=weights)
        else:
            model = model_class(repo_id=REPO_ID)
        to_eval = getattr(model, "eval", None)
        if callable(to_eval):
            model = to_eval() or model
        self._model = model

    def pipeline(self, code):
        pipeline = self._pipelines.get(code)
        if pipeline is None:
            from kokoro import KPipeline

            # repo_id must always be given: without it kokoro prints a warning.
            pipeline = KPipeline(lang_code=code, repo_id=REPO_ID, model=self._model)
            self._pipelines[code] = pipeline
        return pipeline

    @staticmethod
    def voice_source(voice):
        # A voice already in the cache is passed as its file, which spares a
        # network look-up on every request.
        return cached_file("voices/%s.pt" % voice) or voice

    def segments(self, request):
        """Yield the request's audio as (float samples, marks), result by result.

        A mark is (sample within those samples, kind, start, end). Each
        sentence, or piece of one, is a pipeline call of its own, and the next
        result is computed only when the caller asks for more: a caller that
        stops asking stops synthesis.
        """
        self.load()
        code = request.voice[0]
        pipeline = self.pipeline(code)
        voice = self.voice_source(request.voice)
        text = request.text
        plain_text = text.translate(PLAIN_QUOTES)
        limit = PIECE_LIMITS.get(code)
        with NoGradients():
            for start, end in split_sentences(text):
                sentence = (0, "sentence", start, end)
                pieces = [(start, end)] if limit is None else sentence_pieces(text, start, end, limit)
                for piece_start, piece_end in pieces:
                    words = WordFinder(plain_text, piece_start, piece_end)
                    for result in pipeline(text[piece_start:piece_end], voice=voice,
                                           speed=request.speed):
                        samples = audio_samples(result)
                        if samples is None:
                            continue
                        marks = [sentence] if sentence else []
                        sentence = None
                        yield samples, marks + words.marks(result, samples.size)


class NoGradients:
    """torch.no_grad() when torch has it: synthesis needs no gradients."""

    def __enter__(self):
        self._context = None
        try:
            import torch

            self._context = torch.no_grad()
        except Exception:
            return self
        self._context.__enter__()
        return self

    def __exit__(self, *exc):
        if self._context is not None:
            self._context.__exit__(*exc)
        return False


def audio_samples(result):
    """The float samples of one pipeline result, or None when it has none."""
    import numpy

    _graphemes, _phonemes, audio = result
    if audio is None:
        return None
    if hasattr(audio, "numpy"):
        audio = audio.detach().cpu().numpy() if hasattr(audio, "detach") else audio.numpy()
    samples = numpy.asarray(audio, dtype=numpy.float32).reshape(-1)
    return samples if samples.size else None


# ---------------------------------------------------------------- serve: pitch
#
# Kokoro has no pitch control. Shifting by the ratio r = 2^(semitones / 12)
# is done in two stages: a WSOLA time-stretch by r (Hann grains overlap-added
# at a fixed hop, each taken from near its nominal place where it best
# continues the grain before it, so periods line up instead of cancelling),
# then reading the stretched audio r times faster through a band-limited
# interpolator. Output sample n stands for input sample n: the audio keeps
# its length and every mark its sample. Both stages keep their state from one
# chunk to the next, so a chunk join is no join at all in the sound.

PITCH_LIMIT = 6  # semitones either way

# 15 ms hop, 30 ms grains: at least two periods of the deepest voices.
STRETCH_HOP = 360
STRETCH_WINDOW = 2 * STRETCH_HOP
# How far a grain may move to line up: half a period of a 67 Hz voice.
STRETCH_TOLERANCE = 180
# A power of two that holds a grain's correlation with its search region
# without wrapping around.
CORRELATION_SIZE = 1 << (2 * STRETCH_WINDOW + 2 * STRETCH_TOLERANCE).bit_length()
# The interpolator weighs this many input samples on each side of a point.
RESAMPLE_HALF_TAPS = 12


def pitch_value(value):
    """The semitones of a say's "pitch", or None when it is not a number in range."""
    if isinstance(value, bool) or not isinstance(value, (int, float)) \
            or not math.isfinite(value) or abs(value) > PITCH_LIMIT:
        return None
    return float(value)


class Stretcher:
    """WSOLA: makes output sample n from input near n / ratio."""

    def __init__(self, ratio):
        import numpy

        self._numpy = numpy
        self._ratio = ratio
        self._window = (0.5 - 0.5 * numpy.cos(2 * numpy.pi * numpy.arange(STRETCH_WINDOW)
                                              / STRETCH_WINDOW)).astype(numpy.float32)
        # Two grains before output sample 0 cover the interpolator's first taps.
        self._frame = -2
        self.first_output = self._frame * STRETCH_HOP
        self._output = numpy.zeros(0, dtype=numpy.float32)
        self._output_start = self.first_output
        # Silence stands for the input before the audio starts.
        self._input_start = min(self._nominal(self._frame) - STRETCH_TOLERANCE, 0)
        self._input = numpy.zeros(-self._input_start, dtype=numpy.float32)
        self._previous = None

    def _nominal(self, frame):
        """Where the frame's grain starts in the input when it needs no moving."""
        centre = frame * STRETCH_HOP + STRETCH_WINDOW / 2
        return int(math.floor(centre / self._ratio - STRETCH_WINDOW / 2 + 0.5))

    def push(self, samples):
        """Takes input samples; returns the output that is now complete."""
        numpy = self._numpy
        self._input = numpy.concatenate((self._input, samples))
        done = self._output_start
        while self._can_make(self._frame):
            self._add_grain(self._frame)
            self._frame += 1
        ready = self._frame * STRETCH_HOP - done
        complete = self._output[:ready]
        self._output = self._output[ready:]
        self._output_start += ready
        self._drop_used_input()
        return complete

    def _input_end(self):
        return self._input_start + self._input.size

    def _can_make(self, frame):
        needed = self._nominal(frame) + STRETCH_TOLERANCE + STRETCH_WINDOW
        if self._previous is not None:
            needed = max(needed, self._previous + STRETCH_HOP + STRETCH_WINDOW)
        return needed <= self._input_end()

    def _span(self, start, length):
        offset = start - self._input_start
        return self._input[offset:offset + length]

    def _add_grain(self, frame):
        numpy = self._numpy
        start = self._nominal(frame)
        if self._previous is not None:
            start = self._aligned(start)
        self._previous = start
        grain = self._span(start, STRETCH_WINDOW) * self._window
        position = frame * STRETCH_HOP - self._output_start
        missing = position + STRETCH_WINDOW - self._output.size
        if missing > 0:
            self._output = numpy.concatenate((self._output,
                                              numpy.zeros(missing, dtype=numpy.float32)))
        self._output[position:position + STRETCH_WINDOW] += grain

    def _aligned(self, nominal):
        """The start near `nominal` whose grain most resembles what would
        follow the previous grain in the input."""
        numpy = self._numpy
        follower = self._span(self._previous + STRETCH_HOP, STRETCH_WINDOW)
        region = self._span(nominal - STRETCH_TOLERANCE, STRETCH_WINDOW + 2 * STRETCH_TOLERANCE)
        if not follower.any() or not region.any():
            return nominal
        # The correlation at every offset at once, through the FFT: a fraction
        # of the cost of sliding the grain along the region.
        size = CORRELATION_SIZE
        similarity = numpy.fft.irfft(numpy.fft.rfft(region, size)
                                     * numpy.conj(numpy.fft.rfft(follower, size)),
                                     size)[:2 * STRETCH_TOLERANCE + 1]
        power = numpy.concatenate(([0.0], numpy.cumsum(region.astype(numpy.float64) ** 2)))
        energy = power[STRETCH_WINDOW:] - power[:-STRETCH_WINDOW]
        score = similarity / numpy.sqrt(numpy.maximum(energy, 1e-12))
        return nominal - STRETCH_TOLERANCE + int(numpy.argmax(score))

    def _drop_used_input(self):
        keep_from = self._nominal(self._frame) - STRETCH_TOLERANCE
        if self._previous is not None:
            keep_from = min(keep_from, self._previous + STRETCH_HOP)
        unused = keep_from - self._input_start
        if unused > 0:
            self._input = self._input[unused:]
            self._input_start = keep_from


class Resampler:
    """Reads a signal at points n * ratio through a windowed-sinc low-pass,
    whose cut-off follows the ratio so that reading faster does not alias."""

    def __init__(self, ratio, first_input):
        import numpy

        self._numpy = numpy
        self._ratio = ratio
        self._cutoff = min(1.0, 1.0 / ratio)
        self._taps = numpy.arange(1 - RESAMPLE_HALF_TAPS, RESAMPLE_HALF_TAPS + 1)
        self._input = numpy.zeros(0, dtype=numpy.float32)
        self._input_start = first_input
        self._next = 0

    def push(self, samples):
        """Takes input samples; returns the output points they complete."""
        numpy = self._numpy
        self._input = numpy.concatenate((self._input, samples))
        end = self._input_start + self._input.size
        # Point n needs input up to floor(n * ratio) + RESAMPLE_HALF_TAPS.
        stop = max(int(math.floor((end - RESAMPLE_HALF_TAPS) / self._ratio)), self._next)
        while stop > self._next and \
                math.floor((stop - 1) * self._ratio) + RESAMPLE_HALF_TAPS >= end:
            stop -= 1
        points = numpy.arange(self._next, stop) * self._ratio
        self._next = stop
        output = self._interpolate(points)
        unused = int(math.floor(stop * self._ratio)) - RESAMPLE_HALF_TAPS + 1 - self._input_start
        if unused > 0:
            self._input = self._input[unused:]
            self._input_start += unused
        return output

    def _interpolate(self, points):
        numpy = self._numpy
        base = numpy.floor(points)
        distance = (points - base)[:, None] - self._taps[None, :]
        kernel = numpy.sinc(self._cutoff * distance) \
            * (0.5 + 0.5 * numpy.cos(numpy.pi * distance / RESAMPLE_HALF_TAPS))
        kernel /= kernel.sum(axis=1, keepdims=True)
        index = (base.astype(numpy.int64) - self._input_start)[:, None] + self._taps[None, :]
        return (self._input[index] * kernel).sum(axis=1).astype(numpy.float32)


class PitchShifter:
    """Shifts a stream of samples by some semitones; over the whole stream
    as many samples come out as went in, each in its place."""

    def __init__(self, semitones):
        ratio = 2.0 ** (semitones / 12.0)
        self._stretcher = Stretcher(ratio)
        self._resampler = Resampler(ratio, self._stretcher.first_output)
        self._taken = 0
        self._given = 0

    def push(self, samples):
        self._taken += samples.size
        return self._pass(samples)

    def finish(self):
        """The rest of the output, once the input has ended."""
        import numpy

        pieces = []
        silence = numpy.zeros(STRETCH_WINDOW + 2 * STRETCH_TOLERANCE, dtype=numpy.float32)
        while self._given < self._taken:
            pieces.append(self._pass(silence))
        rest = numpy.concatenate(pieces) if pieces else silence[:0]
        return rest[:rest.size - (self._given - self._taken)]

    def _pass(self, samples):
        output = self._resampler.push(self._stretcher.push(samples))
        self._given += output.size
        return output


# ---------------------------------------------------------------- serve: requests

class KokoroServer:
    """A reader thread takes commands so that "cancel", "progress" and "quit"
    are seen while the main thread synthesizes.

    State shared by the two threads, guarded by `condition`: the requests
    received and not yet finished, those of them cancelled, and for each
    that playback reports on, the highest sample it reported as played.
    """

    def __init__(self, writer, stdin):
        self.writer = writer
        self.stdin = stdin
        self.requests = queue.Queue()
        self.condition = threading.Condition()
        self.live = set()
        self.cancelled = set()
        self.played = {}
        self.synthesizer = Synthesizer()
        self.missing = []

    def start(self):
        self.writer.send({"type": "ready"})
        threading.Thread(target=self._read, name="commands", daemon=True).start()

    # --- reader thread

    def _read(self):
        try:
            for header in read_frames(self.stdin):
                if header is None:
                    log("skipping a header line that is not a JSON object")
                    continue
                if isinstance(header, BadLine):
                    log("skipping a header line %s" % header)
                    self.writer.send({"type": "error",
                                      "message": "A command line was skipped: it is %s." % header})
                    continue
                command = header.get("cmd")
                if command == "quit":
                    break
                if command == "say":
                    self._say(header)
                elif command == "cancel":
                    self._cancel(header)
                elif command == "progress":
                    self._progress(header)
                else:
                    log("unknown command:", repr(command))
        except Exception as error:
            log_failure("reading commands failed", error)
        self._exit()

    def _say(self, header):
        rid = whole_number(header.get("id"))
        if rid is None:
            self.writer.send({"type": "error", "message": "A say command needs an integer id."})
            return
        text = header.get("text")
        sample_format = header.get("sampleFormat")
        with self.condition:
            self.live.add(rid)
        self.requests.put(Request(
            rid,
            text if isinstance(text, str) else "",
            header.get("voice", "af_heart"),
            speed_value(header.get("speed", 1.0)),
            "float" if sample_format == "float" else "int16",
            pitch_value(header.get("pitch", 0)),
        ))

    def _cancel(self, header):
        rid = whole_number(header.get("id"))
        with self.condition:
            # The engine also cancels requests that are done on our side.
            if rid in self.live:
                self.cancelled.add(rid)
                self.condition.notify_all()

    def _progress(self, header):
        rid = whole_number(header.get("id"))
        played = whole_number(header.get("played"))
        if played is None:
            log("skipping a progress command without an integer played:", header)
            return
        with self.condition:
            if rid in self.live:
                self.played[rid] = max(played, self.played.get(rid, played))
                self.condition.notify_all()

    def _exit(self):
        # Synthesis may be inside a long model call or waiting for playback;
        # nobody waits for it. Wait briefly for the writer's lock so no frame
        # is cut in half.
        self.writer.lock.acquire(timeout=0.5)
        end_process(0)

    # --- main thread

    def serve(self):
        self.start()
        try:
            self.missing = missing_modules()
            if not self.missing:
                self.synthesizer.load()
        except Exception as error:
            # Loading is tried again with the next request, which reports it.
            log_failure("loading the model failed", error)
        while True:
            request = self.requests.get()
            if not self._is_cancelled(request.id):
                self._speak(request)
            self._forget(request.id)

    def _is_cancelled(self, rid):
        with self.condition:
            return rid in self.cancelled

    def _forget(self, rid):
        with self.condition:
            self.live.discard(rid)
            self.cancelled.discard(rid)
            self.played.pop(rid, None)

    def hold(self, rid, sent):
        """Wait while playback of the request lags too far behind what was sent.

        Returns False when the request has been cancelled.
        """
        with self.condition:
            while rid not in self.cancelled and rid in self.played \
                    and sent - self.played[rid] > MAX_AHEAD_SAMPLES:
                self.condition.wait()
            return rid not in self.cancelled

    def _speak(self, request):
        rid = request.id
        message = None
        try:
            if self.missing:
                raise RequestError("Kokoro is not installed. Missing: %s" % ", ".join(self.missing))
            if not valid_voice(request.voice):
                raise RequestError("Invalid voice: %r" % request.voice)
            if request.pitch is None:
                raise RequestError("Invalid pitch: a number of semitones from %d to %d is needed."
                                   % (-PITCH_LIMIT, PITCH_LIMIT))
            self.writer.send({"type": "format", "id": rid, "sampleRate": SAMPLE_RATE,
                              "channels": CHANNELS, "sampleFormat": request.sample_format})
            AudioStream(self, request).run()
        except RequestError as error:
            message = str(error)
        except Exception as error:
            log_failure("synthesis failed", error)
            message = error_text(error)
        # After a cancel the host has let go of the request: it gets nothing more.
        if self._is_cancelled(rid):
            return
        if message is None:
            self.writer.send({"type": "end", "id": rid})
        else:
            self.writer.send({"type": "error", "id": rid, "message": message})


class AudioStream:
    """Sends one request's audio in chunks, each mark just before the chunk
    that holds its sample.

    With a pitch shift the shifted audio lags the synthesized audio a little
    on its way out, but its samples keep their places: a mark's sample counts
    synthesized samples, and the shifter's last output comes when synthesis
    ends.
    """

    def __init__(self, server, request):
        self._server = server
        self._request = request
        self._utf16 = Utf16Offsets(request.text)
        self._marks = collections.deque()
        self._last_mark = 0
        self._shifter = PitchShifter(request.pitch) if request.pitch else None
        self._synthesized = 0
        self.sent = 0

    def run(self):
        segments = self._server.synthesizer.segments(self._request)
        try:
            while self._server.hold(self._request.id, self.sent):
                segment = next(segments, None)
                if segment is None:
                    if self._shifter is not None:
                        self._send(self._shifter.finish())
                    return
                samples, marks = segment
                self._queue_marks(marks)
                if not self._send_samples(samples):
                    return
        finally:
            segments.close()

    def _queue_marks(self, marks):
        for offset, kind, start, end in marks:
            sample = max(self._synthesized + offset, self._last_mark)
            self._last_mark = sample
            first = self._utf16(start)
            self._marks.append({"type": "mark", "id": self._request.id, "kind": kind,
                                "start": first, "length": self._utf16(end) - first,
                                "sample": sample})

    def _send_samples(self, samples):
        for start in range(0, samples.size, CHUNK_SAMPLES):
            if not self._server.hold(self._request.id, self.sent):
                return False
            piece = samples[start:start + CHUNK_SAMPLES]
            self._synthesized += piece.size
            self._send(piece if self._shifter is None else self._shifter.push(piece))
        return True

    def _send(self, samples):
        rid = self._request.id
        writer = self._server.writer
        for start in range(0, samples.size, CHUNK_SAMPLES):
            chunk = samples[start:start + CHUNK_SAMPLES]
            end = self.sent + chunk.size
            while self._marks and self._marks[0]["sample"] < end:
                writer.send(self._marks.popleft())
            writer.send({"type": "chunk", "id": rid},
                        encode_samples(chunk, self._request.sample_format))
            self.sent = end


def run_serve(out):
    server = KokoroServer(FrameWriter(out), sys.stdin.buffer)
    server.serve()
    return 0


# ---------------------------------------------------------------- self-test
#
# Answers "does read-aloud work here, and how fast": the model and the
# voice's pipeline loaded as serve loads them, then one sentence of about
# five seconds of speech synthesized the way serve synthesizes a request.
# Everything it needs must already be on disk: offline, it says what to
# download instead of fetching it.

# The verdict on the real-time factor (synthesis time over audio time).
# Below 1 synthesis keeps ahead of playback; the margin below SMOOTH_RTF
# absorbs a sentence that is slower than average or a busy computer.
SMOOTH_RTF = 0.7
TIGHT_RTF = 1.0

WARM_UP_PHRASES = {
    "a": "Hello there.",
    "b": "Hello there.",
    "e": "Hola a todos.",
    "f": "Bonjour à tous.",
    "h": "नमस्ते दोस्तों।",
    "i": "Ciao a tutti.",
    "j": "こんにちは。",
    "p": "Olá a todos.",
    "z": "大家好。",
}
TEST_SENTENCES = {
    "a": "The quick brown fox jumps over the lazy dog, and then it takes a short nap "
         "in the warm afternoon sun.",
    "b": "Good morning! The kettle is on, and there is fresh bread and marmalade on the "
         "table for everyone.",
    "e": "El zorro marrón salta sobre el perro perezoso y luego descansa un rato bajo el "
         "sol de la tarde.",
    "f": "Le renard brun saute par-dessus le chien paresseux, puis il fait une courte "
         "sieste au soleil de l'après-midi.",
    "h": "भूरी लोमड़ी आलसी कुत्ते के ऊपर से कूदती है और फिर दोपहर की धूप में थोड़ी देर "
         "आराम करती है।",
    "i": "La volpe marrone salta sopra il cane pigro e poi si riposa un po' al sole del "
         "pomeriggio.",
    "j": "茶色の狐がのんびりした犬を飛び越えて、それから午後の日差しの中で少し昼寝をします。",
    "p": "A raposa marrom pula sobre o cachorro preguiçoso e depois descansa um pouco ao sol "
         "da tarde.",
    "z": "敏捷的棕色狐狸跳过了懒狗，然后在午后温暖的阳光下小睡了一会儿。",
}


class SelfTestProblem(Exception):
    """Why the voice cannot be tested, as a result line says it."""

    def __init__(self, problem, message, missing=None):
        super().__init__(message)
        self.problem = problem
        self.missing = missing


def spacy_model_missing(code):
    """English pipelines install the spaCy model over the network when it is absent,
    whatever HF_HUB_OFFLINE says; the voice download installs it beforehand."""
    if code not in ENGLISH_CODES:
        return False
    try:
        import spacy.util
    except Exception:
        return False
    return not spacy.util.is_package(SPACY_MODEL)


def check_ready(voice):
    """Raises SelfTestProblem when the voice cannot work without something more."""
    if not valid_voice(voice):
        raise SelfTestProblem("badVoice", "There is no kokoro voice %r." % (voice,))
    missing = missing_modules()
    if missing:
        raise SelfTestProblem("notInstalled", "Kokoro is not installed. Missing: %s"
                              % ", ".join(missing), missing)
    code = voice[0]
    packages = []
    for step in missing_steps({code}):
        if step.pip_name not in packages:
            packages.append(step.pip_name)
    if spacy_model_missing(code):
        packages.append(SPACY_MODEL)
    if packages:
        raise SelfTestProblem("missingPackages", "The voice %s needs python packages that are "
                              "not installed: %s" % (voice, ", ".join(packages)), packages)
    absent = [name for name in MODEL_FILES + ("voices/%s.pt" % voice,) if not cached_file(name)]
    if absent:
        raise SelfTestProblem("notDownloaded", "The voice %s is not downloaded (missing: %s)."
                              % (voice, ", ".join(absent)))


def model_device(model):
    """"cpu", "cuda", ... where the model runs; "cpu" when it does not say."""
    device = getattr(model, "device", None)
    name = str(getattr(device, "type", device) or "").split(":")[0]
    return name or "cpu"


def synthesized_samples(synthesizer, voice, text):
    request = Request(0, text, voice, 1.0, "float")
    return sum(samples.size for samples, _marks in synthesizer.segments(request))


def rtf_verdict(rtf):
    if rtf < SMOOTH_RTF:
        return "smooth"
    if rtf < TIGHT_RTF:
        return "tight"
    return "slow"


def self_test(emit, voice):
    """The result line of the self-test; progress goes to `emit` on the way."""
    check_ready(voice)
    code = voice[0]
    emit({"type": "stage", "stage": "load", "voice": voice})
    synthesizer = Synthesizer()
    began = time.monotonic()
    synthesizer.load()
    synthesizer.pipeline(code)
    load_seconds = time.monotonic() - began
    synthesized_samples(synthesizer, voice, WARM_UP_PHRASES[code])
    emit({"type": "stage", "stage": "time", "voice": voice})
    began = time.monotonic()
    samples = synthesized_samples(synthesizer, voice, TEST_SENTENCES[code])
    synthesis_seconds = time.monotonic() - began
    if not samples:
        raise RuntimeError("the voice %s gave no audio for the test sentence" % voice)
    audio_seconds = samples / SAMPLE_RATE
    rtf = synthesis_seconds / audio_seconds
    return {"type": "result", "ok": True, "voice": voice,
            "device": model_device(synthesizer.model),
            "loadSeconds": round(load_seconds, 3),
            "synthesisSeconds": round(synthesis_seconds, 3),
            "audioSeconds": round(audio_seconds, 3),
            "realTimeFactor": round(rtf, 3), "verdict": rtf_verdict(rtf)}


def selftest_failure(voice, problem, error, missing=None):
    result = {"type": "result", "ok": False, "voice": voice, "problem": problem,
              "error": " ".join(error.split())}
    if missing is not None:
        result["missing"] = missing
    return result


def run_selftest(out, args):
    if len(args) != 1:
        log("usage: kokoro_helper.py selftest VOICE")
        return 2
    voice = args[0]
    # Only the local cache is looked at: what is missing is reported, never fetched.
    os.environ["HF_HUB_OFFLINE"] = "1"
    writer = LineWriter(out)
    try:
        result = self_test(writer.emit, voice)
    except SelfTestProblem as problem:
        result = selftest_failure(voice, problem.problem, str(problem), problem.missing)
    except Exception as error:
        log_failure("the self-test of %s failed" % voice, error)
        result = selftest_failure(voice, "failed", error_text(error))
    writer.emit(result)
    return 0 if result["ok"] else 1


# ---------------------------------------------------------------- main

USAGE = "usage: kokoro_helper.py check | download --json [model] VOICE... | serve | selftest VOICE"


def main(argv):
    out = claim_stdout()
    mode = argv[1] if len(argv) > 1 else ""
    if mode == "check":
        return run_check(out)
    if mode == "download":
        return run_download(out, argv[2:])
    if mode == "serve":
        return run_serve(out)
    if mode == "selftest":
        return run_selftest(out, argv[2:])
    log(USAGE)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))

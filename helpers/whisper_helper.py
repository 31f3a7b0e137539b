#!/usr/bin/env python3
"""Whisper helper of Earlobe & Larynx.

Runs inside ~/.venv/whisper and does all the work with faster-whisper for the
earlobe libraries, which start it with one of these modes:

  check                    report the interpreter and the missing python modules
  models                   list the model catalogue (works without faster-whisper)
  download --model ID      download one model into the Hugging Face cache
  download --all           report every catalogue model that is already on disk
  serve                    streaming dictation over binary frames on stdin/stdout

Standard output carries nothing but the mode's format. Anything else,
including prints from the libraries we load, goes to standard error.
"""

import collections
import fnmatch
import importlib
import inspect
import json
import os
import sys
import threading
import time
import traceback

SAMPLE_RATE = 16000
CHANNELS = 1
BYTES_PER_SAMPLE = 2
BYTES_PER_SECOND = SAMPLE_RATE * CHANNELS * BYTES_PER_SAMPLE

DEFAULT_MODEL = "small"
DEFAULT_DEVICE = "cpu"
DEFAULT_COMPUTE_TYPE = "int8"

# (import name, pip name), in the order the check reports them.
REQUIRED_MODULES = (("faster_whisper", "faster-whisper"), ("numpy", "numpy"))

# What faster-whisper itself fetches from a model repository.
MODEL_FILE_PATTERNS = [
    "config.json",
    "preprocessor_config.json",
    "model.bin",
    "tokenizer.json",
    "vocabulary.*",
]
# What faster-whisper needs to load a model folder, besides a vocabulary.*
# file. Without preprocessor_config.json, faster-whisper silently computes
# 80 mel bins for the models made for 128.
REQUIRED_MODEL_FILES = ("model.bin", "config.json", "tokenizer.json")
MEL128_FILES = ("preprocessor_config.json",)
VOCABULARY_PATTERN = "vocabulary.*"

MIB = 1024 * 1024


class Model:
    __slots__ = ("id", "name", "size_mib", "multilingual", "repo", "mel128")

    def __init__(self, model_id, name, size_mib, multilingual, repo, mel128=False):
        self.id = model_id
        self.name = name
        self.size_mib = size_mib
        self.multilingual = multilingual
        self.repo = repo
        self.mel128 = mel128

    @property
    def required_files(self):
        return REQUIRED_MODEL_FILES + (MEL128_FILES if self.mel128 else ())


def _systran(name):
    return "Systran/faster-whisper-" + name


def _distil(name):
    return "Systran/faster-distil-whisper-" + name


_TURBO_REPO = "mobiuslabsgmbh/faster-whisper-large-v3-turbo"

# The names faster-whisper accepts, in its order, with the repository each one
# is fetched from. The distil models were trained on English only.
CATALOGUE = [
    Model("tiny.en", "Tiny (English)", 72, False, _systran("tiny.en")),
    Model("tiny", "Tiny", 72, True, _systran("tiny")),
    Model("base.en", "Base (English)", 138, False, _systran("base.en")),
    Model("base", "Base", 138, True, _systran("base")),
    Model("small.en", "Small (English)", 462, False, _systran("small.en")),
    Model("small", "Small", 462, True, _systran("small")),
    Model("medium.en", "Medium (English)", 1459, False, _systran("medium.en")),
    Model("medium", "Medium", 1459, True, _systran("medium")),
    Model("large-v1", "Large v1", 2947, True, _systran("large-v1")),
    Model("large-v2", "Large v2", 2947, True, _systran("large-v2")),
    Model("large-v3", "Large v3", 2947, True, _systran("large-v3"), mel128=True),
    Model("large", "Large (v3)", 2947, True, _systran("large-v3"), mel128=True),
    Model("distil-large-v2", "Distil Large v2 (English)", 1440, False, _distil("large-v2")),
    Model("distil-medium.en", "Distil Medium (English)", 752, False, _distil("medium.en")),
    Model("distil-small.en", "Distil Small (English)", 317, False, _distil("small.en")),
    Model("distil-large-v3", "Distil Large v3 (English)", 1440, False, _distil("large-v3"),
          mel128=True),
    # The size is an estimate: the same architecture as distil-large-v3.
    Model("distil-large-v3.5", "Distil Large v3.5 (English)", 1440, False,
          "distil-whisper/distil-large-v3.5-ct2", mel128=True),
    Model("large-v3-turbo", "Large v3 Turbo", 1545, True, _TURBO_REPO, mel128=True),
    Model("turbo", "Turbo (Large v3 Turbo)", 1545, True, _TURBO_REPO, mel128=True),
]
CATALOGUE_BY_ID = {model.id: model for model in CATALOGUE}


def log(*parts):
    print("whisper_helper:", *parts, file=sys.stderr, flush=True)


def claim_stdout():
    """Keep the real standard output for our own format only.

    File descriptor 1 is moved to a private descriptor and replaced by
    standard error, so prints from python code, C libraries and child
    processes (pip, for instance) can never corrupt what the host parses.
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
    # ASCII escapes keep the bytes valid UTF-8 whatever the text holds
    # (a lone surrogate in a transcription would otherwise fail to encode).
    return json.dumps(obj, separators=(",", ":"), ensure_ascii=True).encode("ascii")


class LineWriter:
    """One JSON object per line, flushed at once (the one-shot modes)."""

    def __init__(self, stream):
        self._stream = stream
        self._lock = threading.Lock()

    def emit(self, obj):
        with self._lock:
            try:
                self._stream.write(encode_json(obj) + b"\n")
                self._stream.flush()
            except (OSError, ValueError):
                pass


def whole_number(value):
    """A JSON value read as an integer, or None when it is not an integral number."""
    if isinstance(value, bool):
        return None
    if isinstance(value, int):
        return value
    if isinstance(value, float) and value.is_integer():
        return int(value)
    return None


# ---------------------------------------------------------------- check

def missing_modules():
    """Pip names of the modules that cannot be imported, in a fixed order.

    A module is really imported, not just looked up: a package that is
    installed but broken (a missing shared library, say) is as unusable
    as an absent one, and pip reinstalling it is the cure.
    """
    missing = []
    for module, pip_name in REQUIRED_MODULES:
        try:
            __import__(module)
        except BaseException as error:  # noqa: B902 - a module may raise anything, even SystemExit
            if isinstance(error, KeyboardInterrupt):
                raise
            log("cannot import", module + ":", repr(error))
            missing.append(pip_name)
    return missing


def run_check(out):
    missing = missing_modules()
    result = {
        "python": "%d.%d.%d" % sys.version_info[:3],
        "sampleRate": SAMPLE_RATE,
        "channels": CHANNELS,
        "available": not missing,
        "missing": missing,
    }
    LineWriter(out).emit(result)
    return 0


# ---------------------------------------------------------------- models

def run_models(out):
    models = [
        {
            "id": model.id,
            "name": model.name,
            "sizeMib": model.size_mib,
            "multilingual": model.multilingual,
            "default": model.id == DEFAULT_MODEL,
        }
        for model in CATALOGUE
    ]
    LineWriter(out).emit({"models": models})
    return 0


# ---------------------------------------------------------------- cache

def import_optional(name):
    """The module, or None when it cannot be imported."""
    try:
        return importlib.import_module(name)
    except Exception as error:
        log("cannot import", name + ":", repr(error))
        return None


def import_hub():
    return import_optional("huggingface_hub")


def missing_files(folder, model):
    """The files `model` needs that are not in `folder`; links to absent blobs do not count."""
    absent = [name for name in model.required_files
              if not os.path.isfile(os.path.join(folder, name))]
    try:
        names = os.listdir(folder)
    except OSError:
        names = []
    if not any(fnmatch.fnmatchcase(name, VOCABULARY_PATTERN)
               and os.path.isfile(os.path.join(folder, name)) for name in names):
        absent.append(VOCABULARY_PATTERN)
    return absent


def complete_snapshot(hub, model):
    """The snapshot folder of `model` when every file it needs is on disk.

    Never touches the network: try_to_load_from_cache only looks at the cache.
    Before 1.22 it names a file whose download was interrupted as well, so
    the folder is checked file by file.
    """
    try:
        path = hub.try_to_load_from_cache(model.repo, "model.bin")
    except Exception as error:
        log("cache lookup failed for", model.repo + ":", repr(error))
        return None
    # The hub answers with a sentinel object (not a path) for files it
    # knows to be absent upstream.
    if not isinstance(path, str):
        return None
    folder = os.path.dirname(path)
    return None if missing_files(folder, model) else folder


def hub_cache_dir(hub):
    constants = getattr(hub, "constants", None)
    cache = getattr(constants, "HF_HUB_CACHE", None)
    if cache:
        return str(cache)
    if os.environ.get("HF_HUB_CACHE"):
        return os.environ["HF_HUB_CACHE"]
    home = os.environ.get("HF_HOME") or os.path.join(os.path.expanduser("~"), ".cache", "huggingface")
    return os.path.join(home, "hub")


def blob_bytes(blobs_dir):
    """Bytes in a repository's blobs folder, partial downloads included."""
    total = 0
    try:
        entries = os.scandir(blobs_dir)
    except OSError:
        return 0
    with entries:
        for entry in entries:
            try:
                total += entry.stat(follow_symlinks=False).st_size
            except OSError:
                pass
    return total


def model_file_bytes(folder):
    """Bytes of the model files in a snapshot folder."""
    try:
        names = os.listdir(folder)
    except OSError:
        return 0
    total = 0
    for name in names:
        if any(fnmatch.fnmatchcase(name, pattern) for pattern in MODEL_FILE_PATTERNS):
            try:
                total += os.path.getsize(os.path.join(folder, name))
            except OSError:
                pass
    return total


def cached_model_path(model_id):
    """The local folder of a catalogue model that is fully downloaded, else None."""
    model = CATALOGUE_BY_ID.get(model_id)
    if model is None:
        return None
    hub = import_hub()
    if hub is None:
        return None
    return complete_snapshot(hub, model)


# ---------------------------------------------------------------- download

def file_named_in(desc):
    """The model file a progress bar's description names, else None."""
    if not isinstance(desc, str):
        return None
    for word in reversed(desc.replace(":", " ").split()):
        name = os.path.basename(word.strip("'\"()[]\u2026,"))
        if any(fnmatch.fnmatchcase(name, pattern) for pattern in MODEL_FILE_PATTERNS):
            return name
    return None


class ByteStream:
    __slots__ = ("seen", "total")

    def __init__(self):
        self.seen = 0
        self.total = 0


class ProgressTracker:
    """Turns the progress bars of one snapshot_download into progress events.

    Hubs up to 1.0 only count files; for those the bytes are measured where
    the hub writes them, in the repository's blobs folder (see poll()). Later
    hubs count bytes: in one bar for the whole download whose total grows as
    each file starts, or in bars of each file's own. Since 1.23 a large file
    gets two of those in a row (transfer, then reconstruct), each counting the
    same bytes, so the bars named after one file feed one stream that keeps
    the most any of them has seen. Download-wide and per-file bars are two
    measures of the same bytes too: the larger one is reported, never the sum.
    """

    def __init__(self, emit, model, blobs_dir):
        self.lock = threading.RLock()
        self._emit = emit
        self._model_id = model.id
        self._approx_total = model.size_mib * MIB
        self._blobs_dir = blobs_dir
        self._named = {}
        self._unnamed = []
        self._file_count = 0
        self._last = None
        self._last_time = 0.0
        self._finished = False
        self._failed = False

    def safely(self, action, *args):
        """Runs a progress action: a progress problem must never fail the download."""
        try:
            return action(*args)
        except Exception:
            if not self._failed:
                self._failed = True
                log("progress reporting failed:\n" + traceback.format_exc())
            return None

    def open_stream(self, unit, desc, total):
        """The byte stream a new bar feeds, or None for a bar that counts files."""
        with self.lock:
            if unit != "B":
                self._file_count = whole_number(total) or self._file_count
                return None
            name = file_named_in(desc)
            if name is None:
                self._unnamed.append(ByteStream())
                return self._unnamed[-1]
            return self._named.setdefault(name, ByteStream())

    def moved(self, stream, n, total, closing=False):
        """A bar has counted `n` of `total`; `closing` when it has ended."""
        with self.lock:
            if stream is None:
                if not self._counts_bytes():
                    self._report_blobs(closing)
                return
            stream.seen = max(stream.seen, int(n or 0))
            stream.total = max(stream.total, int(total or 0))
            self._report_streams(closing)

    def poll(self):
        """Reports the bytes on disk while a hub that only counts files is
        busy with one large file and would otherwise say nothing for minutes."""
        with self.lock:
            if not self._counts_bytes():
                self._report_blobs(False)

    def finish(self, folder):
        """The last event: every file is on disk, so their sizes are the total."""
        with self.lock:
            received = max(model_file_bytes(folder), self._last[0] if self._last else 0)
            self._publish(received, received, True, final=True)
            self._finished = True

    def _counts_bytes(self):
        return bool(self._named or self._unnamed)

    def _report_blobs(self, closing):
        received = blob_bytes(self._blobs_dir)
        self._publish(received, max(self._approx_total, received), closing)

    def _report_streams(self, closing):
        named = self._named.values()
        received = max(sum(s.seen for s in named), sum(s.seen for s in self._unnamed))
        known = max(sum(s.total for s in named), sum(s.total for s in self._unnamed))
        # Until every file has started, the totals known so far fall short
        # and the bar would run ahead; the catalogue size stands in.
        all_started = 0 < self._file_count <= len(self._named)
        self._publish(received, known if all_started else max(self._approx_total, known), closing)

    def _publish(self, received, total, force, final=False):
        if self._finished:
            return
        total = max(total, received)
        percent = received * 100 // total if total > 0 else 0
        # 100 % means the model is there; a file may still come until then.
        percent = percent if final else min(99, percent)
        current = (received, total, percent)
        now = time.monotonic()
        last = self._last
        if last is not None:
            if received < last[0] or percent < last[2] or current == last:
                return
            # Keep the event stream small: a new percentage, the end of a
            # bar, or at least half a second since the previous event.
            if percent == last[2] and not force and now - self._last_time < 0.5:
                return
        self._last = current
        self._last_time = now
        self._emit({"type": "progress", "model": self._model_id, "received": received,
                    "total": total, "percent": percent})


class PlainBar:
    """What the hub uses of tqdm's interface, for when tqdm cannot be imported."""

    def __init__(self, iterable=None, desc=None, total=None, initial=0, **kwargs):
        self.iterable = iterable
        self.desc = desc
        self.total = total
        self.n = initial or 0
        self.disable = True

    # tqdm.contrib.concurrent uses these on the class, and deletes _lock
    # again afterwards.
    @classmethod
    def get_lock(cls):
        if getattr(cls, "_lock", None) is None:
            cls._lock = threading.RLock()
        return cls._lock

    @classmethod
    def set_lock(cls, lock):
        cls._lock = lock

    @classmethod
    def write(cls, text, file=None, end="\n", nolock=False):
        sys.stderr.write(str(text) + end)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def close(self):
        pass

    def reset(self, total=None):
        self.n = 0
        if total is not None:
            self.total = total

    def __getattr__(self, name):
        # The rest of tqdm's interface (set_description, refresh, ...) does nothing.
        if name.startswith("_"):
            raise AttributeError(name)
        return lambda *args, **kwargs: None


def progress_base():
    return getattr(import_optional("tqdm.auto"), "tqdm", PlainBar)


def keywords_of(cls):
    """The keyword arguments named by the constructors of `cls` and its bases."""
    names = set()
    for klass in cls.__mro__:
        try:
            parameters = inspect.signature(klass.__dict__["__init__"]).parameters.values()
        except (KeyError, TypeError, ValueError):
            continue
        names.update(p.name for p in parameters if p.kind in (p.POSITIONAL_OR_KEYWORD, p.KEYWORD_ONLY))
    return names


def length_of(iterable):
    try:
        return len(iterable)
    except TypeError:
        return None


def make_progress_class(tracker, base):
    """The tqdm_class for snapshot_download: a tqdm with its output turned off.

    Being a real tqdm, it answers whatever the hub asks of a bar (format_dict,
    get_lock, iteration, ...) as tqdm does. A disabled tqdm counts nothing,
    so counting is done here. Keywords the base does not know (the hub
    passes "name" on some versions) are dropped.
    """
    known = keywords_of(base) - {"self", "iterable", "desc", "total", "disable"}

    class DownloadBar(base):
        monitor_interval = 0  # no tqdm monitor thread for bars that show nothing

        def __init__(self, iterable=None, desc=None, total=None, *args, **kwargs):
            if total is None and iterable is not None:
                total = length_of(iterable)
            self._stream = tracker.safely(tracker.open_stream, kwargs.get("unit"), desc, total)
            options = {key: value for key, value in kwargs.items() if key in known}
            try:
                super().__init__(iterable, desc=desc, total=total, disable=True, **options)
            except Exception as error:
                log("progress bar set up without its options:", repr(error))
                self.iterable, self.total, self.disable = iterable, total, True
                self.n = kwargs.get("initial") or 0

        def __iter__(self):
            for item in self.iterable if self.iterable is not None else ():
                yield item
                self.update(1)
            self.close()

        def update(self, n=1):
            tracker.safely(self._count, n)

        def refresh(self, *args, **kwargs):
            # Some code sets n or total directly and then refreshes.
            tracker.safely(self._count, 0)

        def close(self):
            tracker.safely(self._count, 0, True)
            tracker.safely(super().close)

        def _count(self, n, closing=False):
            with tracker.lock:
                self.n += n or 0
                tracker.moved(self._stream, self.n, self.total, closing)

        @property
        def format_dict(self):
            # The hub's Xet download reads the rate here, and an error
            # raised here ends all its progress reports.
            try:
                return super().format_dict
            except Exception:
                return {"n": self.n, "total": self.total, "elapsed": 0, "rate": None}

    return DownloadBar


def run_with_polling(work, poll, interval=0.5):
    """Runs work() while a daemon thread calls poll() every interval seconds."""
    done = threading.Event()

    def watch():
        while not done.wait(interval):
            poll()

    watcher = threading.Thread(target=watch, name="download-progress", daemon=True)
    watcher.start()
    try:
        return work()
    finally:
        done.set()
        watcher.join()


def error_text(error):
    text = str(error).strip()
    return "%s: %s" % (type(error).__name__, text) if text else type(error).__name__


def download_model(writer, model_id):
    emit = writer.emit
    model = CATALOGUE_BY_ID.get(model_id)
    if model is None:
        emit({"type": "error", "model": model_id, "message": "Unknown whisper model: %s" % model_id})
        return 2
    hub = import_hub()
    if hub is None:
        emit({"type": "error", "model": model_id,
              "message": "The python module huggingface_hub is not installed."})
        return 1
    path = complete_snapshot(hub, model)
    if path:
        emit({"type": "cached", "model": model_id, "path": path})
        return 0
    emit({"type": "start", "model": model_id})
    blobs_dir = os.path.join(hub_cache_dir(hub), "models--" + model.repo.replace("/", "--"), "blobs")
    tracker = ProgressTracker(emit, model, blobs_dir)
    bar_class = make_progress_class(tracker, progress_base())
    try:
        path = str(run_with_polling(
            lambda: hub.snapshot_download(
                repo_id=model.repo,
                allow_patterns=MODEL_FILE_PATTERNS,
                tqdm_class=bar_class,
            ),
            lambda: tracker.safely(tracker.poll)))
    except Exception as error:
        log("download of", model.repo, "failed:\n" + traceback.format_exc())
        emit({"type": "error", "model": model_id, "message": error_text(error)})
        return 1
    absent = missing_files(path, model)
    if absent:
        emit({"type": "error", "model": model_id,
              "message": "The download is incomplete, missing: %s" % ", ".join(absent)})
        return 1
    tracker.safely(tracker.finish, path)
    emit({"type": "finished", "model": model_id, "path": path})
    return 0


def list_cached_models(writer):
    # Only the local cache is looked at; make sure nothing reaches out.
    os.environ["HF_HUB_OFFLINE"] = "1"
    hub = import_hub()
    if hub is None:
        return 0
    for model in CATALOGUE:
        path = complete_snapshot(hub, model)
        if path:
            writer.emit({"type": "cached", "model": model.id, "path": path})
    return 0


def run_download(out, args):
    writer = LineWriter(out)
    if args == ["--all"]:
        return list_cached_models(writer)
    if len(args) == 2 and args[0] == "--model":
        return download_model(writer, args[1])
    log("usage: whisper_helper.py download --all | --model ID")
    return 2


# ---------------------------------------------------------------- serve

class FrameWriter:
    """Writes reply frames; both the reader and the worker thread send."""

    def __init__(self, stream):
        self._stream = stream
        self._lock = threading.Lock()

    def send(self, header, payload=b""):
        if payload:
            header = dict(header, size=len(payload))
        data = encode_json(header) + b"\n" + payload
        with self._lock:
            try:
                self._stream.write(data)
                self._stream.flush()
            except (OSError, ValueError) as error:
                log("cannot write a reply:", repr(error))

    def flush(self):
        with self._lock:
            try:
                self._stream.flush()
            except (OSError, ValueError):
                pass


def payload_size(header):
    size = whole_number(header.get("size")) if isinstance(header, dict) else None
    return size if size is not None and size > 0 else 0


class FrameReader:
    def __init__(self, stream):
        self._stream = stream

    def read(self):
        """The next (header, payload); header is None for a line that is not a JSON object.

        Raises EOFError at the end of input, also in the middle of a frame.
        """
        line = self._stream.readline()
        if not line.endswith(b"\n"):
            raise EOFError
        try:
            header = json.loads(line[:-1].decode("utf-8"))
        except ValueError:
            header = None
        if not isinstance(header, dict):
            return None, b""
        size = payload_size(header)
        payload = self._read_exactly(size) if size else b""
        return header, payload

    def _read_exactly(self, size):
        # Read in pieces: a bogus huge size must not allocate it all at once.
        parts = []
        remaining = size
        while remaining > 0:
            piece = self._stream.read(min(remaining, MIB))
            if not piece:
                raise EOFError
            parts.append(piece)
            remaining -= len(piece)
        return b"".join(parts)


class ModelLoadError(Exception):
    pass


FALLBACK_DEVICE = "cpu"
FALLBACK_COMPUTE_TYPE = "int8"

# Whisper's own rule for a segment that is probably not speech: it thinks
# there is no speech and is unsure of the words it found. Above the second
# threshold it is sure enough on its own.
NO_SPEECH_PROB = 0.6
LOW_AVG_LOGPROB = -1.0
SURE_NO_SPEECH_PROB = 0.9
# A run of this many identical segments is a decoding loop, not speech.
LOOP_LENGTH = 3

# Partials: a pass runs once at least MIN_STEP seconds of new audio have come,
# and never before the new audio is 1/WORK_RATIO of what the pass would cover,
# so the audio transcribed stays below WORK_RATIO times the audio received
# however long the utterance and however slow the machine.
MIN_STEP = 0.5
WORK_RATIO = 2.5
# Beyond this, the working buffer is cut at the last committed word even in
# the middle of a segment, to keep each pass short.
MAX_BUFFER = 2.0
# After a pass that heard nothing uncommitted, only this much audio is kept,
# for a word that is just beginning.
QUIET_KEEP = 1.0
# Committed words may come back from the next pass with timestamps this much
# earlier than before.
TIME_SLACK = 0.1
PROMPT_CHARS = 200
PUNCTUATION = "".join(chr(c) for c in range(33, 127) if not chr(c).isalnum()) + "…¿¡。、，！？"


def model_key(settings):
    return (settings.get("model") or DEFAULT_MODEL,
            settings.get("device") or DEFAULT_DEVICE,
            settings.get("computeType") or DEFAULT_COMPUTE_TYPE)


def load_whisper(name, device, compute_type):
    # A downloaded model is loaded from its folder, which needs no network
    # look-up at all; anything else (a path, a repository id, a model not
    # downloaded yet) is left to faster-whisper.
    source = cached_model_path(name) or name
    log("loading model", repr(source), "device", device, "compute type", compute_type)
    from faster_whisper import WhisperModel
    return WhisperModel(source, device=device, compute_type=compute_type)


class Recognizer:
    """Owns the loaded WhisperModel; used by the transcriber thread only."""

    def __init__(self):
        self._model = None
        self._key = None

    def model_for(self, settings, warn):
        """The model for `settings`, loaded only when they changed.

        When the requested device cannot load it, the CPU with int8 takes
        over and `warn` is told once; that model is then kept for the same
        settings, so the warning is not repeated for every utterance.
        """
        key = model_key(settings)
        if self._model is not None and self._key == key:
            return self._model
        # Let go of the old model first: two large models may not fit.
        self._model = None
        self._key = None
        name, device, compute_type = key
        try:
            model = load_whisper(name, device, compute_type)
        except Exception as error:
            if (device, compute_type) == (FALLBACK_DEVICE, FALLBACK_COMPUTE_TYPE):
                raise ModelLoadError("Unable to load the whisper model %s: %s"
                                     % (name, error_text(error))) from error
            log("loading on", device, "with", compute_type, "failed:", error_text(error))
            try:
                model = load_whisper(name, FALLBACK_DEVICE, FALLBACK_COMPUTE_TYPE)
            except Exception as second:
                raise ModelLoadError("Unable to load the whisper model %s: %s"
                                     % (name, error_text(second))) from second
            warn("Unable to load the whisper model %s on %s with %s (%s). Using the CPU with int8 "
                 "instead." % (name, device, compute_type, error_text(error)))
        self._model = model
        self._key = key
        return model


class Word:
    __slots__ = ("start", "end", "text")

    def __init__(self, start, end, text):
        self.start = start
        self.end = end
        self.text = text


def normalized(text):
    return text.strip().strip(PUNCTUATION).casefold()


def joined(words):
    return "".join(word.text for word in words).strip()


def is_speech(segment):
    no_speech = getattr(segment, "no_speech_prob", 0.0) or 0.0
    logprob = getattr(segment, "avg_logprob", 0.0) or 0.0
    if no_speech > SURE_NO_SPEECH_PROB:
        return False
    return not (no_speech > NO_SPEECH_PROB and logprob < LOW_AVG_LOGPROB)


def without_loops(segments):
    """The segments with every run of LOOP_LENGTH or more identical ones cut to its first."""
    kept = []
    run = []
    for segment in segments + [None]:
        if segment is not None and run and normalized(segment.text) == normalized(run[0].text):
            run.append(segment)
            continue
        kept.extend(run[:1] if len(run) >= LOOP_LENGTH else run)
        run = [segment] if segment is not None else []
    return kept


def words_of(segments, offset):
    """The words of the segments that are speech, in seconds from the utterance start,
    and the end times of those segments."""
    segments = without_loops([s for s in segments if is_speech(s) and s.text.strip()])
    words = []
    for segment in segments:
        pieces = getattr(segment, "words", None)
        if pieces:
            words.extend(Word(offset + w.start, offset + w.end, w.word) for w in pieces if w.word)
        else:
            words.append(Word(offset + segment.start, offset + segment.end, segment.text))
    return words, [offset + segment.end for segment in segments]


def new_words(committed, words):
    """The words of a pass that come after the committed ones.

    A pass covers some committed audio again when the buffer could not be cut
    at a segment end; those words come back, sometimes with slightly earlier
    timestamps, and are left out by time and by text.
    """
    if not committed:
        return words
    last_end = committed[-1].end
    words = [word for word in words if word.start > last_end - TIME_SLACK]
    if words and abs(words[0].start - last_end) < 1.0:
        for n in range(min(5, len(committed), len(words)), 0, -1):
            tail = [normalized(word.text) for word in committed[-n:]]
            if tail == [normalized(word.text) for word in words[:n]]:
                return words[n:]
    return words


def agreed_length(previous, current):
    count = 0
    for old, new in zip(previous, current):
        if normalized(old.text) != normalized(new.text):
            break
        count += 1
    return count


def float_audio(pcm):
    import numpy

    samples = len(pcm) // BYTES_PER_SAMPLE
    return numpy.frombuffer(pcm, dtype="<i2", count=samples).astype(numpy.float32) / 32768.0


def transcribe(model, pcm, settings, prompt, partial, with_words, abandoned):
    """The segments whisper finds in `pcm`, or None when `abandoned()` turned true."""
    language = settings.get("language") or None
    if language == "auto":
        language = None
    segments, _info = model.transcribe(
        float_audio(pcm),
        language=language,
        initial_prompt=prompt or None,
        # Partials only preview the text; the final pass searches wider.
        beam_size=1 if partial else 5,
        vad_filter=True,
        word_timestamps=with_words,
        # Conditioning on its own output is what lets whisper loop.
        condition_on_previous_text=False,
    )
    found = []
    # Decoding happens while the segments are iterated: a cancel or a stop
    # takes effect at the next segment.
    for segment in segments:
        if abandoned():
            return None
        found.append(segment)
    return None if abandoned() else found


class Utterance:
    def __init__(self, uid, settings, partials):
        self.id = uid
        self.settings = settings
        self.partials = partials
        # The working buffer: audio not yet covered by committed segments.
        self.audio = bytearray()
        self.origin = 0          # samples of the utterance before audio[0]
        self.fresh = 0           # bytes come since the last pass began
        self.open = True
        self.cancelled = False
        self.needs_model = True
        self.model_ready = False
        self.load_error = None
        self.committed = []      # words that never change again
        self.hypothesis = []     # the last pass's words after the committed ones
        self.shown = ""

    def seconds(self, samples):
        return (self.origin + samples) / SAMPLE_RATE

    def due(self):
        fresh = self.fresh / BYTES_PER_SECOND
        return fresh >= max(MIN_STEP, len(self.audio) / BYTES_PER_SECOND / WORK_RATIO)

    def snapshot(self):
        usable = len(self.audio) - len(self.audio) % BYTES_PER_SAMPLE
        self.fresh = 0
        return bytes(self.audio[:usable]), self.origin / SAMPLE_RATE, self.prompt()

    def prompt(self):
        """The user's prompt, followed by the committed text already cut from the buffer."""
        cut = self.origin / SAMPLE_RATE + 0.01
        context = joined([word for word in self.committed if word.end <= cut])[-PROMPT_CHARS:]
        user = self.settings.get("prompt") or ""
        if not context:
            return user
        return (user.rstrip() + " " + context) if user.strip() else context

    def drop_before(self, seconds):
        samples = min(int(round(seconds * SAMPLE_RATE)) - self.origin,
                      len(self.audio) // BYTES_PER_SAMPLE)
        if samples > 0:
            del self.audio[:samples * BYTES_PER_SAMPLE]
            self.origin += samples

    def agree(self, words, segment_ends, pass_end):
        """Commit what two successive passes agree on; cut the buffer behind it."""
        words = new_words(self.committed, words)
        count = agreed_length(self.hypothesis, words)
        self.committed.extend(words[:count])
        self.hypothesis = words[count:]
        cut = None
        if self.committed:
            done = self.committed[-1].end
            ends = [end for end in segment_ends if end <= done + 0.05]
            cut = max(ends) if ends else None
            if pass_end - (cut if cut is not None else self.origin / SAMPLE_RATE) > MAX_BUFFER:
                cut = done
        if not self.hypothesis:
            cut = max(cut or 0.0, pass_end - QUIET_KEEP)
        if cut is not None:
            self.drop_before(cut)
        return joined(self.committed + self.hypothesis)


SETTING_KEYS = ("model", "language", "computeType", "device", "prompt")


class WhisperServer:
    """Reads commands on the calling thread; a transcriber thread does the model work.

    The reading never waits for the model: audio keeps arriving while the
    model loads or a pass runs, and "cancel" and "quit" act at once. The
    transcriber picks its next job itself from the state the commands leave
    (finals first, then loading the model, then a partial pass over all the
    audio that has come), so a backlog of audio never becomes a backlog of
    passes.
    """

    def __init__(self, writer, missing):
        self.writer = writer
        self.missing = missing
        self.available = not missing
        self.cond = threading.Condition()
        self.current = None
        self.finals = collections.deque()
        self.finishing = False
        self.closing = False
        self.recognizer = Recognizer()
        threading.Thread(target=self._work, name="transcriber", daemon=True).start()

    # --- commands, on the reading thread

    def run(self, reader):
        self.writer.send({"type": "ready", "available": self.available, "missing": self.missing})
        while True:
            try:
                header, payload = reader.read()
            except EOFError:
                # The host has nothing more to say; answer what it already
                # stopped, then end.
                self._drain()
                return
            if header is None:
                log("skipping a header line that is not a JSON object")
                continue
            command = header.get("cmd")
            if command == "quit":
                return
            handler = {
                "start": self._start,
                "audio": self._audio,
                "stop": self._stop,
                "cancel": self._cancel,
            }.get(command)
            if handler is None:
                log("unknown command:", repr(command))
                continue
            with self.cond:
                handler(header, payload)
                self.cond.notify_all()

    def _drain(self):
        with self.cond:
            self.closing = True
            if self.current is not None and self.current.open:
                self.current.cancelled = True
            self.cond.notify_all()
            while self.finals or self.finishing:
                self.cond.wait()

    def _start(self, header, _payload):
        uid = whole_number(header.get("id"))
        if uid is None:
            log("start without an integer id:", header)
            return
        settings = {key: header[key] for key in SETTING_KEYS
                    if isinstance(header.get(key), str) and header[key]}
        sample_format = header.get("sampleFormat", "int16")
        if self.current is not None and self.current.open:
            # Superseded without a stop: it will never be answered.
            self.current.open = False
            self.current.cancelled = True
        self.current = None
        if sample_format != "int16":
            self._fail(uid, "Unsupported sample format: %s" % (sample_format,))
            return
        self.current = Utterance(uid, settings, header.get("partials") is True)
        self.current.needs_model = self.available

    def _audio(self, header, payload):
        utterance = self.current
        uid = whole_number(header.get("id"))
        if utterance is None or not utterance.open or uid != utterance.id or not payload:
            return
        utterance.audio += payload
        utterance.fresh += len(payload)

    def _stop(self, header, _payload):
        utterance = self.current
        uid = whole_number(header.get("id"))
        if utterance is None or not utterance.open or uid != utterance.id:
            return
        utterance.open = False
        self.finals.append(utterance)

    def _cancel(self, header, _payload):
        uid = whole_number(header.get("id"))
        for utterance in [self.current] + list(self.finals):
            if utterance is not None and utterance.id == uid:
                utterance.open = False
                utterance.cancelled = True
        if self.current is not None and self.current.cancelled:
            self.current = None

    # --- model work, on the transcriber thread

    def _next_job(self):
        while self.finals:
            utterance = self.finals.popleft()
            if not utterance.cancelled:
                self.finishing = True
                return self._final, utterance
        utterance = self.current
        if self.closing or utterance is None or not utterance.open:
            return None
        if utterance.needs_model:
            utterance.needs_model = False
            return self._prepare, utterance
        if utterance.partials and utterance.model_ready and utterance.due():
            return self._partial, utterance
        return None

    def _work(self):
        while True:
            with self.cond:
                job = self._next_job()
                while job is None:
                    self.cond.wait()
                    job = self._next_job()
            run, utterance = job
            try:
                run(utterance)
            except Exception:
                log("unexpected failure:\n" + traceback.format_exc())
            finally:
                with self.cond:
                    self.finishing = False
                    self.cond.notify_all()

    def _wanted(self, utterance):
        with self.cond:
            return utterance.open and not utterance.cancelled and self.current is utterance

    def _model(self, utterance):
        def warn(message):
            log(message)
            self.writer.send({"type": "error", "id": utterance.id, "message": message})

        if utterance.load_error:
            raise ModelLoadError(utterance.load_error)
        try:
            return self.recognizer.model_for(utterance.settings, warn)
        except ModelLoadError as error:
            utterance.load_error = str(error)
            raise

    def _prepare(self, utterance):
        try:
            self._model(utterance)
        except ModelLoadError as error:
            # Reported when the utterance is stopped, with its "end".
            log(str(error))
            return
        with self.cond:
            utterance.model_ready = True

    def _partial(self, utterance):
        with self.cond:
            pcm, offset, prompt = utterance.snapshot()
        if not pcm:
            return
        try:
            model = self._model(utterance)
            segments = transcribe(model, pcm, utterance.settings, prompt, partial=True,
                                  with_words=True, abandoned=lambda: not self._wanted(utterance))
        except Exception as error:
            # A preview that fails is not worth an error; the final pass
            # reports the problem.
            log("partial transcription failed:", error_text(error))
            return
        if segments is None:
            return
        words, ends = words_of(segments, offset)
        with self.cond:
            if not (utterance.open and not utterance.cancelled):
                return
            text = utterance.agree(words, ends, offset + len(pcm) / BYTES_PER_SECOND)
            changed = text and text != utterance.shown
            utterance.shown = text
        # Partial and final are both sent from this thread, so a partial can
        # never come after the final of its utterance.
        if changed:
            self.writer.send({"type": "partial", "id": utterance.id, "text": text})

    def _final(self, utterance):
        if not self.available:
            self._fail(utterance.id, "Whisper is not installed. Missing: %s" % ", ".join(self.missing))
            return
        with self.cond:
            pcm, offset, prompt = utterance.snapshot()
        text = joined(utterance.committed)
        try:
            if pcm:
                model = self._model(utterance)
                segments = transcribe(model, pcm, utterance.settings, prompt, partial=False,
                                      with_words=bool(utterance.committed),
                                      abandoned=lambda: utterance.cancelled)
                if segments is None:
                    return
                words, _ends = words_of(segments, offset)
                text = joined(utterance.committed + new_words(utterance.committed, words))
        except ModelLoadError as error:
            log(str(error))
            message = str(error)
        except Exception as error:
            log("transcription failed:\n" + traceback.format_exc())
            message = "Transcription failed: %s" % error_text(error)
        else:
            if not utterance.cancelled:
                self.writer.send({"type": "final", "id": utterance.id, "text": text})
                self.writer.send({"type": "end", "id": utterance.id})
            return
        if not utterance.cancelled:
            self._fail(utterance.id, message)

    def _fail(self, uid, message):
        # The "end" after the error makes sure the host is never left waiting.
        self.writer.send({"type": "error", "id": uid, "message": message})
        self.writer.send({"type": "end", "id": uid})


def run_serve(out):
    writer = FrameWriter(out)
    missing = missing_modules()
    server = WhisperServer(writer, missing)
    server.run(FrameReader(sys.stdin.buffer))
    writer.flush()
    sys.stderr.flush()
    # The worker may be deep inside a transcription that nobody waits for.
    os._exit(0)


# ---------------------------------------------------------------- main

USAGE = "usage: whisper_helper.py check | models | download (--all | --model ID) | serve"


def main(argv):
    out = claim_stdout()
    mode = argv[1] if len(argv) > 1 else ""
    args = argv[2:]
    if mode == "check":
        return run_check(out)
    if mode == "models":
        return run_models(out)
    if mode == "download":
        return run_download(out, args)
    if mode == "serve":
        return run_serve(out)
    log(USAGE)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))

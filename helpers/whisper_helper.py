#!/usr/bin/env python3
"""Whisper helper of Earlobe & Larynx.

Runs inside ~/.venv/whisper and does all the work with faster-whisper for the
earlobe libraries, which start it with one of these modes:

  check                    report the interpreter and the missing python modules
  models                   list the model catalogue (works without faster-whisper)
  download --model ID      download one model into the Hugging Face cache
  download --all           report every catalogue model that is already on disk
  serve                    streaming dictation over binary frames on stdin/stdout
  probe SOURCE DEVICE TYPE load a model and run one tiny encode (serve's trial of
                           a GPU, in a child process that may die trying)
  selftest [--model ID] [--device D] [--compute-type C] [--language L]
                           load a model and time one pass over a full window:
                           does dictation work here, and is it fast enough
  time SOURCE DEVICE TYPE LANGUAGE
                           the self-test's timing on a device other than the
                           CPU, in a child process that may die trying

Standard output carries nothing but the mode's format. Anything else,
including prints from the libraries we load, goes to standard error.
A failure is one line there, what failed and why; with
EARLOBE_LARYNX_DEBUG=1 in the environment its whole traceback follows.
"""

import collections
import fnmatch
import glob
import importlib
import inspect
import json
import os
import re
import select
import signal
import subprocess
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
# No command comes near this; a longer header line is skipped unread.
MAX_HEADER_LINE = MIB


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
    # Standard error may be gone with the host; a log line is never worth a crash.
    try:
        print("whisper_helper:", *parts, file=sys.stderr, flush=True)
    except (OSError, ValueError):
        pass


def end_process(code):
    """Ends at once, from any thread, with every child killed.

    Used when the host is gone: no thread is waited for (one may be deep in
    a model call for minutes), and no child (a trial run) may outlive us.
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
    """One JSON object per line, flushed at once (the one-shot modes).

    A line that cannot be written means nobody reads any more: the work
    (a download, a trial run) ends with it."""

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
        except Exception as error:
            if not self._failed:
                self._failed = True
                log_failure("progress reporting failed", error)
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


def log_failure(what, error):
    """One readable line on standard error for a failure: what failed and the
    exception's message. The whole traceback follows only when the
    environment has EARLOBE_LARYNX_DEBUG=1."""
    log(what + ":", " ".join(error_text(error).split()))
    if os.environ.get("EARLOBE_LARYNX_DEBUG") == "1":
        log("".join(traceback.format_exception(type(error), error, error.__traceback__)).rstrip())


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
        log_failure("download of %s failed" % model.repo, error)
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


# ---------------------------------------------------------------- serve: protocol

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
                log("cannot write a reply, stopping:", error_text(error))
                end_process(1)

    def broken(self):
        """Whether nobody reads standard output any more (a pipe without reader)."""
        try:
            poller = select.poll()
            poller.register(self._stream.fileno(), 0)
            return any(events & (select.POLLERR | select.POLLHUP)
                       for _fd, events in poller.poll(0))
        except (OSError, ValueError):
            return True

    def flush(self):
        with self._lock:
            try:
                self._stream.flush()
            except (OSError, ValueError):
                pass


def payload_size(header):
    size = whole_number(header.get("size")) if isinstance(header, dict) else None
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


class FrameReader:
    def __init__(self, stream):
        self._stream = stream

    def read(self):
        """The next (header, payload); header is None for a line that is not a JSON object.

        Raises EOFError at the end of input, also in the middle of a frame,
        and BadLine for a line too long or too deep to parse (it is skipped).
        """
        line = self._stream.readline(MAX_HEADER_LINE + 1)
        if len(line) > MAX_HEADER_LINE:
            if not line.endswith(b"\n"):
                self._skip_line()
            raise BadLine("too long (over %d bytes)" % MAX_HEADER_LINE)
        if not line.endswith(b"\n"):
            raise EOFError
        header = parse_header(line[:-1])
        if header is None:
            return None, b""
        size = payload_size(header)
        payload = self._read_exactly(size) if size else b""
        return header, payload

    def _skip_line(self):
        # In pieces: a line without end must not grow in memory.
        while not self._stream.readline(MIB).endswith(b"\n"):
            if not self._stream.peek(1):
                raise EOFError

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


# ---------------------------------------------------------------- serve: settings

# The codes whisper's tokenizer accepts. Anything else raises ValueError deep
# inside a transcription, so settings are checked against this first.
WHISPER_LANGUAGES = frozenset((
    "af am ar as az ba be bg bn bo br bs ca cs cy da de el en es et eu fa fi fo fr gl gu ha haw "
    "he hi hr ht hu hy id is it ja jw ka kk km kn ko la lb ln lo lt lv mg mi mk ml mn mr ms mt "
    "my ne nl nn no oc pa pl ps pt ro ru sa sd si sk sl sn so sq sr su sv sw ta te tg th tk tl tr "
    "tt uk ur uz vi yi yo zh yue").split())

SETTING_KEYS = ("model", "language", "computeType", "device", "prompt")


def model_key(settings):
    return (settings.get("model") or DEFAULT_MODEL,
            settings.get("device") or DEFAULT_DEVICE,
            settings.get("computeType") or DEFAULT_COMPUTE_TYPE)


def language_code(setting):
    """(code, problem): the whisper code for a language setting, None to detect it,
    and a text for the user when the setting cannot be used as it is.

    Hosts often hand over a locale ("en_US", "de-DE"), which the tokenizer
    refuses; its language part is what whisper understands.
    """
    text = (setting or "").strip()
    if not text or text.casefold() == "auto":
        return None, None
    code = re.split(r"[-_.@]", text, maxsplit=1)[0].casefold()
    if code in WHISPER_LANGUAGES:
        return code, None
    return None, ('Whisper does not know the language "%s"; the language is detected instead.'
                  % text)


def english_only(model_name):
    model = CATALOGUE_BY_ID.get(model_name)
    if model is not None:
        return not model.multilingual
    return ".en" in os.path.basename(model_name.rstrip("/"))


# ---------------------------------------------------------------- serve: model

class ModelLoadError(Exception):
    pass


FALLBACK_DEVICE = "cpu"
FALLBACK_COMPUTE_TYPE = "int8"
PROBE_TIMEOUT = 600
WARM_UP_SAMPLES = SAMPLE_RATE // 4


def usable_cpu_count():
    # CTranslate2's default is 4 threads whatever the machine has; the cores
    # this process may run on is what it should use.
    try:
        return max(1, len(os.sched_getaffinity(0)))
    except (AttributeError, OSError):
        return max(1, os.cpu_count() or 1)


def model_source(name):
    """The folder (or name) a model is loaded from. Serve never downloads: a
    multi-gigabyte download the user cannot see must not stand in for an answer."""
    if name not in CATALOGUE_BY_ID:
        return name
    path = cached_model_path(name)
    if path is None:
        raise ModelLoadError("The whisper model %s is not downloaded. Download it in the "
                             "dictation setup first." % name)
    return path


def construct_model(source, device, compute_type):
    from faster_whisper import WhisperModel

    log("loading model", repr(source), "device", device, "compute type", compute_type)
    return WhisperModel(source, device=device, compute_type=compute_type,
                        cpu_threads=usable_cpu_count(), local_files_only=True)


def warm_up(model):
    """One tiny encode, so the first utterance does not pay for lazy set-up
    (and a device that cannot run the model fails here)."""
    import numpy

    segments, _info = model.transcribe(numpy.zeros(WARM_UP_SAMPLES, dtype=numpy.float32),
                                       language="en", beam_size=1, temperature=0.0,
                                       condition_on_previous_text=False, without_timestamps=True,
                                       vad_filter=False)
    for _segment in segments:
        pass


def gpu_count():
    """CUDA devices CTranslate2 sees, or None when it cannot tell."""
    try:
        import ctranslate2

        return int(ctranslate2.get_cuda_device_count())
    except Exception:
        return None


def last_line(data):
    lines = [line.strip() for line in data.decode("utf-8", "replace").splitlines() if line.strip()]
    return lines[-1] if lines else ""


def probe_device(source, device, compute_type):
    """None when `device` loads and runs the model, else why it does not.

    A GPU without cuDNN or cuBLAS constructs the model fine and then aborts
    the whole process at the first encode, past any exception handler, so
    the trial runs in a child process.
    """
    command = [sys.executable, os.path.abspath(__file__), "probe", source, device, compute_type]
    try:
        result = subprocess.run(command, stdin=subprocess.DEVNULL, capture_output=True,
                                timeout=PROBE_TIMEOUT)
    except subprocess.TimeoutExpired:
        return "the trial run did not finish within %d s" % PROBE_TIMEOUT
    except OSError as error:
        return error_text(error)
    if result.returncode == 0:
        return None
    return trial_failure(result.returncode, last_line(result.stderr))


def trial_failure(returncode, reason):
    """Why a trial child failed, from its exit status and its last line on standard error."""
    if returncode < 0:
        try:
            name = signal.Signals(-returncode).name
        except ValueError:
            name = "signal %d" % -returncode
        return "the trial run was killed by %s%s" % (name, ": " + reason if reason else "")
    return reason or "the trial run failed with exit code %d" % returncode


def die_with_parent():
    try:
        import ctypes

        ctypes.CDLL(None, use_errno=True).prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG
    except Exception:
        pass


def run_probe(out, args):
    if len(args) != 3:
        log("usage: whisper_helper.py probe SOURCE DEVICE COMPUTE_TYPE")
        return 2
    die_with_parent()
    source, device, compute_type = args
    try:
        warm_up(construct_model(source, device, compute_type))
    except Exception as error:
        log(error_text(error))
        return 1
    LineWriter(out).emit({"ok": True})
    return 0


def state_path():
    base = os.environ.get("XDG_STATE_HOME") or os.path.join(os.path.expanduser("~"), ".local",
                                                           "state")
    return os.path.join(base, "earlobe", "whisper_helper.json")


def remembered_key():
    """The model settings of the last dictation, which the next one will most likely use."""
    try:
        with open(state_path(), encoding="utf-8") as stream:
            stored = json.load(stream)
        key = tuple(stored[name] for name in ("model", "device", "computeType"))
    except (OSError, ValueError, KeyError, TypeError):
        return None
    return key if all(isinstance(part, str) and part for part in key) else None


def remember_key(key):
    path = state_path()
    try:
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path + ".tmp", "w", encoding="utf-8") as stream:
            json.dump(dict(zip(("model", "device", "computeType"), key)), stream)
        os.replace(path + ".tmp", path)
    except OSError as error:
        log("cannot remember the model settings:", error_text(error))


class Recognizer:
    """Owns the loaded WhisperModel; used by the transcriber thread only."""

    def __init__(self):
        self.model = None
        self._key = None
        self._device = None
        self._warning = None

    def model_for(self, key):
        """The model for `key`, loaded and warmed up only when the key changed.

        When the requested device cannot run it, the CPU with int8 takes over;
        that model is then kept for the same key, so its warning (see
        take_warning) is given once.
        """
        if self.model is not None and self._key == key:
            return self.model
        # Let go of the old model first: two large models may not fit.
        self.model, self._key, self._warning = None, None, None
        name, device, compute_type = key
        source = model_source(name)
        if device == "auto" and gpu_count() == 0:
            device = FALLBACK_DEVICE
        reason = probe_device(source, device, compute_type) if device != FALLBACK_DEVICE else None
        model = None
        if reason is None:
            try:
                model = construct_model(source, device, compute_type)
                warm_up(model)
            except Exception as error:
                if (device, compute_type) == (FALLBACK_DEVICE, FALLBACK_COMPUTE_TYPE):
                    raise ModelLoadError("Unable to load the whisper model %s: %s"
                                         % (name, error_text(error))) from error
                model, reason = None, error_text(error)
        if model is None:
            model = self._on_cpu(name, source, device, compute_type, reason)
        else:
            self._device = device
        self.model, self._key = model, key
        return model

    def fall_back(self, error):
        """After a pass failed on the GPU: the same model on the CPU. False when
        the model already runs there."""
        if self.model is None or self._device == FALLBACK_DEVICE:
            return False
        name, device, compute_type = self._key
        self.model = None
        self.model = self._on_cpu(name, model_source(name), device, compute_type,
                                  error_text(error))
        return True

    def take_warning(self):
        warning, self._warning = self._warning, None
        return warning

    def _on_cpu(self, name, source, device, compute_type, reason):
        log("whisper cannot run on", device, "with", compute_type + ":", reason)
        try:
            model = construct_model(source, FALLBACK_DEVICE, FALLBACK_COMPUTE_TYPE)
            warm_up(model)
        except Exception as error:
            raise ModelLoadError("Unable to load the whisper model %s: %s"
                                 % (name, error_text(error))) from error
        self._device = FALLBACK_DEVICE
        self._warning = ("The whisper model %s cannot run on %s with %s (%s). Using the CPU with "
                         "int8 instead." % (name, device, compute_type, reason))
        return model


# ---------------------------------------------------------------- serve: where the speech is

# Whisper pads every window to 30 s, so a pass over 1 s of audio costs about
# what a pass over 30 s costs. What is cheap is the voice filter, which runs
# on the audio as it arrives: it decides whether a pass is worth running at
# all, and where the buffer may be cut.
VAD_CHUNK = 512
VAD_STEP = SAMPLE_RATE // 4              # new audio that is analysed without waiting for a pass
VAD_CONTEXT = SAMPLE_RATE * 3 // 10      # audio analysed again before the new part


def load_voice_filter():
    """A function from float audio to speech ranges, or None when faster-whisper has none."""
    try:
        from faster_whisper.vad import VadOptions, get_speech_timestamps

        options = VadOptions(threshold=0.5, min_speech_duration_ms=100,
                             min_silence_duration_ms=100, speech_pad_ms=0)
    except Exception as error:
        log("no voice activity detection, every sound counts as speech:", error_text(error))
        return None
    return lambda audio: get_speech_timestamps(audio, options)


class SpeechMap:
    """The [start, end) sample ranges of an utterance that hold speech, in order,
    for the audio analysed so far."""

    def __init__(self):
        self.ranges = []
        self.analysed = 0

    def merge(self, begin, end, found):
        """Replaces what was known from `begin` on with `found` (ranges relative to begin)."""
        ranges = [[start, min(stop, begin)] for start, stop in self.ranges if start < begin]
        for item in found:
            start, stop = begin + int(item["start"]), begin + int(item["end"])
            if ranges and start - ranges[-1][1] <= VAD_CHUNK:
                ranges[-1][1] = max(ranges[-1][1], stop)
            elif stop > start:
                ranges.append([start, stop])
        self.ranges = ranges
        self.analysed = max(self.analysed, end)

    def between(self, begin, end):
        return sum(max(0, min(stop, end) - max(start, begin)) for start, stop in self.ranges)

    def first_start(self, after):
        return next((start for start, stop in self.ranges if stop > after), None)

    def last_end(self):
        return self.ranges[-1][1] if self.ranges else None

    def gaps(self, begin, min_length):
        """(start, end) of the silences after `begin` at least `min_length` long,
        the silence after the last speech included."""
        found = []
        edges = [stop for start, stop in self.ranges]
        starts = [start for start, stop in self.ranges[1:]] + [self.analysed]
        for gap_start, gap_end in zip(edges, starts):
            if gap_start >= begin and gap_end - gap_start >= min_length:
                found.append((gap_start, gap_end))
        return found

    def squeezed(self, begin, end, pad):
        """The ranges of [begin, end) worth giving whisper: speech with `pad` around
        it, and long silences between shortened to 2 * pad."""
        spans = []
        for start, stop in self.ranges:
            start, stop = max(begin, start - pad), min(end, stop + pad)
            if stop <= start:
                continue
            if spans and start <= spans[-1][1]:
                spans[-1][1] = max(spans[-1][1], stop)
            else:
                spans.append([start, stop])
        return spans


# ---------------------------------------------------------------- serve: policy

# Whisper's own rule for a segment that is probably not speech: it thinks
# there is no speech and is unsure of the words it found. The no-speech
# probability belongs to a whole 30-s window, so it never drops speech alone.
NO_SPEECH_PROB = 0.6
LOW_AVG_LOGPROB = -1.0
# A run of this many identical segments is a decoding loop, not speech.
LOOP_LENGTH = 3

FIRST_SPEECH = int(0.3 * SAMPLE_RATE)     # speech before the first pass
MIN_NEW_SPEECH = int(0.2 * SAMPLE_RATE)   # speech a pass must have to hear that the last did not
LEAD_PAD = int(0.4 * SAMPLE_RATE)         # silence kept before speech
MIN_CUT_GAP = int(0.3 * SAMPLE_RATE)      # a silence the buffer may be cut in
FORCED_CUT_GAP = int(0.15 * SAMPLE_RATE)  # the same, once the buffer is too long
COMMIT_BUFFER = 10 * SAMPLE_RATE          # the buffer length from which segments are committed
MAX_BUFFER = 20 * SAMPLE_RATE             # the buffer length that forces a commit
WHOLE_LIMIT = 30 * SAMPLE_RATE            # one whisper window: the longest one-pass final
SETTLE_SILENCE = int(0.8 * SAMPLE_RATE)   # a pause after which the final is prepared
LOUD_LEVEL = 328                          # a sample this loud (-40 dBFS) may be speech
LOUD_SAMPLES = SAMPLE_RATE // 10          # this much loud audio ends the pause
AGREEMENT_SLACK = 0.3                     # seconds two passes may differ on a segment's edges
PROMPT_CHARS = 200
# The self-test's verdict on one pass over a full window. Partials follow the
# speaker when a pass takes at most this long...
LIVE_PASS_SECONDS = 1.5
# ...and the final text still comes soon enough after the speaker stops.
FINAL_PASS_SECONDS = 5.0
TEMPERATURES = (0.0, 0.2, 0.4, 0.6, 0.8, 1.0)
PUNCTUATION = "".join(chr(c) for c in range(33, 127) if not chr(c).isalnum()) + "…¿¡。、，！？"


class Piece:
    """A segment of a pass, in seconds from the utterance start."""
    __slots__ = ("start", "end", "text")

    def __init__(self, start, end, text):
        self.start = start
        self.end = end
        self.text = text


def normalized(text):
    return text.strip().strip(PUNCTUATION).casefold()


def joined(texts):
    return "".join(texts).strip()


def is_speech(segment):
    no_speech = getattr(segment, "no_speech_prob", 0.0) or 0.0
    logprob = getattr(segment, "avg_logprob", 0.0) or 0.0
    return not (no_speech > NO_SPEECH_PROB and logprob < LOW_AVG_LOGPROB)


def without_runs(items, text_of):
    """The items with every run of LOOP_LENGTH or more identical texts cut to its first."""
    kept = []
    run = []
    for item in list(items) + [None]:
        if item is not None and run and normalized(text_of(item)) == normalized(text_of(run[0])):
            run.append(item)
            continue
        kept.extend(run[:1] if len(run) >= LOOP_LENGTH else run)
        run = [item] if item is not None else []
    return kept


def without_loops(segments):
    return without_runs(segments, lambda segment: segment.text)


SENTENCE_END = re.compile(r"(?<=[.!?…。！？])\s+")


def without_repeats(text):
    """The text with every run of LOOP_LENGTH or more identical sentences cut to its
    first: without timestamps a decoding loop stays inside one segment."""
    kept = without_runs(SENTENCE_END.split(text), lambda sentence: sentence)
    separator = " " if text[:1].isspace() else ""
    return separator + " ".join(piece.strip() for piece in kept) if kept else ""


def speech_segments(segments):
    return without_loops([s for s in segments if is_speech(s) and s.text.strip()])


def agreed(previous, current):
    """The leading pieces of `current` that the previous pass found too."""
    count = 0
    for old, new in zip(previous, current):
        if (normalized(old.text) != normalized(new.text)
                or abs(old.start - new.start) > AGREEMENT_SLACK
                or abs(old.end - new.end) > AGREEMENT_SLACK):
            break
        count += 1
    return current[:count]


def float_audio(pcm):
    import numpy

    samples = len(pcm) // BYTES_PER_SAMPLE
    return numpy.frombuffer(pcm, dtype="<i2", count=samples).astype(numpy.float32) / 32768.0


class Utterance:
    """The audio of one utterance and what is known of it.

    The working buffer runs from `start` to the end of the audio. It begins
    in silence and is cut only inside silence, after segments committed by a
    beam-5 pass; whisper never sees a word cut in two at its front.
    """

    def __init__(self, uid, settings, partials, language):
        self.id = uid
        self.settings = settings
        self.partials = partials
        self.language = language      # None until detected
        self.open = True
        self.cancelled = False
        self.needs_model = True
        self.model_ready = False
        self.load_error = None
        self.pcm = bytearray()        # audio from sample `base` on
        self.base = 0
        self.speech = SpeechMap()
        self.start = 0
        self.committed = []           # texts that never change again
        self.hypothesis = []          # pieces of the last pass after `start`
        self.cut = None               # where the next commit may cut
        self.covered = 0              # samples the last pass heard
        self.settled = None           # (plan key, text) of a final made during a pause
        self.shown = ""

    def samples(self):
        return self.base + len(self.pcm) // BYTES_PER_SAMPLE

    def audio(self, spans):
        """Float audio of the [start, end) sample spans, joined."""
        data = bytearray()
        for begin, end in spans:
            begin = max(begin, self.base)
            data += self.pcm[(begin - self.base) * BYTES_PER_SAMPLE:
                             (end - self.base) * BYTES_PER_SAMPLE]
        return float_audio(bytes(data))

    def text(self):
        return joined(self.committed + [piece.text for piece in self.hypothesis])

    def prompt(self):
        """The user's prompt, followed by the text already committed."""
        context = joined(self.committed)[-PROMPT_CHARS:]
        user = self.settings.get("prompt") or ""
        if not context:
            return user
        return (user.rstrip() + " " + context) if user.strip() else context

    # --- the voice filter's view

    def skip_silence(self):
        """Moves the buffer start over silence, to a little before the next speech."""
        first = self.speech.first_start(self.start)
        limit = (first if first is not None else self.speech.analysed) - LEAD_PAD
        self.start = max(self.start, limit)

    def whole_spans(self):
        """The spans a one-pass final would hear, or None when they exceed a window."""
        if not self.speech.ranges:
            return []
        spans = self.speech.squeezed(0, self.samples(), LEAD_PAD)
        if sum(end - begin for begin, end in spans) > WHOLE_LIMIT or spans[0][0] < self.base:
            return None
        return spans

    def release(self):
        """Drops audio that neither a pass, the voice filter nor a one-pass final needs."""
        keep = min(self.start, self.speech.analysed - VAD_CONTEXT)
        whole = self.whole_spans()
        if whole:
            keep = min(keep, whole[0][0])
        if keep > self.base:
            del self.pcm[:(keep - self.base) * BYTES_PER_SAMPLE]
            self.base = keep

    # --- scheduling

    def preview_due(self):
        """Whether new speech has come since the last pass heard the buffer.

        Passes run one after the other, each as soon as the one before has
        cost what it costs: a pass over all that came meanwhile costs about
        what a pass over a moment does, so nothing ever waits in a queue.
        """
        analysed = self.speech.analysed
        if self.speech.between(self.start, analysed) < FIRST_SPEECH:
            return False
        if self.speech.between(self.covered, analysed) < MIN_NEW_SPEECH:
            return False
        # Nobody sees previews without partials: only those preparing a commit run.
        return self.partials or self.samples() - self.start >= COMMIT_BUFFER // 2

    def commit_cut(self):
        """Where to commit now: the agreed cut once the buffer is long, any
        silence once it is too long; None when no commit is due."""
        length = self.samples() - self.start
        if self.cut is not None and length >= COMMIT_BUFFER:
            return self.cut
        if length >= MAX_BUFFER:
            gaps = [gap for gap in self.speech.gaps(self.start, FORCED_CUT_GAP)
                    if gap[1] < self.speech.analysed]
            if gaps:
                return (gaps[-1][0] + gaps[-1][1]) // 2
        return None

    def spoke_after(self, sample):
        """Whether loud audio came after `sample`: a rough, cheap sign that the
        speaker went on, read without waiting for the voice filter."""
        import numpy

        begin = (max(sample, self.base) - self.base) * BYTES_PER_SAMPLE
        tail = bytes(self.pcm[begin:])
        values = numpy.frombuffer(tail, dtype="<i2", count=len(tail) // BYTES_PER_SAMPLE)
        return int(numpy.count_nonzero(numpy.abs(values.astype(numpy.int32)) >= LOUD_LEVEL)) \
            >= LOUD_SAMPLES

    def settle_due(self):
        last = self.speech.last_end()
        if last is None or self.speech.analysed - last < SETTLE_SILENCE:
            return False
        return self.settled is None or self.settled[0] != self.final_plan()[0]

    # --- passes

    def take_pass(self, pieces, heard_until):
        """Records a pass over the buffer; returns True when the text shown changed."""
        self.covered = heard_until
        self.cut = self._cut_after(agreed(self.hypothesis, pieces)) or self.cut
        self.hypothesis = pieces
        return self._show()

    def take_commit(self, texts):
        cut = self.cut
        self.committed.extend(texts)
        self.start, self.cut = cut, None
        self.hypothesis = [piece for piece in self.hypothesis if piece.start * SAMPLE_RATE >= cut]
        self.release()
        return self._show()

    def _show(self):
        text = self.text()
        changed = bool(text) and text != self.shown
        self.shown = text
        return changed

    def _cut_after(self, pieces):
        """The middle of the latest silence that follows one of `pieces`."""
        cut = None
        slack = AGREEMENT_SLACK * SAMPLE_RATE
        gaps = self.speech.gaps(self.start, MIN_CUT_GAP)
        for piece in pieces:
            end = piece.end * SAMPLE_RATE
            for gap_start, gap_end in gaps:
                if abs(end - gap_start) <= slack:
                    cut = (gap_start + gap_end) // 2
        return cut

    def final_plan(self):
        """(key, spans, committed texts, prompt) of the final: one pass over the whole
        utterance when it fits a window, else the committed text and a pass over the
        rest. No spans: nothing to hear."""
        last = self.speech.last_end()
        whole = self.whole_spans()
        if whole is not None:
            return ("whole", last), whole, [], self.settings.get("prompt") or ""
        spans = self.speech.squeezed(self.start, self.samples(), LEAD_PAD)
        return (("rest", self.start, last, len(self.committed)), spans, list(self.committed),
                self.prompt())


# ---------------------------------------------------------------- serve: server

class Pass:
    """How one whisper call is made. Previews need segment times, to agree and to
    cut; commits and finals want only text, and skip the timestamp tokens."""
    __slots__ = ("beam_size", "temperature", "timestamps")

    def __init__(self, beam_size, temperature, timestamps):
        self.beam_size = beam_size
        self.temperature = temperature
        self.timestamps = timestamps


# A preview is quick and never retried; what is kept is searched wider and
# decoded again at a higher temperature when it fails whisper's checks.
PREVIEW = Pass(1, 0.0, True)
KEEP = Pass(5, TEMPERATURES, False)


def transcribe(model, audio, language, prompt, kind, abandoned):
    """(segments, language) of one whisper call; segments is None when `abandoned()`
    turned true. The language is what whisper used, detected when None was given."""
    segments, info = model.transcribe(
        audio,
        language=language,
        initial_prompt=prompt or None,
        beam_size=kind.beam_size,
        temperature=kind.temperature,
        without_timestamps=not kind.timestamps,
        # Conditioning on its own output is what lets whisper loop.
        condition_on_previous_text=False,
        # The voice filter already ran on this audio as it arrived.
        vad_filter=False,
    )
    language = getattr(info, "language", None) or language
    found = []
    # Decoding happens while the segments are iterated: a cancel or a stop
    # takes effect at the next segment.
    for segment in segments:
        if abandoned():
            return None, language
        found.append(segment)
    return (None if abandoned() else found), language


# How long the end of input waits for the answers still due: the process
# must end within two seconds of its host.
DRAIN_SECONDS = 1.5


class WhisperServer:
    """Reads commands on the calling thread; a transcriber thread does the model work.

    The reading never waits for the model: audio keeps arriving while the
    model loads or a pass runs, and "cancel" and "quit" act at once. The
    transcriber picks its next job from the state the commands leave (finals
    first, then the model, the voice filter, a commit, a pass over new speech,
    a final prepared in a pause), so there is never more than one pass in
    flight and never a queue of stale ones.
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
        self.warm_pending = self.available
        self.reported = set()
        self.remembered = remembered_key()
        self.recognizer = Recognizer()
        self.voice_filter = load_voice_filter() if self.available else None
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
            except BadLine as error:
                log("skipping a header line %s" % error)
                self.writer.send({"type": "error", "message": "A command line was skipped: it is %s."
                                  % error})
                continue
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
        """Waits briefly for the answers to utterances already stopped; not at
        all when nobody reads them, since the end of input may be the host's death."""
        deadline = time.monotonic() + DRAIN_SECONDS
        with self.cond:
            self.closing = True
            if self.current is not None and self.current.open:
                self.current.cancelled = True
            self.cond.notify_all()
            while (self.finals or self.finishing) and not self.writer.broken():
                remaining = deadline - time.monotonic()
                if remaining <= 0:
                    log("input ended before the last utterance was answered")
                    return
                self.cond.wait(min(remaining, 0.1))

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
        language = self._language(uid, settings)
        self.current = Utterance(uid, settings, header.get("partials") is True, language)
        self.current.needs_model = self.available

    def _language(self, uid, settings):
        code, problem = language_code(settings.get("language"))
        if problem:
            self._report_once(uid, problem)
        name = model_key(settings)[0]
        if english_only(name):
            if code not in (None, "en"):
                self._report_once(uid, "The whisper model %s understands English only, so it "
                                       "takes dictation in English, not \"%s\". Choose a "
                                       "multilingual model for that language."
                                  % (name, settings["language"]))
            return "en"
        return code

    def _report_once(self, uid, message):
        if message not in self.reported:
            self.reported.add(message)
            log(message)
            self.writer.send({"type": "error", "id": uid, "message": message})

    def _audio(self, header, payload):
        utterance = self.current
        uid = whole_number(header.get("id"))
        if utterance is None or not utterance.open or uid != utterance.id or not payload:
            return
        utterance.pcm += payload

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

    # --- choosing the next job, on the transcriber thread

    def _next_job(self):
        """(job, utterance), or None when there is nothing to do until a command comes."""
        while self.finals:
            utterance = self.finals.popleft()
            if not utterance.cancelled:
                self.finishing = True
                return self._final, utterance
        if self.warm_pending:
            self.warm_pending = False
            return self._warm, None
        utterance = self.current
        if self.closing or utterance is None or not utterance.open:
            return None
        if utterance.needs_model:
            utterance.needs_model = False
            return self._prepare, utterance
        if not utterance.model_ready:
            return None
        if utterance.samples() - utterance.speech.analysed >= VAD_STEP:
            return self._analyse, utterance
        cut = utterance.commit_cut()
        if cut is not None:
            utterance.cut = cut
            return self._commit, utterance
        if utterance.preview_due():
            return self._preview, utterance
        if utterance.settle_due():
            return self._settle, utterance
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
            except Exception as error:
                log_failure("unexpected failure", error)
            finally:
                with self.cond:
                    self.finishing = False
                    self.cond.notify_all()

    def _wanted(self, utterance):
        return utterance.open and not utterance.cancelled and self.current is utterance

    # --- the model

    def _warm(self, _nothing):
        """Loads the model the last dictation used (or the default) before anyone asks."""
        key = self.remembered or model_key({})
        try:
            self.recognizer.model_for(key)
        except ModelLoadError as error:
            log("no model loaded in advance:", str(error))

    def _model(self, utterance):
        if utterance.load_error:
            raise ModelLoadError(utterance.load_error)
        key = model_key(utterance.settings)
        try:
            model = self.recognizer.model_for(key)
        except ModelLoadError as error:
            self._load_failed(utterance, error)
            raise
        self._warn(utterance)
        if key != self.remembered:
            self.remembered = key
            remember_key(key)
        return model

    def _load_failed(self, utterance, error):
        # Said at once, so the user learns it before speaking a long text.
        utterance.load_error = str(error)
        log(str(error))
        self.writer.send({"type": "error", "id": utterance.id, "message": str(error)})

    def _warn(self, utterance):
        warning = self.recognizer.take_warning()
        if warning:
            log(warning)
            self.writer.send({"type": "error", "id": utterance.id, "message": warning})

    def _prepare(self, utterance):
        try:
            self._model(utterance)
        except ModelLoadError:
            return
        with self.cond:
            utterance.model_ready = True

    def _whisper(self, utterance, audio, kind, prompt, abandoned):
        model = self._model(utterance)
        language = utterance.language
        try:
            result = transcribe(model, audio, language, prompt, kind, abandoned)
        except RuntimeError as error:
            # A GPU can still fail after its trial (out of memory, a driver
            # fault): the same pass again on the CPU, so no audio is lost.
            try:
                if not self.recognizer.fall_back(error):
                    raise
            except ModelLoadError as failure:
                self._load_failed(utterance, failure)
                raise
            self._warn(utterance)
            result = transcribe(self.recognizer.model, audio, language, prompt, kind,
                                abandoned)
        if utterance.language is None and result[1]:
            # Detected once per utterance, then fixed: each detection is an
            # encoder pass of its own, and short passes flip languages.
            utterance.language = result[1]
        return result[0]

    # --- jobs

    def _analyse(self, utterance, everything=False):
        with self.cond:
            end = utterance.samples()
            if not everything:
                end -= (end - utterance.speech.analysed) % VAD_CHUNK
            if end <= utterance.speech.analysed:
                return
            begin = max(utterance.speech.analysed - VAD_CONTEXT, utterance.base)
            audio = utterance.audio([(begin, end)])
        if self.voice_filter is None:
            found = [{"start": 0, "end": end - begin}]
        else:
            found = self.voice_filter(audio)
        with self.cond:
            utterance.speech.merge(begin, end, found)
            utterance.skip_silence()
            utterance.release()

    def _preview(self, utterance):
        self._analyse(utterance, everything=True)
        with self.cond:
            begin, end = utterance.start, utterance.samples()
            audio = utterance.audio([(begin, end)])
            prompt = utterance.prompt()
        try:
            segments = self._whisper(utterance, audio, PREVIEW, prompt,
                                     lambda: not self._wanted(utterance))
        except Exception as error:
            # A preview that fails is not worth an error; the final reports it.
            log("partial transcription failed:", error_text(error))
            return
        offset = begin / SAMPLE_RATE
        with self.cond:
            if segments is None or not self._wanted(utterance) or utterance.start != begin:
                return
            pieces = [Piece(offset + s.start, offset + s.end, s.text)
                      for s in speech_segments(segments)]
            changed = utterance.take_pass(pieces, end)
            text = utterance.shown
        self._show(utterance, changed, text)

    def _commit(self, utterance):
        with self.cond:
            begin, cut = utterance.start, utterance.cut
            audio = utterance.audio(utterance.speech.squeezed(begin, cut, LEAD_PAD))
            prompt = utterance.prompt()
        if not len(audio):
            segments = []
        else:
            try:
                segments = self._whisper(utterance, audio, KEEP, prompt,
                                         lambda: not self._wanted(utterance))
            except Exception as error:
                log("commit pass failed:", error_text(error))
                return
        with self.cond:
            if segments is None or not self._wanted(utterance) or utterance.start != begin:
                return
            changed = utterance.take_commit([without_repeats(s.text)
                                             for s in speech_segments(segments)])
            text = utterance.shown
        self._show(utterance, changed, text)

    def _settle(self, utterance):
        """A final made in a pause: when the speaker stops there, it is the answer at once."""
        with self.cond:
            key, spans, committed, prompt = utterance.final_plan()
            audio = utterance.audio(spans)
            heard = utterance.speech.analysed

        def abandoned():
            # Kept after a stop, which wants exactly this text; dropped when
            # the speaker goes on, so the next words are not kept waiting.
            return utterance.cancelled or (utterance.open and utterance.spoke_after(heard))

        try:
            text = self._final_text(utterance, audio, committed, prompt, abandoned)
        except Exception as error:
            log("final pass in a pause failed:", error_text(error))
            return
        if text is None:
            return
        with self.cond:
            utterance.settled = (key, text)
            changed = bool(text) and text != utterance.shown and utterance.open
            utterance.shown = text
        self._show(utterance, changed, text)

    def _show(self, utterance, changed, text):
        # Partials and finals are all sent from this thread, so a partial can
        # never come after the final of its utterance.
        if changed and utterance.partials:
            self.writer.send({"type": "partial", "id": utterance.id, "text": text})

    def _final_text(self, utterance, audio, committed, prompt, abandoned):
        if not len(audio):
            return joined(committed)
        segments = self._whisper(utterance, audio, KEEP, prompt, abandoned)
        if segments is None:
            return None
        return joined(committed + [without_repeats(s.text) for s in speech_segments(segments)])

    def _final(self, utterance):
        if not self.available:
            self._fail(utterance.id, "Whisper is not installed. Missing: %s" % ", ".join(self.missing))
            return
        if utterance.load_error:
            # Reported when the model failed to load.
            self.writer.send({"type": "end", "id": utterance.id})
            return
        self._analyse(utterance, everything=True)
        with self.cond:
            key, spans, committed, prompt = utterance.final_plan()
            settled = utterance.settled
            audio = utterance.audio(spans)
        try:
            if settled is not None and settled[0] == key:
                text = settled[1]
            else:
                text = self._final_text(utterance, audio, committed, prompt,
                                        lambda: utterance.cancelled)
        except ModelLoadError:
            self.writer.send({"type": "end", "id": utterance.id})
            return
        except Exception as error:
            log_failure("transcription failed", error)
            if not utterance.cancelled:
                self._fail(utterance.id, "Transcription failed: %s" % error_text(error))
            return
        if text is not None and not utterance.cancelled:
            self.writer.send({"type": "final", "id": utterance.id, "text": text})
            self.writer.send({"type": "end", "id": utterance.id})

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
    # The worker may be deep inside a transcription that nobody waits for.
    end_process(0)


# ---------------------------------------------------------------- self-test
#
# Answers "does dictation work here, and how fast": the model serve would
# use, loaded the way serve loads it, then one preview pass over a full 30-s
# window, which costs what every pass costs since whisper pads each window
# to 30 s. A device other than the CPU is timed in a child process, as serve
# probes it: a GPU without cuDNN kills the process at its first encode.

SELFTEST_OPTIONS = {"--model": "model", "--device": "device", "--compute-type": "computeType",
                    "--language": "language"}
SELFTEST_USAGE = ("usage: whisper_helper.py selftest [--model ID] [--device D] "
                  "[--compute-type C] [--language L]")
# Quiet noise: the same audio on every run, and no words for the decoder to
# spend tokens on, so the figure is the encoder's, as in a pause of speech.
NOISE_SEED = 1616
NOISE_LEVEL = 0.01


def selftest_settings(args):
    """The settings the options give (empty values left out), or None for bad usage."""
    settings = {}
    items = iter(args)
    for option in items:
        key = SELFTEST_OPTIONS.get(option)
        value = next(items, None)
        if key is None or value is None:
            return None
        if value:
            settings[key] = value
    return settings


def selftest_language(name, setting):
    """The language of the timed pass: never None, since detecting would add a pass."""
    code, problem = language_code(setting)
    if problem:
        log(problem)
    if code is None or english_only(name):
        return "en"
    return code


def selftest_device(device):
    """The device to time: "auto" is the CPU without a GPU, and CUDA with one."""
    if device != "auto":
        return device
    count = gpu_count()
    if count == 0:
        return FALLBACK_DEVICE
    return "cuda" if count else device


def pass_verdict(seconds):
    if seconds <= LIVE_PASS_SECONDS:
        return "live"
    if seconds <= FINAL_PASS_SECONDS:
        return "final"
    return "slow"


def window_audio():
    import numpy

    generator = numpy.random.default_rng(NOISE_SEED)
    return (generator.standard_normal(WHOLE_LIMIT) * NOISE_LEVEL).astype(numpy.float32)


def time_model(emit, source, device, compute_type, language):
    """(load seconds, pass seconds): the model loaded and warmed up as serve does it,
    then one timed preview pass over a full window, its segments included."""
    audio = window_audio()
    began = time.monotonic()
    model = construct_model(source, device, compute_type)
    load_seconds = time.monotonic() - began
    warm_up(model)
    emit({"type": "stage", "stage": "time", "device": device, "computeType": compute_type})
    began = time.monotonic()
    transcribe(model, audio, language, None, PREVIEW, lambda: False)
    return load_seconds, time.monotonic() - began


def run_time(out, args):
    if len(args) != 4:
        log("usage: whisper_helper.py time SOURCE DEVICE COMPUTE_TYPE LANGUAGE")
        return 2
    die_with_parent()
    writer = LineWriter(out)
    try:
        load_seconds, pass_seconds = time_model(writer.emit, *args)
    except Exception as error:
        log_failure("the model does not run on %s with %s" % (args[1], args[2]), error)
        return 1
    writer.emit({"type": "timed", "loadSeconds": load_seconds, "passSeconds": pass_seconds})
    return 0


class ErrorTail(threading.Thread):
    """Passes a child's standard error on to ours and keeps its last line."""

    PREFIX = "whisper_helper: "

    def __init__(self, stream):
        super().__init__(name="child-stderr", daemon=True)
        self._stream = stream
        self.last = ""
        self.start()

    def run(self):
        for raw in self._stream:
            sys.stderr.buffer.write(raw)
            sys.stderr.flush()
            line = raw.decode("utf-8", "replace").strip()
            if line:
                # Our own log prefix says nothing to the user.
                self.last = line[len(self.PREFIX):] if line.startswith(self.PREFIX) else line


def figures_of(obj):
    """(load seconds, pass seconds) of the child's "timed" line, or None."""
    figures = (obj.get("loadSeconds"), obj.get("passSeconds"))
    if all(isinstance(value, (int, float)) and not isinstance(value, bool) and value >= 0
           for value in figures):
        return figures
    return None


def time_in_child(emit, source, device, compute_type, language):
    """((load seconds, pass seconds), None), or (None, why the child did not time it).
    The child's stage lines are passed on as they come."""
    command = [sys.executable, os.path.abspath(__file__), "time", source, device, compute_type,
               language]
    try:
        child = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                 stderr=subprocess.PIPE)
    except OSError as error:
        return None, error_text(error)
    errors = ErrorTail(child.stderr)
    expired = threading.Event()

    def expire():
        expired.set()
        child.kill()

    timer = threading.Timer(PROBE_TIMEOUT, expire)
    timer.start()
    figures = None
    try:
        for line in child.stdout:
            try:
                obj = json.loads(line.decode("utf-8"))
            except ValueError:
                continue
            if not isinstance(obj, dict):
                continue
            if obj.get("type") == "stage":
                emit(obj)
            elif obj.get("type") == "timed":
                figures = figures_of(obj)
        returncode = child.wait()
    finally:
        timer.cancel()
        child.stdout.close()
    errors.join()
    if expired.is_set():
        return None, "the trial run did not finish within %d s" % PROBE_TIMEOUT
    if returncode == 0 and figures is not None:
        return figures, None
    return None, trial_failure(returncode, errors.last)


def time_here(emit, source, device, compute_type, language):
    """time_in_child's answer, for the CPU, which is timed in this process."""
    try:
        return time_model(emit, source, device, compute_type, language), None
    except Exception as error:
        log_failure("the model does not run on %s with %s" % (device, compute_type), error)
        return None, error_text(error)


def time_on(emit, source, device, compute_type, language):
    timer = time_here if device == FALLBACK_DEVICE else time_in_child
    return timer(emit, source, device, compute_type, language)


def selftest_failure(name, problem, error, missing=None):
    result = {"type": "result", "ok": False, "model": name, "problem": problem,
              "error": " ".join(error.split())}
    if missing is not None:
        result["missing"] = missing
    return result


def selftest_success(name, device, compute_type, figures):
    load_seconds, pass_seconds = (round(value, 3) for value in figures)
    return {"type": "result", "ok": True, "model": name, "device": device,
            "computeType": compute_type, "passSeconds": pass_seconds,
            "loadSeconds": load_seconds, "verdict": pass_verdict(pass_seconds)}


def self_test(emit, settings):
    """The result line of the self-test; progress goes to `emit` on the way."""
    name, requested_device, compute_type = model_key(settings)
    missing = missing_modules()
    if missing:
        return selftest_failure(name, "notInstalled", "Whisper is not installed. Missing: %s"
                                % ", ".join(missing), missing)
    try:
        source = model_source(name)
    except ModelLoadError as error:
        return selftest_failure(name, "notDownloaded", str(error))
    language = selftest_language(name, settings.get("language"))
    device = selftest_device(requested_device)
    emit({"type": "stage", "stage": "load", "model": name, "device": device,
          "computeType": compute_type})
    figures, reason = time_on(emit, source, device, compute_type, language)
    if figures is not None:
        return selftest_success(name, device, compute_type, figures)
    if (device, compute_type) == (FALLBACK_DEVICE, FALLBACK_COMPUTE_TYPE):
        return selftest_failure(name, "failed", "Unable to run the whisper model %s: %s"
                                % (name, reason))
    # What serve does next, so the figure is that of the dictation the user will get.
    reason = " ".join(reason.split())
    log("whisper cannot run on", device, "with", compute_type + ":", reason)
    emit({"type": "stage", "stage": "fallback", "device": FALLBACK_DEVICE,
          "computeType": FALLBACK_COMPUTE_TYPE, "reason": reason})
    figures, error = time_on(emit, source, FALLBACK_DEVICE, FALLBACK_COMPUTE_TYPE, language)
    if figures is None:
        return selftest_failure(name, "failed", "Unable to run the whisper model %s: %s"
                                % (name, error))
    return dict(selftest_success(name, FALLBACK_DEVICE, FALLBACK_COMPUTE_TYPE, figures),
                requestedDevice=device, requestedComputeType=compute_type,
                fallbackReason=reason)


def run_selftest(out, args):
    settings = selftest_settings(args)
    if settings is None:
        log(SELFTEST_USAGE)
        return 2
    # Only the local cache is looked at: a missing model is reported, never fetched.
    os.environ["HF_HUB_OFFLINE"] = "1"
    writer = LineWriter(out)
    result = self_test(writer.emit, settings)
    writer.emit(result)
    return 0 if result["ok"] else 1


# ---------------------------------------------------------------- main

USAGE = ("usage: whisper_helper.py check | models | download (--all | --model ID) | serve"
         " | selftest [OPTION VALUE]...")


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
    if mode == "probe":
        return run_probe(out, args)
    if mode == "selftest":
        return run_selftest(out, args)
    if mode == "time":
        return run_time(out, args)
    log(USAGE)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))

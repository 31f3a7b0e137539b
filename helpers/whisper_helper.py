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

import json
import os
import queue
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
# Older hubs can leave a snapshot folder behind that looks complete after an
# interrupted download, so a model counts as present only with these files.
REQUIRED_MODEL_FILES = ("model.bin", "config.json", "tokenizer.json")

MIB = 1024 * 1024


class Model:
    __slots__ = ("id", "name", "size_mib", "multilingual", "repo")

    def __init__(self, model_id, name, size_mib, multilingual, repo):
        self.id = model_id
        self.name = name
        self.size_mib = size_mib
        self.multilingual = multilingual
        self.repo = repo


def _systran(name):
    return "Systran/faster-whisper-" + name


def _distil(name):
    return "Systran/faster-distil-whisper-" + name


_TURBO_REPO = "mobiuslabsgmbh/faster-whisper-large-v3-turbo"

# The names faster-whisper accepts, with the repository each one is fetched
# from. distil-large-v3.5 is left out: we do not know its repository, and a
# model we cannot download must not be offered. The distil models were
# trained on English only.
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
    Model("large-v3", "Large v3", 2947, True, _systran("large-v3")),
    Model("large", "Large (v3)", 2947, True, _systran("large-v3")),
    Model("distil-large-v2", "Distil Large v2 (English)", 1440, False, _distil("large-v2")),
    Model("distil-medium.en", "Distil Medium (English)", 752, False, _distil("medium.en")),
    Model("distil-small.en", "Distil Small (English)", 317, False, _distil("small.en")),
    Model("distil-large-v3", "Distil Large v3 (English)", 1440, False, _distil("large-v3")),
    Model("large-v3-turbo", "Large v3 Turbo", 1545, True, _TURBO_REPO),
    Model("turbo", "Turbo (Large v3 Turbo)", 1545, True, _TURBO_REPO),
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

def import_hub():
    try:
        import huggingface_hub
    except Exception as error:
        log("cannot import huggingface_hub:", repr(error))
        return None
    return huggingface_hub


def complete_snapshot(hub, repo):
    """The snapshot folder of `repo` when every file a model needs is on disk.

    Never touches the network: try_to_load_from_cache only looks at the cache,
    and each file it names is checked again because a snapshot link may point
    at a blob that never finished downloading.
    """
    folder = None
    for filename in REQUIRED_MODEL_FILES:
        try:
            path = hub.try_to_load_from_cache(repo, filename)
        except Exception as error:
            log("cache lookup failed for", repo, filename + ":", repr(error))
            return None
        # The hub answers with a sentinel object (not a path) for files it
        # knows to be absent upstream.
        if not isinstance(path, str) or not os.path.isfile(path):
            return None
        folder = os.path.dirname(path)
    return folder


def cached_model_path(model_id):
    """The local folder of a catalogue model that is fully downloaded, else None."""
    model = CATALOGUE_BY_ID.get(model_id)
    if model is None:
        return None
    hub = import_hub()
    if hub is None:
        return None
    return complete_snapshot(hub, model.repo)


# ---------------------------------------------------------------- download

def make_progress_class(emit, model):
    """A tqdm stand-in for snapshot_download that turns progress into events.

    Hubs up to 1.0 hand the class to thread_map, which iterates over it and
    counts files; later hubs feed it byte counts (unit "B") and let "total"
    grow as each file starts. Byte counts are reported as they come. File
    counts carry no sizes, so they are spread over the catalogue size of the
    model to give the user an idea of the amount.
    """
    approx_total = model.size_mib * MIB
    lock = threading.RLock()
    shared = {"bytes_seen": False, "last": None, "last_time": 0.0}

    class DownloadProgress:
        _lock = None

        def __init__(self, iterable=None, desc=None, total=None, *args, **kwargs):
            self.iterable = iterable
            self.desc = desc
            if total is None and iterable is not None:
                try:
                    total = len(iterable)
                except TypeError:
                    total = None
            self.total = total
            self.n = kwargs.get("initial") or 0
            self.unit = kwargs.get("unit") or "it"
            self.disable = False
            self.pos = 0

        # tqdm.contrib.concurrent uses these on the class, and deletes
        # _lock again afterwards.
        @classmethod
        def get_lock(cls):
            if getattr(cls, "_lock", None) is None:
                cls._lock = threading.RLock()
            return cls._lock

        @classmethod
        def set_lock(cls, new_lock):
            cls._lock = new_lock

        @classmethod
        def write(cls, text, file=None, end="\n", nolock=False):
            sys.stderr.write(str(text) + end)

        def __iter__(self):
            if self.iterable is None:
                return
            for item in self.iterable:
                yield item
                self.update(1)

        def __len__(self):
            return int(self.total or 0)

        def __enter__(self):
            return self

        def __exit__(self, *exc):
            self.close()
            return False

        def update(self, n=1):
            with lock:
                self.n += n or 0
                self._report(False)

        def refresh(self, *args, **kwargs):
            with lock:
                self._report(False)

        def close(self):
            with lock:
                self._report(True)

        def reset(self, total=None):
            with lock:
                self.n = 0
                if total is not None:
                    self.total = total

        def __getattr__(self, name):
            # Any other part of the tqdm interface (set_description,
            # set_postfix, clear, display, ...) does nothing here.
            if name.startswith("__"):
                raise AttributeError(name)
            return lambda *args, **kwargs: None

        def _report(self, closing):
            if self.unit == "B":
                shared["bytes_seen"] = True
                received = int(self.n)
                total = int(self.total or 0)
                # While only the small files have started, the growing total
                # is far below the model's size and the bar would run to
                # 100 % and fall back; the catalogue size stands in until
                # the large file is under way.
                if not closing and total < approx_total // 2:
                    total = approx_total
            else:
                if shared["bytes_seen"]:
                    return
                count = self.total or 0
                fraction = min(self.n / count, 1.0) if count else 0.0
                total = approx_total
                received = int(total * fraction)
            percent = int(received * 100 // total) if total > 0 else 0
            percent = max(0, min(100, percent))
            current = (received, total, percent)
            now = time.monotonic()
            last = shared["last"]
            if current == last:
                return
            # Keep the event stream small: a new percentage, the end of a
            # bar, or at least half a second since the previous event.
            if (last is not None and last[2] == percent and not closing
                    and now - shared["last_time"] < 0.5):
                return
            shared["last"] = current
            shared["last_time"] = now
            emit({"type": "progress", "model": model.id, "received": received,
                  "total": total, "percent": percent})

    return DownloadProgress


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
    path = complete_snapshot(hub, model.repo)
    if path:
        emit({"type": "cached", "model": model_id, "path": path})
        return 0
    emit({"type": "start", "model": model_id})
    try:
        path = hub.snapshot_download(
            repo_id=model.repo,
            allow_patterns=MODEL_FILE_PATTERNS,
            tqdm_class=make_progress_class(emit, model),
        )
    except Exception as error:
        log("download of", model.repo, "failed:\n" + traceback.format_exc())
        emit({"type": "error", "model": model_id, "message": error_text(error)})
        return 1
    absent = [name for name in REQUIRED_MODEL_FILES
              if not os.path.isfile(os.path.join(str(path), name))]
    if absent:
        emit({"type": "error", "model": model_id,
              "message": "The download is incomplete, missing: %s" % ", ".join(absent)})
        return 1
    emit({"type": "finished", "model": model_id, "path": str(path)})
    return 0


def list_cached_models(writer):
    # Only the local cache is looked at; make sure nothing reaches out.
    os.environ["HF_HUB_OFFLINE"] = "1"
    hub = import_hub()
    if hub is None:
        return 0
    for model in CATALOGUE:
        path = complete_snapshot(hub, model.repo)
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


class Recognizer:
    """Owns the loaded WhisperModel; used by the worker thread only."""

    def __init__(self):
        self._model = None
        self._key = None

    def _model_for(self, settings):
        name = settings.get("model") or DEFAULT_MODEL
        device = settings.get("device") or DEFAULT_DEVICE
        compute_type = settings.get("computeType") or DEFAULT_COMPUTE_TYPE
        key = (name, device, compute_type)
        if self._model is not None and self._key == key:
            return self._model
        # Let go of the old model first: two large models may not fit.
        self._model = None
        self._key = None
        # A downloaded model is loaded from its folder, which needs no
        # network look-up at all; anything else (a path, a repository id, a
        # model not downloaded yet) is left to faster-whisper.
        source = cached_model_path(name) or name
        log("loading model", repr(source), "device", device, "compute type", compute_type)
        try:
            from faster_whisper import WhisperModel
            model = WhisperModel(source, device=device, compute_type=compute_type)
        except Exception as error:
            raise ModelLoadError("Unable to load the whisper model %s: %s"
                                 % (name, error_text(error))) from error
        self._model = model
        self._key = key
        return model

    def transcribe(self, pcm, settings, partial):
        import numpy

        samples = len(pcm) // BYTES_PER_SAMPLE
        if samples == 0:
            return ""
        model = self._model_for(settings)
        audio = numpy.frombuffer(pcm, dtype="<i2", count=samples).astype(numpy.float32) / 32768.0
        language = settings.get("language") or None
        if language == "auto":
            language = None
        segments, _info = model.transcribe(
            audio,
            language=language,
            initial_prompt=settings.get("prompt") or None,
            # Partials only preview the text; the final pass searches wider.
            beam_size=1 if partial else 5,
            vad_filter=True,
        )
        return "".join(segment.text for segment in segments).strip()


class Utterance:
    def __init__(self, uid, settings, partials):
        self.id = uid
        self.settings = settings
        self.partials = partials
        self.audio = bytearray()
        self.open = True
        self.cancelled = False
        self.partial_mark = 0
        self.partial_pending = False


SETTING_KEYS = ("model", "language", "computeType", "device", "prompt")


class WhisperServer:
    """Reads commands on the calling thread; a worker thread transcribes.

    Transcribing on a thread of its own keeps the command stream flowing:
    audio keeps arriving while a partial is computed, and "quit" ends the
    process at once even in the middle of a long transcription.
    """

    def __init__(self, writer, missing):
        self.writer = writer
        self.missing = missing
        self.available = not missing
        self.lock = threading.Lock()
        self.current = None
        self.closing = False
        self.tasks = queue.Queue()
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
                with self.lock:
                    self.closing = True
                self.tasks.join()
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
            handler(header, payload)

    def _start(self, header, _payload):
        uid = whole_number(header.get("id"))
        if uid is None:
            log("start without an integer id:", header)
            return
        settings = {key: header[key] for key in SETTING_KEYS
                    if isinstance(header.get(key), str) and header[key]}
        sample_format = header.get("sampleFormat", "int16")
        with self.lock:
            if self.current is not None and self.current.open:
                # Superseded without a stop: it will never be answered.
                self.current.open = False
                self.current.cancelled = True
            self.current = None
            if sample_format != "int16":
                refuse = True
            else:
                refuse = False
                self.current = Utterance(uid, settings, header.get("partials") is True)
        if refuse:
            self._fail(uid, "Unsupported sample format: %s" % (sample_format,))

    def _audio(self, header, payload):
        uid = whole_number(header.get("id"))
        with self.lock:
            utterance = self.current
            if utterance is None or not utterance.open or uid != utterance.id or not payload:
                return
            utterance.audio += payload
            if (utterance.partials and self.available and not utterance.partial_pending
                    and len(utterance.audio) - utterance.partial_mark >= BYTES_PER_SECOND):
                utterance.partial_pending = True
                utterance.partial_mark = len(utterance.audio)
                self.tasks.put(("partial", utterance, bytes(utterance.audio)))

    def _stop(self, header, _payload):
        uid = whole_number(header.get("id"))
        with self.lock:
            utterance = self.current
            if utterance is None or not utterance.open or uid != utterance.id:
                return
            utterance.open = False
            pcm = bytes(utterance.audio)
            utterance.audio = bytearray()
            self.tasks.put(("final", utterance, pcm))

    def _cancel(self, header, _payload):
        uid = whole_number(header.get("id"))
        with self.lock:
            utterance = self.current
            if utterance is None or uid != utterance.id:
                return
            utterance.open = False
            utterance.cancelled = True
            utterance.audio = bytearray()
            self.current = None

    # --- transcription, on the worker thread

    def _work(self):
        while True:
            kind, utterance, pcm = self.tasks.get()
            try:
                if kind == "partial":
                    self._partial(utterance, pcm)
                else:
                    self._final(utterance, pcm)
            except Exception:
                log("unexpected failure:\n" + traceback.format_exc())
            finally:
                self.tasks.task_done()

    def _wanted(self, utterance):
        with self.lock:
            return utterance.open and not self.closing and self.current is utterance

    def _partial(self, utterance, pcm):
        try:
            if not self._wanted(utterance):
                return
            text = self.recognizer.transcribe(pcm, utterance.settings, partial=True)
        except Exception as error:
            # A preview that fails is not worth an error; the final pass
            # reports the problem.
            log("partial transcription failed:", error_text(error))
            return
        finally:
            with self.lock:
                utterance.partial_pending = False
        # Partial and final are both sent from this thread, so a partial can
        # never come after the final of its utterance.
        if self._wanted(utterance):
            self.writer.send({"type": "partial", "id": utterance.id, "text": text})

    def _final(self, utterance, pcm):
        if utterance.cancelled:
            return
        if not self.available:
            self._fail(utterance.id, "Whisper is not installed. Missing: %s" % ", ".join(self.missing))
            return
        try:
            text = self.recognizer.transcribe(pcm, utterance.settings, partial=False)
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

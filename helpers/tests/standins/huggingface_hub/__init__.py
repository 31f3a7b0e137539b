"""Stand-in for huggingface_hub: a fake remote written into a real cache layout.

The cache is $HF_HUB_CACHE (else $HF_HOME/hub, else ~/.cache/huggingface/hub):
models--<org>--<name>/refs/main, blobs/<sha256>, snapshots/<commit>/<file>
linking to the blob, as the real hub lays it out.

Controlled by the environment:
  STANDIN_HF_FAIL      snapshot_download raises OSError with this text
  STANDIN_HF_DELAY     seconds snapshot_download / hf_hub_download wait first
  STANDIN_HF_PROGRESS  how snapshot_download drives its tqdm_class, as hubs of
                       these versions do:
                       "files" (<= 1.0, default): thread_map counts files
                       "bytes" (1.1 to 1.22): one byte bar for the download,
                         whose total grows as each file starts
                       "two-bars" (1.23): thread_map counts files, and each
                         file gets a byte bar named after it; a large file
                         gets two in a row (transfer, then reconstruct),
                         each counting all its bytes
                       "xet" (>= 1.24): like "two-bars", and the large
                         files' callback reads bar.format_dict.get("rate");
                         if that raises, no later update of the download
                         reaches any bar, but the download completes
  STANDIN_HF_SKIP      comma list of files snapshot_download silently leaves out
  STANDIN_HF_MISSING   comma list of files hf_hub_download answers with a 404
  STANDIN_HF_FILE_SIZE size in bytes of model.bin (default 40000)
  STANDIN_HF_WRITE_DELAY seconds between the four pieces in which each blob is
                       written to <blob>.incomplete before it takes its name
"""

import fnmatch
import hashlib
import os
import sys
import time

from _standin import env_float, env_list, pollute, record

pollute("huggingface_hub import")

__version__ = "0.0-standin"

COMMIT = "5f3c0ffee5f3c0ffee5f3c0ffee5f3c0ffee5f3c"

# The repositories of the models made for 128 mel bins, the only ones with
# a preprocessor_config.json.
MEL128_REPOS = {
    "Systran/faster-whisper-large-v3",
    "Systran/faster-distil-whisper-large-v3",
    "distil-whisper/distil-large-v3.5-ct2",
    "mobiuslabsgmbh/faster-whisper-large-v3-turbo",
}
# From this size on a file takes the Xet path with its two bars.
LARGE_FILE = 1024


class EntryNotFoundError(OSError):
    pass


def _cache_dir(cache_dir=None):
    if cache_dir:
        return str(cache_dir)
    if os.environ.get("HF_HUB_CACHE"):
        return os.environ["HF_HUB_CACHE"]
    if os.environ.get("HF_HOME"):
        return os.path.join(os.environ["HF_HOME"], "hub")
    return os.path.join(os.path.expanduser("~"), ".cache", "huggingface", "hub")


def _repo_dir(repo_id, cache_dir=None):
    return os.path.join(_cache_dir(cache_dir), "models--" + repo_id.replace("/", "--"))


def _pieces(content):
    step = max(len(content) // 4, 1)
    return [content[offset:offset + step] for offset in range(0, len(content), step)]


def _store(repo_id, filename, content, cache_dir=None, received=None):
    root = _repo_dir(repo_id, cache_dir)
    os.makedirs(os.path.join(root, "refs"), exist_ok=True)
    with open(os.path.join(root, "refs", "main"), "w") as ref:
        ref.write(COMMIT)
    blobs = os.path.join(root, "blobs")
    os.makedirs(blobs, exist_ok=True)
    blob = os.path.join(blobs, hashlib.sha256(content).hexdigest())
    delay = env_float("STANDIN_HF_WRITE_DELAY")
    with open(blob + ".incomplete", "wb") as out:
        for piece in _pieces(content):
            out.write(piece)
            out.flush()
            if received:
                received(len(piece))
            time.sleep(delay)
    os.replace(blob + ".incomplete", blob)
    link = os.path.join(root, "snapshots", COMMIT, filename)
    os.makedirs(os.path.dirname(link), exist_ok=True)
    if os.path.lexists(link):
        os.remove(link)
    os.symlink(os.path.relpath(blob, os.path.dirname(link)), link)
    return link


def _remote_files(repo_id):
    model_size = int(os.environ.get("STANDIN_HF_FILE_SIZE", "40000"))
    files = {
        "config.json": b'{"standin": true}',
        "model.bin": b"m" * model_size,
        "tokenizer.json": b'{"tokens": []}',
        "vocabulary.txt": b"a\nb\n",
        "README.md": b"not a model file",
    }
    if repo_id in MEL128_REPOS:
        files["preprocessor_config.json"] = b'{"feature_size": 128}'
    return files


class _Feed:
    """Passes byte counts on to the bars of one download."""

    def __init__(self, reads_rate):
        self.reads_rate = reads_rate
        self.broken = False

    def count(self, bar, amount, xet=False):
        if self.broken:
            return
        if not (xet and self.reads_rate):
            bar.update(amount)
            return
        # The Xet callback: its exception is swallowed, and it is not called again.
        try:
            bar.update(amount)
            bar.format_dict.get("rate")
        except Exception as error:
            self.broken = True
            sys.stderr.write("stand-in: progress callback failed: %r\n" % (error,))


def _thread_map(tqdm_class, function, names):
    """What tqdm.contrib.concurrent.thread_map does with the class, in one worker."""
    old_lock = getattr(tqdm_class, "_lock", None)
    tqdm_class.set_lock(old_lock or tqdm_class.get_lock())
    try:
        for name in tqdm_class(iter(names), total=len(names), desc="Fetching %d files" % len(names)):
            function(name)
    finally:
        if old_lock is None:
            del tqdm_class._lock
        else:
            tqdm_class.set_lock(old_lock)


def _download_bar(tqdm_class, store, names, remote):
    bar = tqdm_class(desc="Downloading (incomplete total...)", total=0, initial=0, unit="B",
                     unit_scale=True, name="huggingface_hub.snapshot_download")
    for name in names:
        bar.total += len(remote[name])
        bar.refresh()
        store(name, bar.update)
    bar.close()


def _file_bars(tqdm_class, store, name, content, feed):
    options = dict(desc=name, total=len(content), initial=0, unit="B", unit_scale=True,
                   unit_divisor=1024, disable=False)
    if len(content) < LARGE_FILE:
        with tqdm_class(name="huggingface_hub.http_get", **options) as bar:
            store(name, lambda amount: feed.count(bar, amount))
        return
    with tqdm_class(leave=False, **options) as transfer:
        store(name, lambda amount: feed.count(transfer, amount, xet=True))
    with tqdm_class(**options) as reconstruct:
        for piece in _pieces(content):
            feed.count(reconstruct, len(piece), xet=True)


def snapshot_download(repo_id, repo_type=None, revision=None, cache_dir=None, local_dir=None,
                      allow_patterns=None, ignore_patterns=None, max_workers=8, tqdm_class=None,
                      **kwargs):
    pollute("snapshot_download")
    record("snapshot_download", repo_id=repo_id, allow_patterns=allow_patterns)
    time.sleep(env_float("STANDIN_HF_DELAY"))
    failure = os.environ.get("STANDIN_HF_FAIL")
    if failure:
        raise OSError(failure)
    remote = _remote_files(repo_id)
    patterns = [allow_patterns] if isinstance(allow_patterns, str) else allow_patterns
    skipped = env_list("STANDIN_HF_SKIP")
    names = [name for name in remote if name not in skipped
             and (patterns is None or any(fnmatch.fnmatch(name, p) for p in patterns))]

    def store(name, received=None):
        _store(repo_id, name, remote[name], cache_dir, received)

    style = os.environ.get("STANDIN_HF_PROGRESS", "files")
    if tqdm_class is None:
        for name in names:
            store(name)
    elif style == "bytes":
        _download_bar(tqdm_class, store, names, remote)
    elif style in ("two-bars", "xet"):
        feed = _Feed(reads_rate=style == "xet")
        _thread_map(tqdm_class, lambda name: _file_bars(tqdm_class, store, name, remote[name], feed),
                    names)
    else:
        _thread_map(tqdm_class, store, names)
    return os.path.join(_repo_dir(repo_id, cache_dir), "snapshots", COMMIT)


def try_to_load_from_cache(repo_id, filename, cache_dir=None, revision=None, repo_type=None):
    # Like hubs before 1.22, trust the snapshot link without looking at its
    # blob: a dangling link still comes back as a path.
    ref = os.path.join(_repo_dir(repo_id, cache_dir), "refs", revision or "main")
    try:
        with open(ref) as stream:
            commit = stream.read().strip()
    except OSError:
        return None
    path = os.path.join(_repo_dir(repo_id, cache_dir), "snapshots", commit, filename)
    return path if os.path.lexists(path) else None


def hf_hub_download(repo_id, filename, *, subfolder=None, repo_type=None, revision=None,
                    cache_dir=None, local_dir=None, local_files_only=False, **kwargs):
    pollute("hf_hub_download")
    record("hf_hub_download", repo_id=repo_id, filename=filename,
           local_files_only=local_files_only)
    time.sleep(env_float("STANDIN_HF_DELAY"))
    if filename in env_list("STANDIN_HF_MISSING"):
        raise EntryNotFoundError("404 Client Error: Entry Not Found for %s/%s" % (repo_id, filename))
    return _store(repo_id, filename, ("stand-in " + filename).encode(), cache_dir)

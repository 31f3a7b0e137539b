"""Stand-in for huggingface_hub: a fake remote written into a real cache layout.

The cache is $HF_HUB_CACHE (else $HF_HOME/hub, else ~/.cache/huggingface/hub):
models--<org>--<name>/refs/main, blobs/<sha256>, snapshots/<commit>/<file>
linking to the blob, as the real hub lays it out.

Controlled by the environment:
  STANDIN_HF_FAIL      snapshot_download raises OSError with this text
  STANDIN_HF_DELAY     seconds snapshot_download / hf_hub_download wait first
  STANDIN_HF_PROGRESS  "files" (hub <= 1.0: thread_map counts files, default)
                       or "bytes" (hub >= 1.1: one byte bar whose total grows)
  STANDIN_HF_SKIP      comma list of files snapshot_download silently leaves out
  STANDIN_HF_MISSING   comma list of files hf_hub_download answers with a 404
  STANDIN_HF_FILE_SIZE size in bytes of model.bin (default 40000)
  STANDIN_HF_WRITE_DELAY seconds between the four pieces in which each blob is
                       written to <blob>.incomplete before it takes its name
"""

import fnmatch
import hashlib
import os
import time

from _standin import env_float, env_list, pollute, record

pollute("huggingface_hub import")

__version__ = "0.0-standin"

COMMIT = "5f3c0ffee5f3c0ffee5f3c0ffee5f3c0ffee5f3c"


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


def _store(repo_id, filename, content, cache_dir=None):
    root = _repo_dir(repo_id, cache_dir)
    os.makedirs(os.path.join(root, "refs"), exist_ok=True)
    with open(os.path.join(root, "refs", "main"), "w") as ref:
        ref.write(COMMIT)
    blobs = os.path.join(root, "blobs")
    os.makedirs(blobs, exist_ok=True)
    blob = os.path.join(blobs, hashlib.sha256(content).hexdigest())
    delay = env_float("STANDIN_HF_WRITE_DELAY")
    with open(blob + ".incomplete", "wb") as out:
        step = max(len(content) // 4, 1)
        for offset in range(0, len(content), step):
            out.write(content[offset:offset + step])
            out.flush()
            time.sleep(delay)
    os.replace(blob + ".incomplete", blob)
    link = os.path.join(root, "snapshots", COMMIT, filename)
    os.makedirs(os.path.dirname(link), exist_ok=True)
    if os.path.lexists(link):
        os.remove(link)
    os.symlink(os.path.relpath(blob, os.path.dirname(link)), link)
    return link


def _remote_files():
    model_size = int(os.environ.get("STANDIN_HF_FILE_SIZE", "40000"))
    return {
        "config.json": b'{"standin": true}',
        "model.bin": b"m" * model_size,
        "tokenizer.json": b'{"tokens": []}',
        "vocabulary.txt": b"a\nb\n",
        "README.md": b"not a model file",
    }


def snapshot_download(repo_id, repo_type=None, revision=None, cache_dir=None, local_dir=None,
                      allow_patterns=None, ignore_patterns=None, max_workers=8, tqdm_class=None,
                      **kwargs):
    pollute("snapshot_download")
    record("snapshot_download", repo_id=repo_id, allow_patterns=allow_patterns)
    time.sleep(env_float("STANDIN_HF_DELAY"))
    failure = os.environ.get("STANDIN_HF_FAIL")
    if failure:
        raise OSError(failure)
    remote = _remote_files()
    patterns = [allow_patterns] if isinstance(allow_patterns, str) else allow_patterns
    names = [name for name in remote
             if patterns is None or any(fnmatch.fnmatch(name, p) for p in patterns)]
    skipped = env_list("STANDIN_HF_SKIP")

    def fetch(name):
        if name not in skipped:
            _store(repo_id, name, remote[name], cache_dir)

    style = os.environ.get("STANDIN_HF_PROGRESS", "files")
    if tqdm_class is None:
        for name in names:
            fetch(name)
    elif style == "bytes":
        bar = tqdm_class(desc="Downloading", total=0, unit="B", unit_scale=True,
                         name="huggingface_hub.snapshot_download")
        for name in names:
            size = len(remote[name])
            bar.total += size
            bar.refresh()
            fetch(name)
            step = max(size // 4, 1)
            for offset in range(0, size, step):
                bar.update(min(step, size - offset))
        bar.close()
    else:
        # What tqdm.contrib.concurrent.thread_map does with the class.
        lock = tqdm_class.get_lock()
        with lock:
            pass
        for name in tqdm_class(iter(names), total=len(names),
                               desc="Fetching %d files" % len(names)):
            fetch(name)
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

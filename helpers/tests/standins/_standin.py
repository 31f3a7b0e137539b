"""Shared plumbing of the stand-in modules used by the helper tests.

STANDIN_LOG names a file that receives one JSON line per recorded call, so a
test can see exactly what the helper passed in. STANDIN_SITE names the folder that stands for the environment's
site-packages: the pip and unidic stand-ins leave a marker there for what they
install, and the misaki and unidic stand-ins import only when theirs is there
(default: $HOME/standin-site). STANDIN_STDOUT=1 makes every
stand-in write to standard output, both through print() and straight to file
descriptor 1, the way chatty libraries do; the helpers must keep that off
their protocol stream.
"""

import json
import os
import threading

_lock = threading.Lock()


def record(event, **data):
    path = os.environ.get("STANDIN_LOG")
    if not path:
        return
    data["event"] = event
    data["pid"] = os.getpid()
    line = json.dumps(data, ensure_ascii=True) + "\n"
    with _lock, open(path, "a", encoding="ascii") as log:
        log.write(line)


def pollute(where):
    if os.environ.get("STANDIN_STDOUT") != "1":
        return
    print("stand-in print from", where)
    try:
        os.write(1, ("stand-in raw write from %s\n" % where).encode())
    except OSError:
        pass


def env_float(name, default=0.0):
    try:
        return float(os.environ.get(name, default))
    except ValueError:
        return default


def env_list(name):
    return [item for item in os.environ.get(name, "").split(",") if item]


def site_dir():
    return os.environ.get("STANDIN_SITE") or os.path.join(os.path.expanduser("~"), "standin-site")


def installed(name):
    return os.path.exists(os.path.join(site_dir(), name))


def install(name):
    os.makedirs(site_dir(), exist_ok=True)
    with open(os.path.join(site_dir(), name), "w"):
        pass

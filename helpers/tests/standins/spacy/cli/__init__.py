"""spacy.cli.download: install a trained pipeline package with pip."""

import os
import sys
import time

from _standin import env_float, pollute, record
from spacy import _mark_installed


def download(model, direct=False, sdist=False, *pip_args):
    pollute("spacy download")
    record("spacy_download", model=model)
    time.sleep(env_float("STANDIN_SPACY_DELAY"))
    if os.environ.get("STANDIN_SPACY_FAIL"):
        print("\u2718 Server error (%s)" % os.environ["STANDIN_SPACY_FAIL"])
        sys.exit(1)
    _mark_installed(model)
    print("\u2714 Download and installation successful")
    print("You can now load the package via spacy.load('%s')" % model)

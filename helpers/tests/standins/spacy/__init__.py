"""Stand-in for spaCy: only whether a trained pipeline package is installed,
and the command-line download that installs one with pip.

A package counts as installed when it is named in STANDIN_SPACY_INSTALLED
(a comma list) or a download put it into $HOME/.standin-spacy/. Controlled by
the environment:
  STANDIN_SPACY_FAIL   the download fails the way spaCy's does: it prints a
                       message and exits with status 1
  STANDIN_SPACY_DELAY  seconds the download takes
Like spaCy's own messages, the download's go to standard output.
"""

import os

from _standin import env_list


def _folder():
    return os.path.join(os.path.expanduser("~"), ".standin-spacy")


def _installed(name):
    return name in env_list("STANDIN_SPACY_INSTALLED") or os.path.exists(
        os.path.join(_folder(), name))


def _mark_installed(name):
    os.makedirs(_folder(), exist_ok=True)
    with open(os.path.join(_folder(), name), "w") as marker:
        marker.write("installed by the stand-in\n")

"""Stand-in for unidic: comes with misaki[ja]; its dictionary is a separate
download (`python -m unidic download`) into DICDIR.

STANDIN_UNIDIC_FAIL makes the download print that text and exit with status 1.
"""

import os

from _standin import installed, site_dir

if not installed("misaki[ja]"):
    raise ImportError("No module named 'unidic'")

DICDIR = os.path.join(site_dir(), "unidic", "dicdir")

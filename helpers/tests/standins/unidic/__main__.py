import os
import sys

from _standin import record

import unidic

record("unidic", args=sys.argv[1:])
failure = os.environ.get("STANDIN_UNIDIC_FAIL")
if failure:
    print(failure, file=sys.stderr)
    sys.exit(1)
if sys.argv[1:] != ["download"]:
    sys.exit(2)
os.makedirs(unidic.DICDIR, exist_ok=True)
with open(os.path.join(unidic.DICDIR, "mecabrc"), "w") as out:
    out.write("dicdir = .\n")

import os
import sys

from _standin import install, record

args = sys.argv[1:]
record("pip", args=args)
print("Collecting", " ".join(args[1:]))
failure = os.environ.get("STANDIN_PIP_FAIL")
if failure:
    print(failure, file=sys.stderr)
    sys.exit(1)
if args[:1] != ["install"]:
    sys.exit(2)
for name in args[1:]:
    install(name)
print("Successfully installed", " ".join(args[1:]))

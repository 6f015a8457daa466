"""The library a script in this work tree runs: $ORVEL_LIBRARY (the binding's
variable; $ORVEL_LIB is still read for older scripts), else the newest
build*/libtalmerin-orvel.so.1 here, else None. Training and the voice
benchmark hand it to talmerin_orvel.Engine(library=...).

    python3 tools/built_library.py   # prints the path; exits 1 when there is none
"""

import glob
import os
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
LIB_FILE = "libtalmerin-orvel.so.1"


def find():
    env = os.environ.get("ORVEL_LIBRARY") or os.environ.get("ORVEL_LIB")
    if env:
        return env
    found = glob.glob(os.path.join(ROOT, "build*", LIB_FILE))
    return max(found, key=os.path.getmtime) if found else None


if __name__ == "__main__":
    path = find()
    if path:
        print(path)
    sys.exit(0 if path else 1)

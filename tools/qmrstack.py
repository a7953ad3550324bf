#!/usr/bin/python3
"""qmrstack - a local stack of the services the client talks to, on 127.0.0.1.

The command line of the package tools/qmrstack/ (see its __init__.py), kept at this path for
./qmr, the C++ test harness and the README. The package folder takes precedence over this file
when `qmrstack` is imported, so `from qmrstack import Stack` gets the package too.
"""

import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from qmrstack.cli import main  # noqa: E402

if __name__ == "__main__":
    sys.exit(main())

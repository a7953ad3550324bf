"""`python3 -m qmrstack` (with tools/ on the path): the same command line as tools/qmrstack.py."""

import sys

from .cli import main

sys.exit(main())

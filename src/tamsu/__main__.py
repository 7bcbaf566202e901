"""python -m tamsu: the tamsu command."""

import sys

from tamsu.cli import main

if __name__ == "__main__":
    sys.exit(main())

"""`python -m kestrix`: the same command as the `kestrix` script."""

import sys

from kestrix.cli import main

if __name__ == "__main__":
    sys.exit(main())

"""``python -m velmora_funnel``: the same command line as ``velmora-funnel``."""

import sys

from .cli import main

if __name__ == "__main__":
    sys.exit(main(prog="velmora-funnel"))

"""``python -m velmora_funnel``: the same command line as ``velmora-funnel``."""

import sys

from .cli import main
from .run.pool import keep_freed_memory

if __name__ == "__main__":
    keep_freed_memory()  # the command's own process
    sys.exit(main(prog="velmora-funnel"))

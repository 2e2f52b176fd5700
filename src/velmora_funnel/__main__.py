"""``python -m velmora_funnel``: the same command line as ``velmora-funnel``."""

import sys

from ._many import keep_freed_memory
from .cli import main

if __name__ == "__main__":
    keep_freed_memory()  # the command's own process
    sys.exit(main(prog="velmora-funnel"))

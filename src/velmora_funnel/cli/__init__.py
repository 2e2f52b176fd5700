"""The command line ``velmora-funnel`` (also ``python -m velmora_funnel``).

app holds the parser, which each command's module (compare, batch, accept,
demo) registers itself with, and the one place that maps errors to exit
codes (exits); options holds the option groups the commands share, files
what they write besides the table, progress the bar on a terminal.
"""

from .app import entry_point, main

__all__ = ["entry_point", "main"]

"""A run: many comparisons with their options, outcomes and workers.

config (the TOML config file) and options (RunOptions) say what is compared
and how; outcomes holds the one verdict rule; pairs reads and compares one
file pair (and pairs the files of two folders); batch runs pairs on worker
processes; many is compare_many(); pool holds the process pools both use.
This layer builds on io and comparison only.
"""

from .config import find_config, load_config
from .many import compare_many
from .options import RunOptions
from .outcomes import FileOutcome, VariableOutcome, judge

__all__ = ["FileOutcome", "RunOptions", "VariableOutcome", "compare_many", "find_config", "judge", "load_config"]

"""Write the example result files into this folder (reference/ and test/).

Run from the repository root:  .venv/bin/python examples/generate.py

The curves come from closed-form solutions (a damped oscillator's step
response, a first-order heater) evaluated on two different time grids; see
velmora_funnel.cli.examples for what each run contains.
"""

import os

from velmora_funnel.cli.examples import write_examples

if __name__ == "__main__":
    for path in write_examples(os.path.dirname(os.path.abspath(__file__))):
        print(f"wrote {os.path.relpath(path)} ({os.path.getsize(path)} bytes)")

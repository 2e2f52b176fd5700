"""Wrong calls of _velmora_funnel: make lint type-checks this file and expects, on each line marked
``# error: CODE``, an error of that code and no other error anywhere."""

import numpy as np
from numpy.typing import NDArray

import _velmora_funnel as vf

t: NDArray[np.float64] = np.linspace(0.0, 4.0, 9)
y: NDArray[np.float64] = np.sin(t)

vf.compare([0.0, 1.0], y, t, y)  # error: arg-type
vf.compare(t, y, t)  # error: call-arg
vf.compare(t, y, t, y, {"tolerances": {"atoly": "0.1"}})  # error: arg-type
vf.compare(t, y, t, y, {"x_range": (0.0, 1.0)})  # error: arg-type
vf.compare(t, y, t, y, {"tolerance": {"atoly": 0.1}})  # error: arg-type
vf.status_message_py("0")  # error: arg-type
status: str = vf.compare(t, y, t, y)["status"]  # error: assignment
vf.compare(t, y, t, y)["bounds"]  # error: typeddict-item
vf.STATUS_PASS = 1  # error: misc

"""Calls of _velmora_funnel as its stubs allow them: make lint type-checks this file and expects no error."""

import numpy as np
from numpy.typing import NDArray

import _velmora_funnel as vf

t: NDArray[np.float64] = np.linspace(0.0, 4.0, 9)
y: NDArray[np.float64] = np.sin(t)

result = vf.compare(t, y, t, y + 0.01)
result = vf.compare(t, y, t, y, {"tolerances": {"atoly": 0.1}, "x_range": {"lo": 0.0, "hi": None}})
result = vf.compare(t_reference=t, y_reference=y, t_test=t, y_test=y, options=None)
status: int = result["status"]
lower_t, lower_y = result["lower"]
errors: NDArray[np.float64] = result["errors"][1]
passed: bool = status == vf.STATUS_PASS
message: str = vf.status_message_py(status)
rtoly: float = vf.default_options()["tolerances"]["rtoly"]
version: str = vf.version()

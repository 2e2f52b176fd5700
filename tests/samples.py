"""The small curves many tests share: a reference of five points and a test of
nine on a finer grid that runs inside its funnel."""

import numpy as np

T_REF = np.array([0.0, 1.0, 2.0, 3.0, 4.0])
Y_REF = np.array([0.0, 1.0, 0.0, 1.0, 0.0])
T_TEST = np.arange(0.0, 4.01, 0.5)
Y_TEST = np.array([0.0, 0.5, 1.0, 0.5, 0.0, 0.5, 1.0, 0.5, 0.0])

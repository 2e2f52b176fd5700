"""End-to-end comparisons through the module: verdicts and the exact doubles of the funnel."""

import math

import numpy as np
import pytest

import _velmora_funnel as vf

R_T = np.array([0.0, 1, 2, 3, 4])
R_Y = np.array([0.0, 1, 0, 1, 0])
T_T = np.arange(9) * 0.5
T_Y = np.array([0, 0.5, 1, 0.5, 0, 0.5, 1, 0.5, 0])

LOWER = [
    (-0.008, -0.002),
    (0.008, -0.002),
    (1.0, 0.99),
    (1.992, -0.002),
    (2.008, -0.002),
    (3.0, 0.99),
    (3.992, -0.002),
    (4.008, -0.002),
]
UPPER = [
    (-0.008, 0.002),
    (0.992, 1.002),
    (1.008, 1.002),
    (2.0, 0.010000000000000009),
    (2.992, 1.002),
    (3.008, 1.002),
    (4.008, 0.002),
]


def points(curve):
    return list(zip(curve[0].tolist(), curve[1].tolist()))


def raised():
    y = T_Y.copy()
    y[2] = 1.1
    return y


def test_zigzag_passes_with_exact_bounds():
    r = vf.compare(R_T, R_Y, T_T, T_Y)
    assert r["status"] == vf.STATUS_PASS
    assert points(r["lower"]) == LOWER
    assert points(r["upper"]) == UPPER
    assert r["errors"][0].tolist() == T_T.tolist()
    assert r["errors"][1].tolist() == [0.0] * 9


def test_raised_point_fails_by_the_exact_distance():
    r = vf.compare(R_T, R_Y, T_T, raised())
    assert r["status"] == vf.STATUS_FAIL
    assert points(r["lower"]) == LOWER and points(r["upper"]) == UPPER
    assert r["errors"][1].tolist() == [0, 0, 0.09800000000000009, 0, 0, 0, 0, 0, 0]


def test_test_curve_past_the_reference_is_missing_reference():
    r = vf.compare(R_T, R_Y, np.append(T_T, 4.5), np.append(T_Y, 0.0))
    assert r["status"] == vf.STATUS_MISSING_REFERENCE
    assert r["errors"][1].tolist() == [0.0] * 10


def test_range_filtered_reference_continues_its_bounds():
    """Only reference points 2 and 3 build the funnel; 1.5 is still measured, against the first points."""
    r = vf.compare(R_T, R_Y, T_T, raised(), {"x_range": {"lo": 1.5, "hi": 3.5}})
    assert r["status"] == vf.STATUS_FAIL
    assert points(r["lower"]) == [(1.9979999999999998, -0.002), (2.002, -0.002), (3.002, 0.998)]
    assert points(r["upper"]) == [(1.9979999999999998, 0.002), (2.9979999999999998, 1.002), (3.002, 1.002)]
    assert r["errors"][1].tolist() == [0, 0.498, 1.098, 0.498, 0, 0, 0, -0.498, -0.998]


def test_failure_outside_the_range_is_reported_but_does_not_fail():
    y = raised()
    r = vf.compare(R_T, R_Y, T_T, y, {"x_range": {"lo": 2.0}})
    assert r["errors"][1][2] != 0.0
    assert r["status"] == vf.STATUS_PASS


def test_failing_and_extending_test_is_fail():
    r = vf.compare(R_T, R_Y, np.append(T_T, 4.5), np.append(raised(), 0.0))
    assert r["status"] == vf.STATUS_FAIL


@pytest.mark.parametrize(
    ("t_end", "status"),
    [
        pytest.param(4 + 4 * 0.5e-12, vf.STATUS_PASS, id="within-slack"),
        pytest.param(4 + 4 * 2e-12, vf.STATUS_MISSING_REFERENCE, id="beyond-slack"),
    ],
)
def test_end_slack(t_end, status):
    t = T_T.copy()
    t[-1] = t_end
    assert vf.compare(R_T, R_Y, t, T_Y)["status"] == status


def test_slack_scales_with_the_last_abscissae():
    """Reference ending at 0, test at 1e-13: slack 1e-25, so the reference is missing."""
    r = vf.compare(np.array([-1.0, 0.0]), np.zeros(2), np.array([-1.0, 1e-13]), np.zeros(2))
    assert r["status"] == vf.STATUS_MISSING_REFERENCE


def test_nan_test_ordinate_gets_error_zero():
    y = T_Y.copy()
    y[3] = math.nan
    r = vf.compare(R_T, R_Y, T_T, y)
    assert r["status"] == vf.STATUS_PASS
    assert r["errors"][1][3] == 0.0 and r["errors"][0][3] == 1.5


@pytest.mark.parametrize("tol", [math.nan, math.inf])
def test_non_finite_tolerances_pass_through_without_crashing(tol):
    """A single-point bound with a NaN abscissa is the constant of its ordinate."""
    opts = {"tolerances": {"atolx": tol, "atoly": 0.1, "rtolx": tol}}
    r = vf.compare(R_T, R_Y, T_T, T_Y, opts)
    assert r["status"] in (vf.STATUS_PASS, vf.STATUS_FAIL)
    assert len(r["errors"][0]) == len(T_T)

"""Range filter and the verdict over the error curve and the curve ends."""

import math

import pytest

from velmora_funnel import _core_testing as core

INF, NAN = math.inf, math.nan


@pytest.mark.parametrize(
    ("lo", "hi", "kept"),
    [
        pytest.param(1, 2, [1.0, 2.0], id="inclusive-ends"),
        pytest.param(-INF, INF, [0.0, 1.0, 2.0, 3.0], id="everything"),
        pytest.param(NAN, INF, [], id="nan-lo-keeps-nothing"),
        pytest.param(-INF, NAN, [], id="nan-hi-keeps-nothing"),
        pytest.param(2.5, 1, [], id="inverted"),
    ],
)
def test_filter_to_range(lo, hi, kept):
    x, y = core.filter_to_range([0, 1, 2, 3], [10, 11, 12, 13], lo, hi)
    assert x == kept
    assert y == [v + 10 for v in kept]


def classify(r, t, e, lo=None, hi=None):
    return core.classify_status(r, t, e, r[0] if lo is None else lo, r[-1] if hi is None else hi)


@pytest.mark.parametrize(
    ("r", "t", "e", "status"),
    [
        pytest.param([0, 1], [0, 1], [0, 0], 0, id="pass"),
        pytest.param([0, 1], [0, 1], [0, 0.1], -1, id="fail"),
        pytest.param([0, 1], [0, 1], [NAN, 0], -1, id="nan-error-is-non-zero"),
        pytest.param([0, 1], [0, 1.5], [0, 0], 1, id="test-ends-later"),
        pytest.param([0, 1], [-0.5, 1], [0, 0], 1, id="test-starts-earlier"),
        pytest.param([0, 1], [0, 0.5], [0, 0], 2, id="test-ends-earlier"),
        pytest.param([0, 1], [0.5, 1], [0, 0], 2, id="test-starts-later"),
        pytest.param([0, 1], [0, 1.5], [0, 0.1], 1, id="failure-outside-range-ignored"),
        pytest.param([0, 1], [0, 1 + 5e-13], [0, 0], 0, id="within-end-slack"),
        pytest.param([0, 1], [0, 1 + 2e-12], [0, 0], 1, id="beyond-end-slack"),
        pytest.param([-1, 0], [-1, 1e-13], [0, 0], 1, id="slack-from-last-abscissae-only"),
    ],
)
def test_classify_status(r, t, e, status):
    assert classify(r, t, e) == status


def test_fail_ranks_before_missing_reference():
    assert classify([0, 1], [0, 0.5, 2], [0, 1, 0]) == -1


@pytest.mark.parametrize(
    ("code", "message"),
    [
        (13, "buffer too small: caller-provided output buffer undersized"),
        (20, "no memory: the result could not be allocated"),
        (0, "pass: all test points inside the funnel"),
        (3, None),
        (9, None),
        (15, None),
        (-2, None),
    ],
)
def test_status_lookup(code, message):
    assert core.status_message(code) == message

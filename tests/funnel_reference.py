"""A slow, plainly readable Python model of the funnel computation.

It exists only as a test oracle for the C++ core: every step is written out
the way the funnel is defined, one formula at a time, in the order of its
operations, on Python floats. Python float arithmetic is IEEE double without
fused multiply-add, so on the same inputs this model and the core must agree
to the last bit.

Curves are pairs of lists ``(x, y)``. Nothing here is fast or clever on
purpose: a loop that mirrors the definition is easier to trust than one that
is quick.
"""

import math

STATUS_FAIL = -1
STATUS_PASS = 0
STATUS_MISSING_REFERENCE = 1
STATUS_MISSING_TEST = 2
STATUS_NON_MONOTONIC = 10
STATUS_LENGTH_MISMATCH = 11
STATUS_EMPTY_RANGE = 12
STATUS_BUFFER_TOO_SMALL = 13
STATUS_INSUFFICIENT_DATA = 14

# Segments narrower than this are vertical, values closer than this are
# equal, and no half-width is smaller.
CORNER_EPS = 1e-10
# The slope magnitude given to a vertical segment of the reference.
VERTICAL_SLOPE = 1e15
# Relative slack when the ends of the two curves are compared.
END_SLACK = 1e-12
# Abscissae are normalised by their largest magnitude only above this.
X_SCALE_MIN = 1e-5


# --- double helpers ---------------------------------------------------------


def larger(a, b):
    """The larger of two doubles; a not-a-number operand yields the other."""
    if math.isnan(a):
        return b
    if math.isnan(b):
        return a
    return a if a > b else b


def smaller(a, b):
    """The smaller of two doubles; a not-a-number operand yields the other."""
    if math.isnan(a):
        return b
    if math.isnan(b):
        return a
    return a if a < b else b


def coincide(a, b):
    """Strict closeness: a not-a-number is never close to anything."""
    return abs(a - b) < CORNER_EPS


# --- driver -----------------------------------------------------------------


def filter_to_range(x, y, lo, hi):
    """The points whose abscissa lies in the closed range [lo, hi]."""
    fx, fy = [], []
    for xv, yv in zip(x, y):
        if lo <= xv and xv <= hi:
            fx.append(xv)
            fy.append(yv)
    return fx, fy


def classify_status(r, t, e, lo, hi):
    """Verdict of a comparison that ran to the end."""
    for i in range(len(t)):
        # `!=` is true for a not-a-number error, as wanted.
        if e[i] != 0 and lo <= t[i] and t[i] <= hi:
            return STATUS_FAIL
    s = END_SLACK * larger(abs(r[-1]), abs(t[-1]))
    if t[-1] > r[-1] + s:
        return STATUS_MISSING_REFERENCE
    if r[0] - s > t[0]:
        return STATUS_MISSING_REFERENCE
    if r[0] < t[0] - s or t[-1] + s < r[-1]:
        return STATUS_MISSING_TEST
    return STATUS_PASS


def _abscissae_usable(x):
    """Non-decreasing, and finite: an infinite abscissa is refused like a
    not-a-number one, since no funnel can be drawn through it."""
    for i in range(len(x) - 1):
        if not (x[i + 1] >= x[i]):
            return False
    return all(math.isfinite(v) for v in x)


def compare(r, yr, t, yt, options):
    """Whole comparison; options is (atolx, atoly, ltolx, ltoly, rtolx, rtoly, lo, hi).

    Returns (status, lower, upper, errors), each curve a pair of lists.
    """

    def rejected(status):
        return status, ([], []), ([], []), ([], [])

    if len(r) != len(yr) or len(t) != len(yt):
        return rejected(STATUS_LENGTH_MISMATCH)
    if len(r) < 2 or len(t) < 2:
        return rejected(STATUS_INSUFFICIENT_DATA)
    if not _abscissae_usable(r) or not _abscissae_usable(t):
        return rejected(STATUS_NON_MONOTONIC)

    tolerances = options[:6]
    lo, hi = options[6], options[7]
    eff_lo = r[0] if math.isnan(lo) else larger(lo, r[0])
    eff_hi = r[-1] if math.isnan(hi) else smaller(hi, r[-1])
    if eff_lo >= eff_hi or t[0] > hi or lo > t[-1]:
        return rejected(STATUS_EMPTY_RANGE)

    fr_x, fr_y = filter_to_range(r, yr, lo, hi)
    ft_x, _ = filter_to_range(t, yt, lo, hi)
    if len(fr_x) < 2 or len(ft_x) < 2:
        return rejected(STATUS_INSUFFICIENT_DATA)

    data_char = get_data_char(fr_x, fr_y)
    hx, hy = tube_halfwidths(fr_x, fr_y, data_char, tolerances)
    lower, upper = build_bounds(fr_x, fr_y, hx, hy, data_char[2])
    errors = compute_errors(t, yt, lower[0], lower[1], upper[0], upper[1])
    status = classify_status(r, t, errors[1], eff_lo, eff_hi)
    return status, lower, upper, errors


# --- data characteristics and half-widths -------------------------------------


def _extremes(values):
    smallest = largest = values[0]
    for v in values:
        if v < smallest:
            smallest = v
        if v > largest:
            largest = v
    return smallest, largest


def get_data_char(x, y):
    """(x_span, y_span, x_mag, y_mag) of the filtered reference."""
    x_min, x_max = _extremes(x)
    y_min, y_max = _extremes(y)
    return (
        x_max - x_min,
        y_max - y_min,
        larger(x_max, abs(x_min)),
        larger(y_max, abs(y_min)),
    )


def _halfwidths(values, span, mag, atol, ltol, rtol):
    base = larger(atol, rtol * span)
    fallback = rtol * mag
    fallback_disabled = abs(rtol) < CORNER_EPS
    result = []
    for v in values:
        h = larger(base, ltol * abs(v))
        if abs(h) < CORNER_EPS:
            if not fallback_disabled:
                h = larger(h, fallback)
            if abs(h) < CORNER_EPS:
                h = CORNER_EPS
        result.append(h)
    return result


def tube_halfwidths(x, y, data_char, tolerances):
    """(hx, hy): one x and one y half-width per reference point."""
    x_span, y_span, x_mag, y_mag = data_char
    atolx, atoly, ltolx, ltoly, rtolx, rtoly = tolerances
    hx = _halfwidths(x, x_span, x_mag, atolx, ltolx, rtolx)
    hy = _halfwidths(y, y_span, y_mag, atoly, ltoly, rtoly)
    return hx, hy


# --- corner curve -------------------------------------------------------------


def _sign(dy):
    if dy > 0:
        return 1
    if dy < 0:
        return -1
    return 0  # flat, not-a-number included


def _slope(dx, dy):
    if abs(dx) < CORNER_EPS:
        return VERTICAL_SLOPE if dy > 0 else -VERTICAL_SLOPE
    return dy / dx


# Which corners a point contributes to the upper bound, by the sign of the
# segment before it and the sign of the segment after it. A peak or valley
# gets two corners in backward order of x; the loop this leaves is cut later.
_UPPER_CORNERS = {
    (1, 1): "L", (1, 0): "L", (1, -1): "LR",
    (0, 1): "L", (0, 0): "L", (0, -1): "R",
    (-1, 1): "RL", (-1, 0): "R", (-1, -1): "R",
}  # fmt: skip
# The lower bound mirrors it: left and right exchanged.
_LOWER_CORNERS = {key: corners.translate(str.maketrans("LR", "RL")) for key, corners in _UPPER_CORNERS.items()}


def build_corner_curve(x, y, hx, hy, upper):
    """The polyline through the corners of the half-width rectangles on one side."""
    n = len(x)
    d = 1.0 if upper else -1.0
    table = _UPPER_CORNERS if upper else _LOWER_CORNERS
    out_x, out_y = [], []

    def height(i):
        return y[i] + d * hy[i]

    def append_corner(i, which):
        out_x.append(x[i] - hx[i] if which == "L" else x[i] + hx[i])
        out_y.append(height(i))

    def repeated(i):
        return coincide(x[i], x[i + 1]) and coincide(y[i], y[i + 1])

    s = n - 1
    for i in range(n - 1):
        if not repeated(i):
            s = i
            break
    append_corner(s, "L")
    if s == n - 1:
        append_corner(n - 1, "R")
        return out_x, out_y

    dx, dy = x[s + 1] - x[s], y[s + 1] - y[s]
    m, e = _slope(dx, dy), _sign(dy)
    if (upper and dy < 0) or (not upper and dy > 0):
        append_corner(s, "R")

    for i in range(s + 1, n - 1):
        if repeated(i):
            continue
        f = e
        dx, dy = x[i + 1] - x[i], y[i + 1] - y[i]
        e, v = _sign(dy), _slope(dx, dy)
        if abs(m - v) < CORNER_EPS:
            m = v  # straight run: the point adds no corner
            continue
        corners = table[(f, e)]
        for which in corners:
            append_corner(i, which)

        # Drop corners that sit in the middle of a horizontal run of the bound.
        p = out_y[-1]
        q = height(i + 1)
        if abs(q - p) < CORNER_EPS:
            if len(corners) == 2:
                if len(out_y) > 2 and abs(out_y[-3] - p) < CORNER_EPS:
                    del out_x[-2:], out_y[-2:]
            elif len(out_y) >= 2 and abs(out_y[-2] - p) < CORNER_EPS:
                del out_x[-1:], out_y[-1:]
        m = v

    if e == d:
        append_corner(n - 1, "L")
    append_corner(n - 1, "R")
    return out_x, out_y


# --- loop removal --------------------------------------------------------------


def _hidden(v, t, upper):
    """Whether a later-branch ordinate lies behind the earlier branch's level."""
    return t > v if upper else v > t


def _tie_passes_over(x, y, p, m, upper):
    """Tie rule for a candidate p whose abscissa coincides with x[m+1]."""
    n = len(x)
    next_vertical = m + 2 < n and coincide(x[m + 1], x[m + 2])
    if upper:
        return y[p] > y[m + 1] and not (next_vertical and y[m + 2] > y[m + 1])
    return y[m + 1] > y[p] and not (next_vertical and y[m + 1] > y[m + 2])


def _locate_on_earlier_branch(x, y, i, j, m, upper):
    """Index p of the earlier branch at which x[m+1] is placed."""
    if j >= i:
        return i
    for p in range(j, i):
        if x[m + 1] > x[p]:
            continue
        if not coincide(x[p], x[m + 1]):
            return p
        if not _tie_passes_over(x, y, p, m, upper):
            return p
    return i


def _crossing_point(x, y, q, m):
    """Where the closing segment (m-1, m) meets the crossing segment (q-1, q), or None."""
    if q == 0:
        return None
    closing_vertical = coincide(x[m], x[m - 1])
    crossing_vertical = coincide(x[q], x[q - 1])
    if closing_vertical and crossing_vertical:
        return None
    if crossing_vertical:
        xi = x[q]
        yi = (y[m] - y[m - 1]) * (x[q] - x[m - 1]) / (x[m] - x[m - 1]) + y[m - 1]
        return xi, yi
    if closing_vertical:
        xi = x[m]
        yi = (y[q] - y[q - 1]) * (x[m] - x[q - 1]) / (x[q] - x[q - 1]) + y[q - 1]
        return xi, yi
    sq = (y[q] - y[q - 1]) / (x[q] - x[q - 1])
    sm = (y[m] - y[m - 1]) / (x[m] - x[m - 1])
    if abs(sq - sm) < CORNER_EPS:
        return None  # parallel lines
    xi = (x[q - 1] * sq - x[m - 1] * sm - y[q - 1] + y[m - 1]) / (sq - sm)
    # The flatter line gives the better-conditioned ordinate.
    if abs(sq) > abs(sm):
        yi = y[m - 1] + sm * (xi - x[m - 1])
    else:
        yi = y[q - 1] + sq * (xi - x[q - 1])
    return xi, yi


def remove_loop(x, y, upper):
    """Cut the loops out of a corner curve, editing both lists in place."""
    if len(x) < 4:
        return
    i = 1
    while True:
        n = len(x)
        if not (i + 2 < n):
            return
        if not (x[i] > x[i + 1]):
            i += 1
            continue

        # The earlier branch reaches back from i to j over the backward step,
        # the excursion of the later branch ends at k.
        j = i
        while j > 0 and x[j - 1] > x[i + 1]:
            j -= 1
        k = i + 1
        while k < n - 1 and x[i] > x[k]:
            k += 1

        # Walk the later branch while it stays hidden behind the earlier one.
        m = i + 1
        t = y[j - 1] if j > 0 else y[0]
        prev = i
        while _hidden(y[m], t, upper) and m < k:
            p = _locate_on_earlier_branch(x, y, i, j, m, upper)
            if p == 0:
                t = y[0]
            elif coincide(x[p - 1], x[p]):
                t = y[p]
            else:
                t = y[p - 1] + (x[m + 1] - x[p - 1]) * ((y[p] - y[p - 1]) / (x[p] - x[p - 1]))
            prev = j
            j = p
            m += 1

        # Find where the closing segment crosses back over the earlier branch.
        q = prev - 1 if prev >= 2 else prev
        if coincide(x[m], x[m - 1]):
            while x[m] > x[q]:
                q += 1
        else:
            s = (y[m] - y[m - 1]) / (x[m] - x[m - 1])
            while True:
                level = (x[q] - x[m - 1]) * s + y[m - 1]
                if not (y[q] > level if upper else level > y[q]):
                    break
                q += 1

        crossing = _crossing_point(x, y, q, m)
        if q < m:
            del x[q:m], y[q:m]
        if crossing is not None:
            xi, yi = crossing
            if not (coincide(x[q], xi) and coincide(y[q], yi)):
                x[q:q] = [xi]
                y[q:q] = [yi]
        if q == 0:
            i = 1
            continue
        if coincide(x[q - 1], x[q]) and coincide(y[q - 1], y[q]):
            del x[q], y[q]
            i = q
        else:
            i = q + 1


# --- bounds ------------------------------------------------------------------


def build_bounds(x, y, hx, hy, x_mag):
    """(lower, upper) bound curves of the funnel."""
    xs, ws = list(x), list(hx)
    scaled = x_mag > X_SCALE_MIN
    if scaled:
        # True division per element, not a multiplication by the reciprocal.
        xs = [v / x_mag for v in xs]
        ws = [v / x_mag for v in ws]
    lower = build_corner_curve(xs, y, ws, hy, False)
    upper = build_corner_curve(xs, y, ws, hy, True)
    remove_loop(lower[0], lower[1], False)
    remove_loop(upper[0], upper[1], True)
    if scaled:
        lower = ([v * x_mag for v in lower[0]], lower[1])
        upper = ([v * x_mag for v in upper[0]], upper[1])
    return lower, upper


# --- error curve ----------------------------------------------------------------


def interpolate_clamped(X, Y, queries):
    """The bound's value at each (non-decreasing) query, held constant beyond its ends."""
    n = len(X)
    if n == 1:
        # A single-point bound is a constant, whatever its abscissa.
        return [Y[0] for _ in queries]
    values = []
    j = 1
    for q in queries:
        if X[0] >= q:
            values.append(Y[0])
        elif q >= X[n - 1]:
            values.append(Y[n - 1])
        else:
            while j < n - 1 and q > X[j]:
                j += 1
            d = X[j] - X[j - 1]
            if abs(d) < CORNER_EPS:
                values.append(Y[j - 1])
            else:
                values.append(((q - X[j - 1]) * (Y[j] - Y[j - 1])) / d + Y[j - 1])
    return values


def compute_errors(t, y, lower_x, lower_y, upper_x, upper_y):
    """(t, signed vertical distance of each test point outside the funnel)."""
    lows = interpolate_clamped(lower_x, lower_y, t)
    highs = interpolate_clamped(upper_x, upper_y, t)
    errors = []
    for v, low, high in zip(y, lows, highs):
        if v > high:
            errors.append(v - high)
        elif low > v:
            errors.append(v - low)
        else:
            errors.append(0.0)
    return list(t), errors

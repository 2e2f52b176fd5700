#include "corners_loops.hpp"

namespace velmora::detail {

// The earlier branch reaches back from i to j over the backward step, the
// excursion of the later branch ends at k. Whether it ends before the last
// point is known only once the curve is complete or a later point is traced:
// until then the search stops, and resumes where it stopped on the next call.
inline std::optional<LoopRemover::Excursion> LoopRemover::find_excursion(std::size_t i,
                                                                         bool complete) {
    const std::size_t n = size_;
    std::size_t j = i;
    std::size_t k = i + 1;
    if (pending_ && pending_i_ == i) {
        j = pending_j_;
        k = pending_k_;
    } else {
        const double x_later = x(i + 1);
        j = walk_back(j, [x_later](double xv) { return xv > x_later; });
    }
    pending_ = false;
    const double x_earlier = x(i);
    k = find_forward(k, n - 1, [x_earlier](double xv, double) { return !(x_earlier > xv); });
    if (k == n - 1 && !complete) {
        pending_ = true;
        pending_i_ = i;
        pending_j_ = j;
        pending_k_ = k;
        return std::nullopt;
    }
    return Excursion{j, k};
}

// Walks the later branch while it stays hidden behind the earlier one, whose
// level at each next later abscissa it follows. From here on every point
// read exists: m + 2 <= k + 1 < n unless the curve is complete.
inline LoopRemover::HiddenRun LoopRemover::walk_hidden(std::size_t i, Excursion e) const noexcept {
    std::size_t j = e.j;
    std::size_t m = i + 1;
    double t = j > 0 ? y(j - 1) : y(0);
    std::size_t prev = i;
    while (hidden(y(m), t, upper_) && m < e.k) {
        const std::size_t p = locate_on_earlier_branch(i, j, m);
        t = earlier_level(p, x(m + 1));
        prev = j;
        j = p;
        ++m;
    }
    return {m, prev};
}

// The index p of the earlier branch, from j up to i, at which x[m + 1] is
// placed: the first point not left of it, passing over ties that the tie rule
// lets pass; i when there is none.
inline std::size_t LoopRemover::locate_on_earlier_branch(std::size_t i, std::size_t j,
                                                         std::size_t m) const noexcept {
    const double xn = x(m + 1);
    for (std::size_t p = j;; ++p) {
        p = find_forward(p, i, [xn](double xv, double) { return !(xn > xv); });
        if (p == i || !coincide(x(p), xn) || !tie_passes_over(p, m)) return p;
    }
}

// Tie: the later point m + 1 sits at the abscissa of the earlier point p.
// Pass over it while the later point is still behind, unless a vertical step
// of the later branch turns back out right there.
inline bool LoopRemover::tie_passes_over(std::size_t p, std::size_t m) const noexcept {
    const double xn = x(m + 1);
    const bool next_vertical = m + 2 < size_ && coincide(xn, x(m + 2));
    const double yn = y(m + 1);
    return upper_ ? (y(p) > yn && !(next_vertical && y(m + 2) > yn))
                  : (yn > y(p) && !(next_vertical && yn > y(m + 2)));
}

// The level of the earlier branch at abscissa xn, on its segment (p - 1, p):
// its first ordinate before the first point, the right end's across a
// vertical segment, interpolated otherwise.
inline double LoopRemover::earlier_level(std::size_t p, double xn) const noexcept {
    if (p == 0) return y(0);
    if (coincide(x(p - 1), x(p))) return y(p);
    const double x0 = x(p - 1);
    const double y0 = y(p - 1);
    return y0 + (xn - x0) * ((y(p) - y0) / (x(p) - x0));
}

// Searches the earlier branch for the segment (q - 1, q) that the closing
// segment (m - 1, m) crosses.
inline std::size_t LoopRemover::find_crossing_segment(std::size_t prev,
                                                      std::size_t m) const noexcept {
    const bool upper = upper_;
    std::size_t q = prev >= 2 ? prev - 1 : prev;
    const double xm = x(m);
    const double xm1 = x(m - 1);
    if (coincide(xm, xm1)) {
        q = find_forward(q, m, [xm](double xv, double) { return !(xm > xv); });
    } else if (q + 1 < m) {
        const double ym1 = y(m - 1);
        const double s = (y(m) - ym1) / (xm - xm1);
        q = find_forward(q, m - 1, [xm1, ym1, s, upper](double xv, double yv) {
            return not_behind((xv - xm1) * s + ym1, yv, upper);
        });
    }
    return q;
}

// Cuts the loop, the points [q, m), and puts the crossing point in its place
// unless it repeats the point after the cut; returns where the scan resumes,
// merging a point that the cut has made repeat its predecessor.
inline std::size_t LoopRemover::cut_loop(std::size_t q, std::size_t m) {
    const Crossing cross = q >= 1 ? crossing_point(xs(), ys(), q, m) : Crossing{};
    if (q < m) erase(q, m);
    if (cross.exists && !(coincide(x(q), cross.x) && coincide(y(q), cross.y))) {
        insert(q, cross.x, cross.y);
    }
    if (q == 0) return 1;  // the later branch reached back past the first point
    if (coincide(x(q - 1), x(q)) && coincide(y(q - 1), y(q))) {
        erase(q, q + 1);
        return q;
    }
    return q + 1;
}

// Scans for backward steps and cuts the loop each one opens, in the steps the
// plain transcription takes: how far the loop reaches (find_excursion), how
// far the later branch stays hidden behind the earlier one (walk_hidden),
// where the closing segment crosses back over the earlier branch
// (find_crossing_segment), then the cut and where the scan resumes
// (cut_loop).
void LoopRemover::repair(bool complete) {
    std::size_t i = i_;
    for (;;) {
        const std::size_t n = size_;
        if (!(i + 2 < n)) break;  // the end, or wait for more points
        if (!(x(i) > x(i + 1))) {
            i = next_backward_step(i + 1, n);
            continue;
        }
        // A backward step at i: the earlier branch runs up to i, the later one
        // from i + 1 on.
        const std::optional<Excursion> excursion = find_excursion(i, complete);
        if (!excursion) {  // undecided until more points come
            i_ = i;
            return;
        }
        const HiddenRun hidden_run = walk_hidden(i, *excursion);
        const std::size_t q = find_crossing_segment(hidden_run.prev, hidden_run.m);
        i = cut_loop(q, hidden_run.m);
    }
    i_ = i;
}

}  // namespace velmora::detail

#include "corners_loops.hpp"

#include <cstddef>
#include <vector>

#include "reference/reference.hpp"

namespace velmora::reference {

using detail::coincide;
using detail::Crossing;

void remove_loop(Curve& curve, bool upper) {
    detail::LoopRemover remover(curve, upper);
    remover.run(true);
    remover.finish(nullptr);
}

void remove_loop_in_place(Curve& curve, bool upper) {
    std::vector<double>& x = curve.x;
    std::vector<double>& y = curve.y;
    if (x.size() < 4) return;
    std::size_t i = 1;
    for (;;) {
        const std::size_t n = x.size();
        if (!(i + 2 < n)) return;
        if (!(x[i] > x[i + 1])) {
            ++i;
            continue;
        }
        // A backward step at i: the earlier branch runs up to i, the later one
        // from i + 1 on. j is the first earlier point right of x[i+1].
        std::size_t j = i;
        while (j > 0 && x[j - 1] > x[i + 1]) --j;
        // k: the first later point not left of x[i], or the last point.
        std::size_t k = i + 1;
        while (k < n - 1 && x[i] > x[k]) ++k;

        // Walk the later branch while it stays hidden behind the earlier one.
        std::size_t m = i + 1;
        double t = j > 0 ? y[j - 1] : y[0];
        std::size_t prev = i;
        while (detail::hidden(y[m], t, upper) && m < k) {
            const double xn = x[m + 1];
            std::size_t p = i;
            for (std::size_t cand = j; cand < i; ++cand) {
                if (xn > x[cand]) continue;
                if (!coincide(x[cand], xn)) {
                    p = cand;
                    break;
                }
                // Tie: the later point sits at the abscissa of an earlier one.
                // Pass over it while the later point is still behind, unless a
                // vertical step of the later branch turns back out right there.
                const bool next_vertical = m + 2 < n && coincide(xn, x[m + 2]);
                const bool pass =
                    upper ? (y[cand] > y[m + 1] && !(next_vertical && y[m + 2] > y[m + 1]))
                          : (y[m + 1] > y[cand] && !(next_vertical && y[m + 1] > y[m + 2]));
                if (!pass) {
                    p = cand;
                    break;
                }
            }
            if (p == 0) {
                t = y[0];
            } else if (coincide(x[p - 1], x[p])) {
                t = y[p];
            } else {
                t = y[p - 1] + (xn - x[p - 1]) * ((y[p] - y[p - 1]) / (x[p] - x[p - 1]));
            }
            prev = j;
            j = p;
            ++m;
        }

        // Search the earlier branch for the segment the closing segment crosses.
        std::size_t q = prev >= 2 ? prev - 1 : prev;
        if (coincide(x[m], x[m - 1])) {
            while (q < m && x[m] > x[q]) ++q;
        } else {
            const double s = (y[m] - y[m - 1]) / (x[m] - x[m - 1]);
            while (q + 1 < m) {
                const double L = (x[q] - x[m - 1]) * s + y[m - 1];
                if (detail::not_behind(L, y[q], upper)) break;
                ++q;
            }
        }
        const Crossing c = q >= 1 ? detail::crossing_point(x, y, q, m) : Crossing{};

        if (q < m) {
            x.erase(x.begin() + static_cast<std::ptrdiff_t>(q),
                    x.begin() + static_cast<std::ptrdiff_t>(m));
            y.erase(y.begin() + static_cast<std::ptrdiff_t>(q),
                    y.begin() + static_cast<std::ptrdiff_t>(m));
        }
        if (c.exists && !(coincide(x[q], c.x) && coincide(y[q], c.y))) {
            x.insert(x.begin() + static_cast<std::ptrdiff_t>(q), c.x);
            y.insert(y.begin() + static_cast<std::ptrdiff_t>(q), c.y);
        }
        if (q == 0) {  // the later branch reached back past the first point
            i = 1;
            continue;
        }
        if (coincide(x[q - 1], x[q]) && coincide(y[q - 1], y[q])) {
            x.erase(x.begin() + static_cast<std::ptrdiff_t>(q));
            y.erase(y.begin() + static_cast<std::ptrdiff_t>(q));
            i = q;
        } else {
            i = q + 1;
        }
    }
}

}  // namespace velmora::reference

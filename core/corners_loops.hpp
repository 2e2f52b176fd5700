// The second step of the bounds: the loops that a corner curve folds into at
// peaks and valleys, cut at their self-crossings. The bounds stream their
// corners into a LoopRemover while they trace them.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <optional>

#include "corners.hpp"
#include "doubles.hpp"
#include "velmora_funnel/records.hpp"

namespace velmora::detail {

// A later-branch ordinate v lies behind the earlier branch at level t when it
// is above it on the lower side, below it on the upper side.
inline bool hidden(double v, double t, bool upper) noexcept { return upper ? t > v : v > t; }

// Whether the crossing search stops at q: the earlier branch is no longer
// strictly behind the closing segment's line value L there.
inline bool not_behind(double L, double yq, bool upper) noexcept {
    return upper ? !(yq > L) : !(L > yq);
}

struct Crossing {
    bool exists = false;
    double x = 0.0;
    double y = 0.0;
};

// Where the closing segment (m-1, m) meets the line of the crossing segment
// (q-1, q), q >= 1. Lines, not segments: the point may lie beyond either.
// Declared inline so that it is compiled into the loop removal, which runs it
// once per cut: a call there costs a measurable share of a noisy curve.
template <class Vec>
inline Crossing crossing_point(const Vec& x, const Vec& y, std::size_t q, std::size_t m) noexcept {
    Crossing c;
    const bool closing_vertical = coincide(x[m], x[m - 1]);
    const bool crossing_vertical = coincide(x[q], x[q - 1]);
    if (closing_vertical && crossing_vertical) return c;
    if (crossing_vertical) {
        c = {true, x[q], (y[m] - y[m - 1]) * (x[q] - x[m - 1]) / (x[m] - x[m - 1]) + y[m - 1]};
        return c;
    }
    if (closing_vertical) {
        c = {true, x[m], (y[q] - y[q - 1]) * (x[m] - x[q - 1]) / (x[q] - x[q - 1]) + y[q - 1]};
        return c;
    }
    const double sq = (y[q] - y[q - 1]) / (x[q] - x[q - 1]);
    const double sm = (y[m] - y[m - 1]) / (x[m] - x[m - 1]);
    if (std::fabs(sq - sm) < CORNER_EPS) return c;  // parallel
    const double xi = (x[q - 1] * sq - x[m - 1] * sm - y[q - 1] + y[m - 1]) / (sq - sm);
    // The flatter line gives the better conditioned ordinate.
    const double yi = std::fabs(sq) > std::fabs(sm) ? y[m - 1] + sm * (xi - x[m - 1])
                                                    : y[q - 1] + sq * (xi - x[q - 1]);
    c = {true, xi, yi};
    return c;
}

// The loop removal of the plain transcription (reference::remove_loop_in_place,
// which moves the tail of both vectors at every cut and insertion), step for
// step and index for index, on a curve held in its own two vectors around a
// movable gap; it runs in time proportional to the curve plus the scans,
// however many loops it cuts.
//
// Points [0, front) sit at their own index, points [front, size) sit
// `back - front` places further right. A cut widens the gap and an insertion
// fills it, so no repair moves the points after it; moving the gap moves only
// the points between the gap and the repair, which the scan has just passed
// or the cut is about to drop. The vectors' own length is the physical end,
// back + size - front.
//
// The curve may also grow at its end while the removal runs: the bounds
// stream their corners in as they are traced (append, drop_last) and call
// run() between stretches. run() goes as far as the points present decide;
// where a test needs a point not traced yet (is there a point i + 2? does the
// excursion end before the last point?) it stops and resumes there on the
// next call, so the steps taken are those of the removal on the whole curve.
// Between stretches run() closes the gap where that moves few points, which
// also keeps the memory of a curve that loses most of its corners small.
class LoopRemover {
public:
    // Corners of one stretch as they wait to join the curve: at most two per
    // point, two more at the end of the curve.
    struct Stage {
        static constexpr std::size_t SIZE = 2 * TRACE_STRETCH + 4;
        double x[SIZE];
        double y[SIZE];
    };

    // A removal that is streamed corners (append) stages them in `stage`,
    // which the caller owns; one that only cuts a complete curve needs none.
    LoopRemover(Curve& curve, bool upper, Stage* stage = nullptr) noexcept
        : curve_(curve), upper_(upper), size_(curve.x.size()), stage_(stage) {
        refresh();
    }

    // Corners arrive in a small staging area and join the vectors a stretch
    // at a time, one block copy per vector: a push_back per corner costs more
    // than the corner. The merge of the tracing only ever drops the corners
    // it has just appended, which are still staged.
    [[gnu::always_inline]] void append(double xv, double yv) {
        if (staged_ == Stage::SIZE) flush();
        stage_->x[staged_] = xv;
        stage_->y[staged_] = yv;
        ++staged_;
    }

    void drop_last(std::size_t count) {
        if (count <= staged_) {
            staged_ -= count;
            return;
        }
        flush();
        refresh();
        if (front_ > size_ - count) move_gap(size_ - count);
        curve_.x.resize(curve_.x.size() - count);
        curve_.y.resize(curve_.y.size() - count);
        size_ -= count;
    }

    // Repairs loops as far as the points present allow; `complete` says that
    // no more points will come, and then the removal runs to its end.
    void run(bool complete) {
        flush();
        refresh();
        repair(complete);
        // Close the gap when that moves few points: when the points after it
        // are no more than the gap (paid for by the points cut, so a curve
        // that loses most of its corners to the cuts keeps its memory small),
        // or no more than a few stretches (paid for by the stretch traced:
        // after the last cut the points behind the gap stay put).
        const std::size_t gap = back_ - front_;
        const std::size_t after = size_ - front_;
        if (gap != 0 && (gap >= after || after <= 4 * TRACE_STRETCH)) close_gap();
    }

    // Closes the gap and trims the vectors to the curve; with a factor, every
    // abscissa is multiplied by it on the way (the scaling back of the bounds,
    // in the same pass).
    void finish(const double* factor) {
        flush();
        refresh();
        const std::size_t gap = back_ - front_;
        if (factor != nullptr) {
            const double f = *factor;
            for (std::size_t l = 0; l < front_; ++l) x_[l] = x_[l] * f;
            for (std::size_t l = front_; l < size_; ++l) {
                x_[l] = x_[l + gap] * f;
                y_[l] = y_[l + gap];
            }
            front_ = back_ = size_;
        } else {
            close_gap();
        }
        curve_.x.resize(size_);
        curve_.y.resize(size_);
    }

private:
    double x(std::size_t l) const noexcept { return x_[at(l)]; }
    double y(std::size_t l) const noexcept { return y_[at(l)]; }
    std::size_t at(std::size_t l) const noexcept { return l < front_ ? l : l + (back_ - front_); }

    // Index-style views for crossing_point, valid until the next edit.
    struct Axis {
        const double* data;
        std::size_t front, gap;
        double operator[](std::size_t l) const noexcept { return data[l < front ? l : l + gap]; }
    };
    Axis xs() const noexcept { return {x_, front_, back_ - front_}; }
    Axis ys() const noexcept { return {y_, front_, back_ - front_}; }

    // The first l in [from, to) with stop(x[l], y[l]), or `to`: the points
    // before the gap and those after it are each read straight from memory.
    template <class Stop>
    std::size_t find_forward(std::size_t from, std::size_t to, Stop&& stop) const noexcept {
        std::size_t l = from;
        const std::size_t split = std::min(to, front_);
        for (; l < split; ++l) {
            if (stop(x_[l], y_[l])) return l;
        }
        const std::size_t gap = back_ - front_;
        for (; l < to; ++l) {
            if (stop(x_[l + gap], y_[l + gap])) return l;
        }
        return to;
    }

    // From l down: l decreases while l > 0 and go(x[l - 1]).
    template <class Go>
    std::size_t walk_back(std::size_t l, Go&& go) const noexcept {
        const std::size_t gap = back_ - front_;
        while (l > front_ && go(x_[l - 1 + gap])) --l;
        if (l > front_) return l;
        while (l > 0 && go(x_[l - 1])) --l;
        return l;
    }

    // The scan over pairs without a backward step, from i on: the first i
    // with x[i] > x[i+1], or n - 2, or the edge of the gap, whichever comes
    // first. Pairs on one side of the gap are read straight from memory.
    std::size_t next_backward_step(std::size_t i, std::size_t n) const noexcept {
        const double* v = x_;
        std::size_t stop = n - 2;
        if (i + 1 < front_) {
            stop = std::min(stop, front_ - 1);
        } else if (i >= front_) {
            v = x_ + (back_ - front_);
        } else {
            return i;
        }
        while (i < stop && !(v[i] > v[i + 1])) ++i;
        return i;
    }

    void refresh() noexcept {
        x_ = curve_.x.data();
        y_ = curve_.y.data();
    }

    // Removes the points [first, last).
    void erase(std::size_t first, std::size_t last) noexcept {
        if (front_ < first) {
            move_gap(first);
        } else if (front_ > last) {
            move_gap(last);
        }
        back_ += last - front_;
        front_ = first;
        size_ -= last - first;
    }

    // Inserts a point before point l. Every insertion of the loop removal
    // follows a cut at the same index, so the gap is open there; the vector
    // insertion only keeps the class correct on its own.
    void insert(std::size_t l, double xv, double yv) {
        move_gap(l);
        if (front_ == back_) {
            curve_.x.insert(curve_.x.begin() + static_cast<std::ptrdiff_t>(l), xv);
            curve_.y.insert(curve_.y.begin() + static_cast<std::ptrdiff_t>(l), yv);
            refresh();
            front_ = back_ = l + 1;
        } else {
            x_[front_] = xv;
            y_[front_] = yv;
            ++front_;
        }
        ++size_;
    }

    void move_gap(std::size_t l) noexcept {
        if (front_ == back_) {  // no gap: nothing to move
            front_ = back_ = l;
        } else if (front_ < l) {
            const std::size_t count = l - front_;
            std::memmove(x_ + front_, x_ + back_, count * sizeof(double));
            std::memmove(y_ + front_, y_ + back_, count * sizeof(double));
            front_ += count;
            back_ += count;
        } else if (front_ > l) {
            const std::size_t count = front_ - l;
            front_ -= count;
            back_ -= count;
            std::memmove(x_ + back_, x_ + front_, count * sizeof(double));
            std::memmove(y_ + back_, y_ + front_, count * sizeof(double));
        }
    }

    // The removal itself, a loop at a time, in the steps of the plain
    // transcription; see corners_loops.cpp. The steps are inline, defined
    // there only, and so end up in repair(), their one caller: they run once
    // or more per loop cut, and a call costs about as much as the smaller
    // ones' bodies.
    struct Excursion {
        std::size_t j;  // the first earlier point right of x[i + 1]
        std::size_t k;  // the first later point not left of x[i], or the last point
    };
    struct HiddenRun {
        std::size_t m;     // the first later point no longer hidden, or k
        std::size_t prev;  // the earlier-branch index before the last one placed
    };
    void repair(bool complete);
    inline std::optional<Excursion> find_excursion(std::size_t i, bool complete);
    inline HiddenRun walk_hidden(std::size_t i, Excursion e) const noexcept;
    inline std::size_t locate_on_earlier_branch(std::size_t i, std::size_t j,
                                                std::size_t m) const noexcept;
    inline bool tie_passes_over(std::size_t p, std::size_t m) const noexcept;
    inline double earlier_level(std::size_t p, double xn) const noexcept;
    inline std::size_t find_crossing_segment(std::size_t prev, std::size_t m) const noexcept;
    inline std::size_t cut_loop(std::size_t q, std::size_t m);

    void flush() {
        if (staged_ == 0) return;
        curve_.x.insert(curve_.x.end(), stage_->x, stage_->x + staged_);
        curve_.y.insert(curve_.y.end(), stage_->y, stage_->y + staged_);
        size_ += staged_;
        staged_ = 0;
    }

    void close_gap() {
        if (front_ != back_) {
            refresh();
            const std::size_t count = size_ - front_;
            std::memmove(x_ + front_, x_ + back_, count * sizeof(double));
            std::memmove(y_ + front_, y_ + back_, count * sizeof(double));
            curve_.x.resize(size_);
            curve_.y.resize(size_);
        }
        front_ = back_ = size_;
    }

    Curve& curve_;
    bool upper_;
    double* x_ = nullptr;
    double* y_ = nullptr;
    std::size_t front_ = 0;
    std::size_t back_ = 0;
    std::size_t size_;
    std::size_t i_ = 1;  // the scan position
    // An excursion search that ran into the end of the points traced so far.
    bool pending_ = false;
    std::size_t pending_i_ = 0, pending_j_ = 0, pending_k_ = 0;
    Stage* stage_;
    std::size_t staged_ = 0;  // corners waiting in the stage
};

}  // namespace velmora::detail

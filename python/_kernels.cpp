// velmora_funnel._kernels: the package's own loops over whole curves, where
// NumPy would make one temporary array per operation or Python cannot keep
// up. Private to the package; the comparison itself is _velmora_funnel's.
//
//   margins(lower_t, lower_y, upper_t, upper_y, ref_t, ref_y, atoly, ltoly, rtoly,
//           t, v, errors, out) -> (smallest, index)
//       the margin of each test point (t, v) in the funnel around the
//       reference (ref_t, ref_y) inside the range, into out (unless None),
//       and the smallest of them with its index (-1 when all are NaN);
//   error_summary(t, errors, lo, hi) -> (inside, failing, first, largest, nan)
//       the error curve's summary over lo <= t <= hi, in one pass;
//   half_widths(t, y, atolx, ltolx, rtolx, atoly, ltoly, rtoly)
//           -> ((t_min, t_max), (y_min, y_max))
//       the smallest and largest half-width of the funnel along each axis
//       over the reference points (t, y) inside the range, by the core's
//       own rule and data characteristics;
//   format_csv(c0, c1, ...) -> bytes
//       one line per row of two or more columns, cells joined by ",", each
//       double as its shortest exact decimal;
//   sealed_copy(buffer) -> Block
//       a copy of the buffer's bytes that nothing can write.
//
// Every argument is a C-contiguous buffer of float64 (NumPy arrays, bytes).
// The loops run without the interpreter lock: they read arrays that the
// package made read-only and write only memory of their own.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <sys/mman.h>

#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <new>
#include <span>
#include <system_error>
#include <thread>
#include <vector>

#include "errors.hpp"
#include "tube.hpp"
#include "velmora_funnel/records.hpp"

namespace velmora::python {
namespace {

// ---------------------------------------------------------------------------
// Buffers

// A buffer held for the duration of a call, released on every path.
class Floats {
public:
    Floats() = default;
    Floats(const Floats&) = delete;
    Floats& operator=(const Floats&) = delete;
    Floats(Floats&&) = delete;
    Floats& operator=(Floats&&) = delete;
    ~Floats() {
        if (held_) PyBuffer_Release(&view_);
    }

    // A one-dimensional C-contiguous float64 buffer; writable when asked.
    bool take(PyObject* obj, const char* name, bool writable = false) {
        const int flags = PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | (writable ? PyBUF_WRITABLE : 0);
        if (PyObject_GetBuffer(obj, &view_, flags) != 0) return false;
        held_ = true;
        const char* format = view_.format != nullptr ? view_.format : "B";
        const bool doubles = view_.itemsize == 8 &&
                             (std::strcmp(format, "d") == 0 || std::strcmp(format, "=d") == 0 ||
                              std::strcmp(format, "<d") == 0);
        if (view_.ndim != 1 || !doubles) {
            PyErr_Format(PyExc_TypeError, "%s: expected a 1-D float64 buffer", name);
            return false;
        }
        return true;
    }

    std::span<const double> values() const noexcept {
        return {static_cast<const double*>(view_.buf), size()};
    }
    double* data() const noexcept { return static_cast<double*>(view_.buf); }
    std::size_t size() const noexcept { return static_cast<std::size_t>(view_.shape[0]); }

private:
    Py_buffer view_{};
    bool held_ = false;
};

PyObject* memory_error() { return PyErr_NoMemory(); }

// ---------------------------------------------------------------------------
// Margins

// The reference at one abscissa, as a margin measures against it: its y
// half-width there, and, inside its span, the band of its ordinates there
// (one value, or the ends of a step).
struct ReferenceAt {
    double half;
    bool spanned;
    double low;
    double high;
};

// The margin of one test point: its distance to the nearer bound in units of
// the reference's y half-width at its abscissa (1: a whole y tolerance to
// spare, 0 on a bound), or minus its error in those units where the error
// curve says it fails. The funnel's own height is no measure: at a step of
// the reference it is as tall as the step, and every point there would look
// like a near miss. NaN propagates as NumPy's minimum and maximum propagate it.
double margin_of(double v, double low, double high, double error, const ReferenceAt& at) noexcept {
    if (std::isnan(v)) return NAN;
    // The error curve is the verdict: a failing point is outside by its
    // error, and below 0 even against a half-width too large for the
    // quotient to show it; a passing one is never below 0, whatever the
    // rounding here.
    if (error != 0.0) {
        const double margin = -std::fabs(error) / at.half;
        return std::isnan(margin) || margin < 0.0 ? margin
                                                  : -std::numeric_limits<double>::denorm_min();
    }
    const double above = high - v;
    const double below = v - low;
    // NumPy's minimum and maximum: the first operand on a tie (0.0 and -0.0).
    const double nearer =
        std::isnan(above) || std::isnan(below) ? NAN : (above <= below ? above : below);
    double margin = nearer / at.half;
    // The funnel holds the band of one half-width around the reference, so
    // a point that far inside the band has at least that much to spare; the
    // bounds, traced and interpolated in rounded arithmetic, can fall short
    // of it by a few units in the last place, and a test equal to its
    // reference would have a margin just below 1.
    if (at.spanned && !std::isnan(margin)) {
        double off = NAN;
        if (v < at.low) {
            off = at.low - v;
        } else if (v > at.high) {
            off = v - at.high;
        } else if (v >= at.low && v <= at.high) {
            off = 0.0;
        }
        const double band = 1.0 - off / at.half;
        if (band > margin) margin = band;
    }
    return std::isnan(margin) || margin >= 0.0 ? margin : 0.0;
}

// The reference at each of a non-decreasing run of abscissae. Its y
// half-width by the core's rule for each reference point: at a reference
// abscissa the smallest of the points there (a step has several), strictly
// between two reference abscissae the linear interpolation of the two
// points' half-widths, before the first and after the last that of the end.
// So a test point that lies on a reference point is measured against no more
// than that point's own half-width. Its ordinates likewise: those of the
// points at the abscissa, else interpolated; outside its span, none.
class ReferenceWalk {
public:
    ReferenceWalk(std::span<const double> t, std::span<const double> y,
                  const detail::AxisRule& rule) noexcept
        : t_(t), y_(y), rule_(rule) {}

    ReferenceAt operator()(double q) noexcept {
        const std::size_t n = t_.size();
        while (next_ < n && t_[next_] < q) ++next_;
        if (next_ < n && t_[next_] == q) return group(next_);
        if (next_ == 0 || next_ == n) {
            ReferenceAt at = group(next_ == 0 ? 0 : first_of_last());
            at.spanned = false;
            return at;
        }
        const std::size_t j = next_;
        const double d = t_[j] - t_[j - 1];
        const double h0 = width(j - 1);
        const double h1 = width(j);
        const double y = y_[j - 1] + (q - t_[j - 1]) * (y_[j] - y_[j - 1]) / d;
        return {h0 + (q - t_[j - 1]) * (h1 - h0) / d, true, y, y};
    }

private:
    double width(std::size_t i) const noexcept { return rule_.halfwidth(y_[i]); }

    // The points that share the abscissa of point i (the first of them):
    // the smallest half-width and the lowest and highest ordinate, NaN
    // passed over; kept for the next query at the same abscissa, so
    // repeated test abscissae cost no rescan.
    ReferenceAt group(std::size_t i) noexcept {
        if (i == cached_) return cached_at_;
        ReferenceAt at{NAN, true, NAN, NAN};
        for (std::size_t k = i; k < t_.size() && t_[k] == t_[i]; ++k) {
            const double h = width(k);
            if (std::isnan(at.half) || h < at.half) at.half = h;
            if (std::isnan(at.low) || y_[k] < at.low) at.low = y_[k];
            if (std::isnan(at.high) || y_[k] > at.high) at.high = y_[k];
        }
        cached_ = i;
        cached_at_ = at;
        return at;
    }

    std::size_t first_of_last() const noexcept {
        std::size_t i = t_.size() - 1;
        while (i > 0 && t_[i - 1] == t_[i]) --i;
        return i;
    }

    std::span<const double> t_;
    std::span<const double> y_;
    detail::AxisRule rule_;
    std::size_t next_ = 0;
    std::size_t cached_ = static_cast<std::size_t>(-1);
    ReferenceAt cached_at_{NAN, false, NAN, NAN};
};

PyObject* margins(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    static constexpr const char* names[] = {"lower_t", "lower_y", "upper_t", "upper_y", "ref_t",
                                            "ref_y",   "t",       "v",       "errors",  "out"};
    if (nargs != 13) {
        PyErr_Format(PyExc_TypeError, "margins() takes 13 arguments (%zd given)", nargs);
        return nullptr;
    }
    Floats in[9];
    Floats out;
    for (int i = 0; i < 6; ++i) {
        if (!in[i].take(args[i], names[i])) return nullptr;
    }
    CompareOptions options;
    double* const y_tolerances[] = {&options.atoly, &options.ltoly, &options.rtoly};
    for (int i = 0; i < 3; ++i) {
        *y_tolerances[i] = PyFloat_AsDouble(args[6 + i]);
        if (*y_tolerances[i] == -1.0 && PyErr_Occurred()) return nullptr;
    }
    for (int i = 6; i < 9; ++i) {
        if (!in[i].take(args[3 + i], names[i])) return nullptr;
    }
    const bool keep = args[12] != Py_None;
    if (keep && !out.take(args[12], names[9], true)) return nullptr;
    const std::size_t m = in[6].size();
    if (in[0].size() != in[1].size() || in[2].size() != in[3].size() ||
        in[4].size() != in[5].size() || in[0].size() == 0 || in[2].size() == 0 ||
        in[4].size() == 0) {
        PyErr_SetString(PyExc_ValueError,
                        "margins(): each bound and the reference need abscissae and ordinates of "
                        "one length, at least one point");
        return nullptr;
    }
    if (in[7].size() != m || in[8].size() != m || (keep && out.size() != m)) {
        PyErr_SetString(PyExc_ValueError, "margins(): t, v, errors and out must have one length");
        return nullptr;
    }
    const auto t = in[6].values();
    const auto v = in[7].values();
    const auto e = in[8].values();
    double* result = keep ? out.data() : nullptr;
    double smallest = NAN;
    Py_ssize_t where = -1;
    Py_BEGIN_ALLOW_THREADS;
    // The module's own interpolation of the bounds, so that a margin of 0
    // lies where the error curve puts the bound.
    detail::ClampedInterpolation low(in[0].values(), in[1].values());
    detail::ClampedInterpolation high(in[2].values(), in[3].values());
    // The core's own rule and data characteristics of the reference points
    // the funnel was built from (only the ordinates' part of them is read).
    const DataChar data = get_data_char_sorted(in[4].values(), in[5].values());
    ReferenceWalk reference(in[4].values(), in[5].values(), detail::y_rule(data, options));
    auto record = [&](std::size_t i, double lower, double upper) {
        const double margin = margin_of(v[i], lower, upper, e[i], reference(t[i]));
        if (result != nullptr) result[i] = margin;
        // The first of the smallest, NaN skipped, as NumPy's nanargmin.
        if (margin < smallest || (where < 0 && !std::isnan(margin))) {
            smallest = margin;
            where = static_cast<Py_ssize_t>(i);
        }
    };
    for (std::size_t i = 0; i < m; ++i) record(i, low(t[i]), high(t[i]));
    Py_END_ALLOW_THREADS;
    return Py_BuildValue("(dn)", smallest, where);
}

// ---------------------------------------------------------------------------
// Error summary

// One pass over the error curve for what the verdict's summary needs, over
// the points with lo <= t <= hi: how many there are, the error of largest
// magnitude (the first of equals) or whether one is NaN, and the failing
// points (a non-zero or NaN error), counted, with the index of the first.
PyObject* error_summary(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 4) {
        PyErr_Format(PyExc_TypeError, "error_summary() takes 4 arguments (%zd given)", nargs);
        return nullptr;
    }
    Floats t;
    Floats e;
    if (!t.take(args[0], "t") || !e.take(args[1], "errors")) return nullptr;
    const double lo = PyFloat_AsDouble(args[2]);
    if (lo == -1.0 && PyErr_Occurred()) return nullptr;
    const double hi = PyFloat_AsDouble(args[3]);
    if (hi == -1.0 && PyErr_Occurred()) return nullptr;
    if (t.size() != e.size()) {
        PyErr_SetString(PyExc_ValueError, "error_summary(): t and errors must have one length");
        return nullptr;
    }
    const auto ts = t.values();
    const auto es = e.values();
    Py_ssize_t inside = 0;
    Py_ssize_t failing = 0;
    Py_ssize_t first = -1;
    bool nan = false;
    double largest = 0.0;
    double largest_magnitude = -1.0;
    Py_BEGIN_ALLOW_THREADS;
    for (std::size_t i = 0; i < ts.size(); ++i) {
        const double q = ts[i];
        if (!(lo <= q && q <= hi)) continue;
        ++inside;
        const double error = es[i];
        if (error != 0.0) {
            if (first < 0) first = static_cast<Py_ssize_t>(i);
            ++failing;
        }
        if (std::isnan(error)) {
            nan = true;
        } else if (std::fabs(error) > largest_magnitude) {
            largest_magnitude = std::fabs(error);
            largest = error;
        }
    }
    Py_END_ALLOW_THREADS;
    return Py_BuildValue("(nnndO)", inside, failing, first, largest, nan ? Py_True : Py_False);
}

// ---------------------------------------------------------------------------
// Half-widths

// Non-decreasing and finite, as the driver validates the reference
// abscissae before it summarises them: a NaN fails the ordered comparison
// with its neighbour, so once every pair is ordered the ends alone decide
// finiteness.
bool abscissae_ordered(std::span<const double> t) noexcept {
    for (std::size_t i = 0; i + 1 < t.size(); ++i) {
        if (!(t[i + 1] >= t[i])) return false;
    }
    return std::isfinite(t.front()) && std::isfinite(t.back());
}

struct WidthRange {
    double smallest = NAN;
    double largest = NAN;

    // NaN passed over, so a NaN pair says that no half-width is a number.
    void add(double h) noexcept {
        if (std::isnan(h)) return;
        if (std::isnan(smallest) || h < smallest) smallest = h;
        if (std::isnan(largest) || h > largest) largest = h;
    }
};

// Over the points as the bounds see them: one half-width for every point
// when the rule says they all share it (evaluated at 0, as the bounds
// evaluate it), else each point's own.
WidthRange width_range(const detail::AxisRule& rule, bool finite_coordinates,
                       std::span<const double> coordinates) noexcept {
    WidthRange range;
    if (rule.uniform(finite_coordinates)) {
        range.add(rule.halfwidth(0.0));
    } else {
        for (const double c : coordinates) range.add(rule.halfwidth(c));
    }
    return range;
}

// The funnel's half-widths over the reference points inside the range,
// reproduced from the core instead of restated: its data characteristics of
// those points and its rule of each axis.
PyObject* half_widths(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 8) {
        PyErr_Format(PyExc_TypeError, "half_widths() takes 8 arguments (%zd given)", nargs);
        return nullptr;
    }
    Floats t;
    Floats y;
    if (!t.take(args[0], "t") || !y.take(args[1], "y")) return nullptr;
    double tolerances[6];
    for (int i = 0; i < 6; ++i) {
        tolerances[i] = PyFloat_AsDouble(args[2 + i]);
        if (tolerances[i] == -1.0 && PyErr_Occurred()) return nullptr;
    }
    if (t.size() != y.size() || t.size() == 0) {
        PyErr_SetString(PyExc_ValueError,
                        "half_widths(): t and y must have one length, at least one point");
        return nullptr;
    }
    CompareOptions options;
    options.atolx = tolerances[0];
    options.ltolx = tolerances[1];
    options.rtolx = tolerances[2];
    options.atoly = tolerances[3];
    options.ltoly = tolerances[4];
    options.rtoly = tolerances[5];
    const auto ts = t.values();
    const auto ys = y.values();
    bool ordered = false;
    WidthRange along_t;
    WidthRange along_y;
    Py_BEGIN_ALLOW_THREADS;
    // The summary reads the abscissa extremes at the ends: on anything but
    // validated abscissae it would describe another curve than the funnel's.
    ordered = abscissae_ordered(ts);
    if (ordered) {
        const DataChar data = get_data_char_sorted(ts, ys);
        // Validated abscissae are finite; the ordinates may be anything.
        along_t = width_range(detail::x_rule(data, options), true, ts);
        along_y = width_range(detail::y_rule(data, options), false, ys);
    }
    Py_END_ALLOW_THREADS;
    if (!ordered) {
        PyErr_SetString(PyExc_ValueError, "half_widths(): t must be non-decreasing and finite");
        return nullptr;
    }
    return Py_BuildValue("((dd)(dd))", along_t.smallest, along_t.largest, along_y.smallest,
                         along_y.largest);
}

// ---------------------------------------------------------------------------
// CSV text

// The shortest decimal that reads back as the same double; NaN of either
// sign as "nan", the infinities as "inf" and "-inf".
char* put_double(char* at, char* end, double x) noexcept {
    if (std::isnan(x)) {
        at[0] = 'n';
        at[1] = 'a';
        at[2] = 'n';
        return at + 3;
    }
    return std::to_chars(at, end, x).ptr;
}

// The columns' rows as lines, each double as put_double writes it, into a
// text of at least `widest_line` bytes a row; the end of what was written.
char* format_rows(char* at, char* end, const double* const* columns, std::size_t count,
                  std::size_t rows) noexcept {
    if (count == 2) {
        // The two columns of a curve, the common case, without the loop over
        // columns in each row.
        const double* const t = columns[0];
        const double* const y = columns[1];
        for (std::size_t i = 0; i < rows; ++i) {
            at = put_double(at, end, t[i]);
            *at++ = ',';
            at = put_double(at, end, y[i]);
            *at++ = '\n';
        }
        return at;
    }
    for (std::size_t i = 0; i < rows; ++i) {
        for (std::size_t c = 0; c < count; ++c) {
            at = put_double(at, end, columns[c][i]);
            *at++ = ',';
        }
        at[-1] = '\n';
    }
    return at;
}

PyObject* format_csv(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs < 2) {
        PyErr_Format(PyExc_TypeError, "format_csv() takes at least 2 arguments (%zd given)", nargs);
        return nullptr;
    }
    const auto count = static_cast<std::size_t>(nargs);
    std::unique_ptr<Floats[]> held;
    std::vector<const double*> columns;
    try {
        held = std::make_unique<Floats[]>(count);
        columns.resize(count);
    } catch (const std::bad_alloc&) {
        return memory_error();
    }
    for (std::size_t c = 0; c < count; ++c) {
        char name[32];
        std::snprintf(name, sizeof name, "column %zu", c);
        if (!held[c].take(args[c], name)) return nullptr;
        columns[c] = held[c].data();
    }
    const std::size_t n = held[0].size();
    for (std::size_t c = 1; c < count; ++c) {
        if (held[c].size() != n) {
            PyErr_SetString(PyExc_ValueError, "format_csv(): the columns must have one length");
            return nullptr;
        }
    }
    // At most 24 characters a double ("-2.2250738585072014e-308") and one
    // separator after it, a comma or the newline.
    constexpr std::size_t widest_cell = 24 + 1;
    if (count > SIZE_MAX / widest_cell) return memory_error();
    const std::size_t widest_line = count * widest_cell;
    if (n > SIZE_MAX / widest_line) return memory_error();
    // One buffer per thread, kept between calls: a fresh block of this size
    // would cost a page fault per 4 KiB, as much as formatting into it.
    thread_local std::vector<char> text;
    try {
        if (text.size() < n * widest_line) text.resize(n * widest_line);
    } catch (const std::bad_alloc&) {
        return memory_error();
    }
    char* at = text.data();
    Py_BEGIN_ALLOW_THREADS;
    at = format_rows(at, at + text.size(), columns.data(), count, n);
    Py_END_ALLOW_THREADS;
    return PyBytes_FromStringAndSize(text.data(), at - text.data());
}

// ---------------------------------------------------------------------------
// Sealed copies
//
// A result keeps copies of the caller's curves, made on every call and
// dropped with the result. Fresh memory from the system costs a page fault
// and a zeroing per page, about as much again as the copy itself, and the
// allocator hands large blocks back to the system as soon as they are freed.
// So the blocks of a released copy wait in a small cache (at most 64 MiB in
// 8 blocks) for the next copy of about their size, pages and all. Telling the
// kernel it may take their pages back while they wait (MADV_FREE) cost more
// than the copy on blocks of a few hundred KiB, so they stay resident.

constexpr std::size_t PAGE = 4096;
constexpr std::size_t CACHE_BYTES = std::size_t{64} << 20;
constexpr std::size_t CACHE_BLOCKS = 8;

struct Mapping {
    void* address;
    std::size_t length;
};

class BlockCache {
public:
    BlockCache() { free_.reserve(CACHE_BLOCKS); }

    // A mapping of at least `bytes`, from the cache when one fits without
    // wasting more than its requested size, else new; null when none.
    Mapping take(std::size_t bytes) {
        const std::size_t length = (bytes + PAGE - 1) / PAGE * PAGE;
        {
            std::scoped_lock lock(mutex_);
            std::size_t best = free_.size();
            for (std::size_t i = 0; i < free_.size(); ++i) {
                const std::size_t have = free_[i].length;
                if (have >= length && have <= 2 * length &&
                    (best == free_.size() || have < free_[best].length))
                    best = i;
            }
            if (best != free_.size()) {
                const Mapping found = free_[best];
                free_.erase(free_.begin() + static_cast<std::ptrdiff_t>(best));
                cached_ -= found.length;
                return found;
            }
        }
        void* address =
            mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (address == MAP_FAILED) return {nullptr, 0};
#ifdef MADV_HUGEPAGE
        if (length >= (std::size_t{4} << 20)) madvise(address, length, MADV_HUGEPAGE);
#endif
        return {address, length};
    }

    void give_back(Mapping mapping) {
        {
            std::scoped_lock lock(mutex_);
            if (free_.size() < CACHE_BLOCKS && cached_ + mapping.length <= CACHE_BYTES) {
                free_.push_back(mapping);  // within the reserved capacity: never throws
                cached_ += mapping.length;
                return;
            }
        }
        munmap(mapping.address, mapping.length);
    }

private:
    std::mutex mutex_;
    std::vector<Mapping> free_;
    std::size_t cached_ = 0;
};

BlockCache& block_cache() {
    // Never destroyed: blocks may still be released while the interpreter
    // shuts down, after static destructors would have run.
    static auto* cache = new BlockCache();
    return *cache;
}

// Read-only bytes in a mapping of the cache, or on the heap when empty.
struct Block {
    PyObject_HEAD Mapping mapping;
    Py_ssize_t size;
};

void block_dealloc(PyObject* self) {
    auto* block = reinterpret_cast<Block*>(self);
    if (block->mapping.address != nullptr) block_cache().give_back(block->mapping);
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

int block_getbuffer(PyObject* self, Py_buffer* view, int flags) {
    auto* block = reinterpret_cast<Block*>(self);
    static char empty = 0;
    void* data = block->mapping.address != nullptr ? block->mapping.address : &empty;
    // Read-only: a request for a writable buffer fails with BufferError.
    return PyBuffer_FillInfo(view, self, data, block->size, 1, flags);
}

PyType_Slot block_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(block_dealloc)},
    {Py_bf_getbuffer, reinterpret_cast<void*>(block_getbuffer)},
    {Py_tp_doc, const_cast<char*>("Read-only bytes of a sealed copy.")},
    {0, nullptr},
};

PyType_Spec block_spec = {
    "velmora_funnel._kernels.Block",
    sizeof(Block),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    block_slots,
};

PyTypeObject* block_type = nullptr;

// A large copy is split with a second thread: one core does not reach the
// memory bandwidth that two do. A thread that cannot start leaves the whole
// copy to this one.
void copy_bytes(char* to, const char* from, std::size_t bytes) noexcept {
    constexpr std::size_t split_from = std::size_t{4} << 20;
    bool split = bytes >= split_from;
    if (split) {
        const std::size_t half = bytes / 2 / PAGE * PAGE;
        try {
            std::thread helper([=] { std::memcpy(to + half, from + half, bytes - half); });
            std::memcpy(to, from, half);
            helper.join();
        } catch (const std::system_error&) {
            split = false;  // only the thread's start can throw: nothing was copied yet
        }
    }
    if (!split) std::memcpy(to, from, bytes);
}

PyObject* sealed_copy(PyObject*, PyObject* source) {
    Py_buffer view;
    if (PyObject_GetBuffer(source, &view, PyBUF_C_CONTIGUOUS) != 0) return nullptr;
    const auto bytes = static_cast<std::size_t>(view.len);
    Mapping mapping{nullptr, 0};
    if (bytes != 0) {
        mapping = block_cache().take(bytes);
        if (mapping.address == nullptr) {
            PyBuffer_Release(&view);
            return memory_error();
        }
    }
    auto* block = PyObject_New(Block, block_type);
    if (block == nullptr) {
        if (mapping.address != nullptr) block_cache().give_back(mapping);
        PyBuffer_Release(&view);
        return nullptr;
    }
    block->mapping = mapping;
    block->size = view.len;
    if (bytes != 0) {
        Py_BEGIN_ALLOW_THREADS;
        copy_bytes(static_cast<char*>(mapping.address), static_cast<const char*>(view.buf), bytes);
        Py_END_ALLOW_THREADS;
    }
    PyBuffer_Release(&view);
    return reinterpret_cast<PyObject*>(block);
}

// ---------------------------------------------------------------------------
// Module

PyMethodDef methods[] = {
    {"margins", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(margins)), METH_FASTCALL,
     "margins(lower_t, lower_y, upper_t, upper_y, t, v, errors, out)\n--\n\n"},
    {"error_summary", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(error_summary)),
     METH_FASTCALL, "error_summary(t, errors, lo, hi)\n--\n\n"},
    {"half_widths", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(half_widths)),
     METH_FASTCALL, "half_widths(t, y, atolx, ltolx, rtolx, atoly, ltoly, rtoly)\n--\n\n"},
    {"format_csv", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(format_csv)),
     METH_FASTCALL, "format_csv(c0, c1, *columns)\n--\n\n"},
    {"sealed_copy", sealed_copy, METH_O, "sealed_copy(buffer)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "velmora_funnel._kernels",
    nullptr,
    -1,
    methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace velmora::python

PyMODINIT_FUNC PyInit__kernels() {
    using namespace velmora::python;
    if (block_type == nullptr) {
        block_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&block_spec));
        if (block_type == nullptr) return nullptr;
    }
    PyObject* module = PyModule_Create(&module_def);
    if (module == nullptr) return nullptr;
    Py_INCREF(block_type);
    if (PyModule_AddObject(module, "Block", reinterpret_cast<PyObject*>(block_type)) != 0) {
        Py_DECREF(block_type);
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}

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
//   summarise(ref_t, ref_y, t, v, errors, lower_t, lower_y, upper_t, upper_y,
//             lo, hi, atolx, ltolx, rtolx, atoly, ltoly, rtoly) -> tuple
//       all of the above and the counts of values that are not finite, for
//       a completed comparison, in one call (see summarise below);
//   format_csv(c0, c1, ...) -> bytes
//       one line per row of two or more columns, cells joined by ",", each
//       double as its shortest exact decimal;
//   sealed_copy(buffer) -> Block
//       a copy of the buffer's bytes that nothing can write;
//   lay_out_rows(matrix, rows, out) -> None
//       a matrix of `rows` rows stored column by column (binTrans: one output
//       point after the other) into out, row after row.
//
// Every argument is a C-contiguous buffer of float64 (NumPy arrays, bytes).
// The loops run without the interpreter lock: they read arrays that the
// package made read-only and write only memory of their own, or the fresh
// arrays the package hands over to be filled.
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

#include "curve_summaries.hpp"
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
// Summaries

bool take_doubles(PyObject* const* args, double* into, int count) {
    for (int i = 0; i < count; ++i) {
        into[i] = PyFloat_AsDouble(args[i]);
        if (into[i] == -1.0 && PyErr_Occurred()) return false;
    }
    return true;
}

CompareOptions with_tolerances(const double (&tolerances)[6]) noexcept {
    CompareOptions options;
    options.atolx = tolerances[0];
    options.ltolx = tolerances[1];
    options.rtolx = tolerances[2];
    options.atoly = tolerances[3];
    options.ltoly = tolerances[4];
    options.rtoly = tolerances[5];
    return options;
}

bool bounds_and_reference(const Floats* in, const char* who) {
    if (in[0].size() != in[1].size() || in[2].size() != in[3].size() ||
        in[4].size() != in[5].size() || in[0].size() == 0 || in[2].size() == 0 ||
        in[4].size() == 0) {
        PyErr_Format(PyExc_ValueError,
                     "%s(): each bound and the reference need abscissae and ordinates of one "
                     "length, at least one point",
                     who);
        return false;
    }
    return true;
}

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
    double tolerances[6] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
    if (!take_doubles(args + 6, tolerances + 3, 3)) return nullptr;
    for (int i = 6; i < 9; ++i) {
        if (!in[i].take(args[3 + i], names[i])) return nullptr;
    }
    const bool keep = args[12] != Py_None;
    if (keep && !out.take(args[12], names[9], true)) return nullptr;
    if (!bounds_and_reference(in, "margins")) return nullptr;
    const std::size_t m = in[6].size();
    if (in[7].size() != m || in[8].size() != m || (keep && out.size() != m)) {
        PyErr_SetString(PyExc_ValueError, "margins(): t, v, errors and out must have one length");
        return nullptr;
    }
    summaries::Smallest smallest;
    Py_BEGIN_ALLOW_THREADS;
    const summaries::MarginCurves curves{in[0].values(),
                                         in[1].values(),
                                         in[2].values(),
                                         in[3].values(),
                                         in[4].values(),
                                         in[5].values(),
                                         get_data_char_sorted(in[4].values(), in[5].values()),
                                         in[6].values(),
                                         in[7].values(),
                                         in[8].values()};
    smallest =
        summaries::scan_margins(curves, with_tolerances(tolerances), keep ? out.data() : nullptr);
    Py_END_ALLOW_THREADS;
    return Py_BuildValue("(dn)", smallest.margin, static_cast<Py_ssize_t>(smallest.where));
}

PyObject* error_summary(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 4) {
        PyErr_Format(PyExc_TypeError, "error_summary() takes 4 arguments (%zd given)", nargs);
        return nullptr;
    }
    Floats t;
    Floats e;
    if (!t.take(args[0], "t") || !e.take(args[1], "errors")) return nullptr;
    double range[2];
    if (!take_doubles(args + 2, range, 2)) return nullptr;
    if (t.size() != e.size()) {
        PyErr_SetString(PyExc_ValueError, "error_summary(): t and errors must have one length");
        return nullptr;
    }
    summaries::ErrorSummary s;
    Py_BEGIN_ALLOW_THREADS;
    s = summaries::summarise_errors(t.values(), e.values(), range[0], range[1]);
    Py_END_ALLOW_THREADS;
    return Py_BuildValue("(nnndO)", static_cast<Py_ssize_t>(s.inside),
                         static_cast<Py_ssize_t>(s.failing), static_cast<Py_ssize_t>(s.first),
                         s.largest, s.nan ? Py_True : Py_False);
}

// The funnel's half-widths over the reference points inside the range,
// reproduced from the core instead of restated: its data characteristics of
// those points and its rule of each axis.
struct HalfWidths {
    summaries::WidthRange t;
    summaries::WidthRange y;
};

HalfWidths half_widths_of(std::span<const double> t, std::span<const double> y,
                          const DataChar& data, const CompareOptions& options) noexcept {
    // Validated abscissae are finite; the ordinates may be anything.
    return {summaries::width_range(detail::x_rule(data, options), true, t),
            summaries::width_range(detail::y_rule(data, options), false, y)};
}

PyObject* half_widths(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 8) {
        PyErr_Format(PyExc_TypeError, "half_widths() takes 8 arguments (%zd given)", nargs);
        return nullptr;
    }
    Floats t;
    Floats y;
    if (!t.take(args[0], "t") || !y.take(args[1], "y")) return nullptr;
    double tolerances[6];
    if (!take_doubles(args + 2, tolerances, 6)) return nullptr;
    if (t.size() != y.size() || t.size() == 0) {
        PyErr_SetString(PyExc_ValueError,
                        "half_widths(): t and y must have one length, at least one point");
        return nullptr;
    }
    bool ordered = false;
    HalfWidths widths;
    Py_BEGIN_ALLOW_THREADS;
    // The summary reads the abscissa extremes at the ends: on anything but
    // validated abscissae it would describe another curve than the funnel's.
    ordered = summaries::abscissae_ordered(t.values());
    if (ordered) {
        widths =
            half_widths_of(t.values(), y.values(), get_data_char_sorted(t.values(), y.values()),
                           with_tolerances(tolerances));
    }
    Py_END_ALLOW_THREADS;
    if (!ordered) {
        PyErr_SetString(PyExc_ValueError, "half_widths(): t must be non-decreasing and finite");
        return nullptr;
    }
    return Py_BuildValue("((dd)(dd))", widths.t.smallest, widths.t.largest, widths.y.smallest,
                         widths.y.largest);
}

// Every summary of a completed comparison at once, for a caller that lists
// them all (a batch's reports): one call, each curve read in one pass.
//   summarise(ref_t, ref_y, t, v, errors, lower_t, lower_y, upper_t, upper_y,
//             lo, hi, atolx, ltolx, rtolx, atoly, ltoly, rtoly)
//   -> (nan_reference, inf_reference, nan_test, inf_test, non_finite_bounds,
//       inside, failing, first, largest, nan_error, margin, margin_index,
//       half_widths or None)
// with the counts over the requested range lo <= t <= hi, the error summary
// and the margins over it clipped to the reference span, the half-widths
// over the reference points inside it; indices are into t.
PyObject* summarise(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    static constexpr const char* names[] = {"ref_t",   "ref_y",   "t",       "v",      "errors",
                                            "lower_t", "lower_y", "upper_t", "upper_y"};
    if (nargs != 17) {
        PyErr_Format(PyExc_TypeError, "summarise() takes 17 arguments (%zd given)", nargs);
        return nullptr;
    }
    Floats in[9];
    for (int i = 0; i < 9; ++i) {
        if (!in[i].take(args[i], names[i])) return nullptr;
    }
    double range[2];
    double tolerances[6];
    if (!take_doubles(args + 9, range, 2) || !take_doubles(args + 11, tolerances, 6)) {
        return nullptr;
    }
    const std::size_t m = in[2].size();
    if (in[0].size() != in[1].size() || in[0].size() == 0 || in[3].size() != m ||
        in[4].size() != m || in[5].size() != in[6].size() || in[7].size() != in[8].size()) {
        PyErr_SetString(PyExc_ValueError,
                        "summarise(): a reference of at least one point, and t, v and errors, "
                        "and each bound's abscissae and ordinates, of one length");
        return nullptr;
    }
    const auto ref_t = in[0].values();
    const auto t = in[2].values();
    if (!summaries::abscissae_ordered(ref_t) || (m != 0 && !summaries::abscissae_ordered(t))) {
        PyErr_SetString(PyExc_ValueError,
                        "summarise(): abscissae must be non-decreasing and finite");
        return nullptr;
    }
    const double lo = range[0];
    const double hi = range[1];
    // The range the verdict looks at: the requested one clipped to the
    // reference span, as Python's max and min clip it.
    const double clipped_lo = ref_t.front() > lo ? ref_t.front() : lo;
    const double clipped_hi = ref_t.back() < hi ? ref_t.back() : hi;
    const auto offset = [](std::span<const double> whole, std::span<const double> part) {
        return static_cast<std::size_t>(part.data() - whole.data());
    };
    const auto ref_in = summaries::slice_between(ref_t, lo, hi);
    const auto ref_y_in = in[1].values().subspan(offset(ref_t, ref_in), ref_in.size());
    const auto test_in = summaries::slice_between(t, lo, hi);
    const auto v_in = in[3].values().subspan(offset(t, test_in), test_in.size());
    const auto compared = summaries::slice_between(t, clipped_lo, clipped_hi);
    const std::size_t first = offset(t, compared);
    const bool funnel = !ref_in.empty();
    if (funnel && (in[5].size() == 0 || in[7].size() == 0)) {
        PyErr_SetString(PyExc_ValueError,
                        "summarise(): a funnel needs bounds of one point or more");
        return nullptr;
    }
    summaries::NonFinite reference_counts;
    summaries::NonFinite test_counts;
    std::ptrdiff_t bad_bounds = 0;
    summaries::ErrorSummary errors;
    summaries::Smallest smallest;
    HalfWidths widths;
    Py_BEGIN_ALLOW_THREADS;
    reference_counts = summaries::count_non_finite(ref_y_in);
    test_counts = summaries::count_non_finite(v_in);
    bad_bounds = summaries::non_finite_points(in[5].values(), in[6].values()) +
                 summaries::non_finite_points(in[7].values(), in[8].values());
    errors = summaries::summarise_errors_inside(in[4].values().subspan(first, compared.size()));
    if (errors.first >= 0) errors.first += static_cast<std::ptrdiff_t>(first);
    if (funnel) {
        const CompareOptions options = with_tolerances(tolerances);
        const DataChar data = get_data_char_sorted(ref_in, ref_y_in);
        widths = half_widths_of(ref_in, ref_y_in, data, options);
        const summaries::MarginCurves curves{in[5].values(),
                                             in[6].values(),
                                             in[7].values(),
                                             in[8].values(),
                                             ref_in,
                                             ref_y_in,
                                             data,
                                             compared,
                                             in[3].values().subspan(first, compared.size()),
                                             in[4].values().subspan(first, compared.size())};
        smallest = summaries::scan_margins(curves, options, nullptr);
        if (smallest.where >= 0) smallest.where += static_cast<std::ptrdiff_t>(first);
    }
    Py_END_ALLOW_THREADS;
    PyObject* half = funnel ? Py_BuildValue("((dd)(dd))", widths.t.smallest, widths.t.largest,
                                            widths.y.smallest, widths.y.largest)
                            : Py_NewRef(Py_None);
    if (half == nullptr) return nullptr;
    return Py_BuildValue(
        "(nnnnnnnndOdnN)", static_cast<Py_ssize_t>(reference_counts.nan),
        static_cast<Py_ssize_t>(reference_counts.inf), static_cast<Py_ssize_t>(test_counts.nan),
        static_cast<Py_ssize_t>(test_counts.inf), static_cast<Py_ssize_t>(bad_bounds),
        static_cast<Py_ssize_t>(errors.inside), static_cast<Py_ssize_t>(errors.failing),
        static_cast<Py_ssize_t>(errors.first), errors.largest, errors.nan ? Py_True : Py_False,
        smallest.margin, static_cast<Py_ssize_t>(smallest.where), half);
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
// Rows of a matrix stored by columns

// A binTrans data matrix stores one output point after the other, and each
// variable is a row strided through it. Eight columns at a time, every row
// takes a whole cache line of its own values from eight streams that each
// advance by one value per row: the reads stay sequential, every write fills
// a line, and the matrix is laid out in one pass.
void lay_out(const double* matrix, double* out, std::size_t n, std::size_t cols) noexcept {
    constexpr std::size_t LINE = 8;
    std::size_t c0 = 0;
    for (; c0 + LINE <= cols; c0 += LINE) {
        const double* column = matrix + c0 * n;
        for (std::size_t r = 0; r < n; ++r) {
            double* to = out + r * cols + c0;
            for (std::size_t k = 0; k < LINE; ++k) to[k] = column[k * n + r];
        }
    }
    for (std::size_t r = 0; r < n; ++r) {
        for (std::size_t c = c0; c < cols; ++c) out[r * cols + c] = matrix[c * n + r];
    }
}

PyObject* lay_out_rows(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 3) {
        PyErr_Format(PyExc_TypeError, "lay_out_rows() takes 3 arguments (%zd given)", nargs);
        return nullptr;
    }
    Floats matrix;
    Floats out;
    if (!matrix.take(args[0], "matrix") || !out.take(args[2], "out", true)) return nullptr;
    const Py_ssize_t rows = PyLong_AsSsize_t(args[1]);
    if (rows == -1 && PyErr_Occurred()) return nullptr;
    const auto n = static_cast<std::size_t>(rows);
    if (rows <= 0 || matrix.size() % n != 0 || out.size() != matrix.size()) {
        PyErr_SetString(PyExc_ValueError,
                        "lay_out_rows(): rows > 0 that divide the matrix, and out of its size");
        return nullptr;
    }
    Py_BEGIN_ALLOW_THREADS;
    lay_out(matrix.values().data(), out.data(), n, matrix.size() / n);
    Py_END_ALLOW_THREADS;
    Py_RETURN_NONE;
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
    {"summarise", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(summarise)),
     METH_FASTCALL,
     "summarise(ref_t, ref_y, t, v, errors, lower_t, lower_y, upper_t, upper_y, lo, hi, atolx, "
     "ltolx, rtolx, atoly, ltoly, rtoly)\n--\n\n"},
    {"sealed_copy", sealed_copy, METH_O, "sealed_copy(buffer)\n--\n\n"},
    {"lay_out_rows", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(lay_out_rows)),
     METH_FASTCALL, "lay_out_rows(matrix, rows, out)\n--\n\n"},
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

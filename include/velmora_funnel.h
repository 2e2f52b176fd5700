/* The funnel comparison for C callers and for every language that calls C
 * (Julia's ccall, R's .Call, Rust's extern "C", MATLAB's MEX): the same
 * doubles, bit for bit, as the Python module _velmora_funnel and the C++ API
 * (velmora_funnel/compare.hpp). Link -lvelmora_funnel (pkg-config
 * velmora-funnel) or CMake's velmora::funnel.
 *
 *   vf_result *r = NULL;
 *   int status = vf_compare(t_ref, y_ref, n_ref, t, y, n, NULL, &r);
 *   const double *et, *ey;
 *   size_t n_err = vf_result_curve(r, VF_ERRORS, &et, &ey);
 *   ...
 *   vf_result_free(r);
 *
 * The library keeps no state, so calls from several threads at once are
 * safe, as long as no thread releases a result that another still reads. No
 * function writes anything but what its arguments point at and its own
 * results, none throws or aborts, and none reads an input after it returns. */
#ifndef VELMORA_FUNNEL_H
#define VELMORA_FUNNEL_H

#include <stddef.h>

#if defined(__GNUC__) || defined(__clang__)
#define VF_API __attribute__((visibility("default")))
#else
#define VF_API
#endif

/* C++ callers of this header see the guarantee that nothing is thrown. */
#ifdef __cplusplus
#define VF_NOEXCEPT noexcept
#else
#define VF_NOEXCEPT
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The six tolerances and the inclusive abscissa range [lo, hi]. Any double
 * is taken as given (zero, negative, infinite, not-a-number, lo > hi). The
 * defaults: 0 for atol and ltol, 0.002 for rtol, lo = -inf, hi = +inf. */
typedef struct vf_options {
    double atolx, atoly, ltolx, ltoly, rtolx, rtoly, lo, hi;
} vf_options;

/* The outcome of one comparison: the lower and upper bound of the funnel
 * and the error curve. Owned by the library: read it through
 * vf_result_curve, release it with vf_result_free. */
typedef struct vf_result vf_result;

/* The curves of a result. */
enum { VF_LOWER = 0, VF_UPPER = 1, VF_ERRORS = 2 };

/* Statuses: the values of the Python module's STATUS_* constants. -1..2 are
 * outcomes of a comparison that ran to the end (three curves filled, the
 * error curve as long as the test curve); 10 and above mean that no funnel
 * was built (three empty curves). */
enum {
    VF_STATUS_FAIL = -1,             /* a test point inside the range lies outside the funnel */
    VF_STATUS_PASS = 0,              /* none does, and both curves cover the same span */
    VF_STATUS_MISSING_REFERENCE = 1, /* the test curve extends past the reference */
    VF_STATUS_MISSING_TEST = 2,      /* the reference extends past the test curve */
    VF_STATUS_NON_MONOTONIC = 10,    /* abscissae decrease somewhere, or are NaN or infinite */
    VF_STATUS_LENGTH_MISMATCH = 11,  /* one of a curve's two arrays is null, the other not */
    VF_STATUS_EMPTY_RANGE = 12,      /* the range misses the reference or the test curve */
    VF_STATUS_BUFFER_TOO_SMALL = 13, /* defined; never returned by vf_compare */
    VF_STATUS_INSUFFICIENT_DATA =
        14, /* a curve has fewer than two points, in the range or at all */
    /* Not one of the module's statuses (it raises MemoryError instead): the
     * storage of the result could not be allocated. *result is then null. */
    VF_STATUS_NO_MEMORY = 20
};

/* The default options, as a value. */
VF_API vf_options vf_default_options(void) VF_NOEXCEPT;

/* Compares the test curve (t_test, y_test), n_test points, with the funnel
 * around the reference curve (t_ref, y_ref), n_ref points, and returns the
 * status. The arrays are only read, during the call. A null array holds no
 * points, whatever its length: both arrays of a curve null give
 * VF_STATUS_INSUFFICIENT_DATA, one of them null VF_STATUS_LENGTH_MISMATCH.
 * Each non-null array must hold at least its curve's number of doubles.
 * options: null for the defaults.
 *
 * result: where to put the result, or null to learn the status alone. When
 * not null, *result is set on every return: to a result the caller releases
 * with vf_result_free (empty curves for the statuses 10..14), or to null for
 * VF_STATUS_NO_MEMORY. */
VF_API int vf_compare(const double* t_ref, const double* y_ref, size_t n_ref, const double* t_test,
                      const double* y_test, size_t n_test, const vf_options* options,
                      vf_result** result) VF_NOEXCEPT;

/* The number of points of one curve of a result (which: VF_LOWER, VF_UPPER or
 * VF_ERRORS), with *t and *y set to its abscissae and ordinates, which live
 * as long as the result. t or y may be null when not wanted. An empty curve,
 * a null result and any other value of which give 0 and null pointers. */
VF_API size_t vf_result_curve(const vf_result* result, int which, const double** t,
                              const double** y) VF_NOEXCEPT;

/* Releases a result; null is ignored. */
VF_API void vf_result_free(vf_result* result) VF_NOEXCEPT;

/* The message of a status ("pass: all test points inside the funnel", ...),
 * a static NUL-terminated string; null for a value that is no status. */
VF_API const char* vf_status_message(int status) VF_NOEXCEPT;

/* The library's version in SemVer's spelling, "1.0.0-beta.10": the same as
 * the Python module's version(). A static NUL-terminated string. */
VF_API const char* vf_version(void) VF_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif /* VELMORA_FUNNEL_H */

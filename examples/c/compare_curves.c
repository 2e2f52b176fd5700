/* compare_curves: compares a test curve with the funnel around a reference
 * curve through the C ABI of velmora-funnel.
 *
 *   cc -std=c11 compare_curves.c $(pkg-config --cflags --libs velmora-funnel) -o compare_curves
 *   ./compare_curves < case.txt
 *
 * Input, numbers separated by white space (nan, inf and -inf are numbers):
 *   atolx atoly ltolx ltoly rtolx rtoly lo hi
 *   n, then n pairs "t y": the reference curve
 *   m, then m pairs "t y": the test curve
 * Output: "status S MESSAGE", then the lower bound, the upper bound and the
 * error curve, each as "NAME COUNT" and one line "t y" per point, every
 * double exact (17 significant digits). Exit status 0 for a pass, 1 for any
 * other status, 2 for unreadable input. */
#include <stdio.h>
#include <stdlib.h>
#include <velmora_funnel.h>

/* Reads a curve's number of points and its pairs into two new arrays. */
static int read_curve(size_t* n, double** t, double** y) {
    if (scanf("%zu", n) != 1) return 0;
    *t = malloc(*n * sizeof **t);
    *y = malloc(*n * sizeof **y);
    if (*n > 0 && (*t == NULL || *y == NULL)) return 0;
    for (size_t i = 0; i < *n; ++i) {
        if (scanf("%lf %lf", &(*t)[i], &(*y)[i]) != 2) return 0;
    }
    return 1;
}

static void print_curve(const char* name, const vf_result* result, int which) {
    const double *t, *y;
    size_t n = vf_result_curve(result, which, &t, &y);
    printf("%s %zu\n", name, n);
    for (size_t i = 0; i < n; ++i) printf("%.17g %.17g\n", t[i], y[i]);
}

int main(void) {
    vf_options o = vf_default_options();
    double *t_ref = NULL, *y_ref = NULL, *t_test = NULL, *y_test = NULL;
    size_t n_ref = 0, n_test = 0;
    int ok = scanf("%lf %lf %lf %lf %lf %lf %lf %lf", &o.atolx, &o.atoly, &o.ltolx, &o.ltoly,
                   &o.rtolx, &o.rtoly, &o.lo, &o.hi) == 8 &&
             read_curve(&n_ref, &t_ref, &y_ref) && read_curve(&n_test, &t_test, &y_test);
    int exit_status = 2;
    if (ok) {
        vf_result* result = NULL;
        int status = vf_compare(t_ref, y_ref, n_ref, t_test, y_test, n_test, &o, &result);
        printf("status %d %s\n", status, vf_status_message(status));
        print_curve("lower", result, VF_LOWER);
        print_curve("upper", result, VF_UPPER);
        print_curve("errors", result, VF_ERRORS);
        vf_result_free(result);
        exit_status = status == VF_STATUS_PASS ? 0 : 1;
    } else {
        fprintf(stderr, "compare_curves: unreadable input\n");
    }
    free(t_ref);
    free(y_ref);
    free(t_test);
    free(y_test);
    return exit_status;
}

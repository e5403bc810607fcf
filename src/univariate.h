// Univariate robust statistics: the weighted high median, the Qn and Sn
// scale estimators and the medcouple, with their .C entry points.
#ifndef KELVARA_UNIVARIATE_H
#define KELVARA_UNIVARIATE_H

namespace kelvara {

/** Weighted high median of a[0..n-1] with weights w (n >= 1, w >= 0, sum > 0).
 *  a and w are working storage and are overwritten; a_cand, a_srt and w_cand
 *  are caller scratch of n elements each. */
double whimed(double* a, double* w, int n, double* a_cand, double* a_srt, double* w_cand);
/** The same with int weights; the weight sums are 64-bit. */
double whimed_i(double* a, int* iw, int n, double* a_cand, double* a_srt, int* iw_cand);

/** Raw Qn: the order statistic of rank h(h-1)/2, h = n/2 + 1, of the
 *  pairwise distances; x is not modified.  0 when n < 2 (no pair). */
double qn0(const double* x, int n);
/** Raw Sn (n >= 1); sorts x in place unless is_sorted, fills a2[0..n-1] with the
 *  inner medians in the order of the sorted sample. */
double sn0(double* x, int n, int is_sorted, double* a2);
/** Element of rank k (1-based) of a[0..n-1], selected on a copy. */
double pull(const double* a, int n, int k);

/** Status of the medcouple search (iter[1] of mc_C). */
enum mc_status : int {
  MC_ITERATION_LIMIT = 0,  // stopped at maxit; the result is the last trial value
  MC_CONVERGED = 1         // the medcouple
};

/** Medcouple kernel; ties (|a - b| < 2 eps, or b > 0) get the sign of ab - ai - bi. */
double h_kern(double a, double b, int ai, int bi, int ab, double eps);
/** Medcouple of z[0..n-1] (not modified).  eps = {eps1, eps2}, both > 0,
 *  act in units of a power of two near the interquartile distance;
 *  iter: in {maxit, trace}, out {iterations, mc_status}. */
double mc_C_d(const double* z, int n, const double* eps, int* iter);

}  // namespace kelvara

extern "C" {
void Qn0(double* x, int* n, double* result);
void Sn0(double* x, int* n, int* is_sorted, double* result, double* a2);
void mc_C(double* z, int* n, double* eps, int* iter, double* result);
void wgt_himed_i(double* x, int* n, int* iw, double* result);
void wgt_himed(double* x, int* n, double* w, double* result);
}

#endif

// Minimum covariance determinant: the FAST-MCD driver, its cross-product,
// sweep, distance and list kernels, and the symmetric eigen-decomposition
// `rs_`.  The subset drawing, sorting, selection and univariate MCD kernels
// it shares with least trimmed squares are declared in utilities.h.
//
// Conventions of these routines: every argument is passed by reference,
// integers are 32-bit, arrays count from 1 in the descriptions below and are
// stored column by column, and nothing is allocated unless stated.  Arguments
// documented as "dim." only give a declared dimension and are not read.
#ifndef KELVARA_MCD_H
#define KELVARA_MCD_H

#include "utilities.h"

namespace kelvara {
// Outcome of the FAST-MCD search, written to its exact-fit output (the R
// table .mcd_codes holds the same values).
enum mcd_status : int {
  mcd_ok = 0,
  mcd_singular_data = 1,  // the covariance of all cases is singular
  mcd_exact_fit = 2,      // at least h cases lie on a hyperplane
};
}  // namespace kelvara

extern "C" {

// ---- covariance, sweep, distance and list kernels -------------------------

/** a(nr, nc) = 0. */
void rfcovinit_(double* a, const int* nr, const int* nc);
/** b(nr, nc) = a(nr, nc). */
void rfcovcopy_(const double* a, double* b, const int* nr, const int* nc);
/** a(nr, nc) = a * fac. */
void rfcovmult_(double* a, const int* nr, const int* nc, const double* fac);

/** Adds the case rec(1..p) to the cross-product matrix sscp(p1, p1),
 *  p1 = p + 1: count in (1,1), sums in row/column 1, products below. */
void rfadmit_(const double* rec, const int* p, const int* p1, double* sscp);

/** Means, covariance (divisor m - 1) and standard deviations of the m cases
 *  accumulated in sscp; a negative variance residue gives sd = 0. */
void rfcovar_(const int* m, const int* p, const int* p1, const double* sscp, double* cov,
              double* means, double* sd);

/** b = correlation matrix of the covariance a; sd(j) = 1 / sqrt(a(j, j)). */
void rfcorrel_(const int* p, const double* a, double* b, double* sd);

/** Sweeps a(p, p) on pivot k. */
void rfcovsweep_(double* a, const int* p, const int* k);

/** Quadratic form (rec - means)' sigma (rec - means), summed over j then k. */
double rfmahad_(const double* rec, const int* p, const double* means,
                const double* sigma);

/** ndist(i) = |sum_j z(j) (da(i, j) - means(j))|, i = 1..nn; nm is the
 *  leading dimension of da, nv is dim. */
void rfdis_(const double* da, const double* z, double* ndist, const int* nm,
            const int* nv, const int* nn, const int* p, const double* means);

/** Back to data units: means(j) = means(j) mad(j) + med(j), cov(j, k) *=
 *  mad(j) mad(k), dat(i, j) = dat(i, j) mad(j) + med(j); dat has n rows. */
void transfo_(double* cov, double* means, double* dat, const double* med,
              const double* mad, const int* p, const int* n);

/** Pushes (means, cov) onto entry 1 of the 10-entry list covs(10, p*p),
 *  centers(10, p) and key slot 1 of keys(10, 2, *): key 1 = i, key 2 =
 *  count.  d1..d3 are dim. */
void rfstore2_(const int* p, double* covs, double* centers, const int* d1, const int* d2,
               const int* d3, const double* cov, const double* means, const int* i,
               double* keys, const int* count);

/** The same for the block of rows (g-1)*10+1 .. (g-1)*10+10 of arrays with
 *  `rows` rows, and key slot g. */
void rfstore1_(const int* p, double* covs, double* centers, const int* d1, const int* d2,
               const int* d3, const double* cov, const double* means, const int* i,
               const int* rows, const int* g, double* keys, const int* count);

/** Mean and covariance of the cases of dat(nn, p) with |ndist(i)| < 1e-7:
 *  flags(i) = 1 for them, 0 otherwise, count = their number.  sscp and rec
 *  are work; p1 and d are dim. */
void rfexact_(int* count, const int* nn, const double* ndist, const int* p1, const int* p,
              double* sscp, double* rec, const double* dat, double* cov, double* means,
              double* sd, const int* d, int* flags);

// ---- symmetric eigen-decomposition ----------------------------------------

/** Eigenvalues w(1..n) in ascending order and (when matz != 0) unit
 *  eigenvectors z(nm, n), eigenvector k in column k, of the symmetric matrix
 *  a(nm, n), which is not changed.  Each eigenvector is signed so that its
 *  largest component in magnitude (the first of equals) is positive.  fv1 and
 *  fv2 are not used; ierr = 0 on success, the LAPACK info otherwise. */
void rs_(const int* nm, const int* n, const double* a, double* w, const int* matz,
         double* z, double* fv1, double* fv2, int* ierr);

// ---- the FAST-MCD driver (.Fortran entry point rffastmcd, 48 arguments) ---
// exact_fit receives an mcd_status.
void rffastmcd_(double* x, int* n, int* p, int* h, int* krep, int* group_size,
                double* raw_cov, double* raw_center, int* best_subset, double* mcd_det,
                int* weights, int* exact_fit, double* hyperplane, int* n_on_plane,
                double* cons_cov, int* unused, int* sorted_best, int* index_a,
                int* index_b, double* class_dist, double* dist, double* work_a,
                double* work_b, double* work_c, double* center0, double* scale0,
                double* sd, double* center, double* best_center, double* eigval,
                double* eig_work1, double* eig_work2, double* row, double* sscp,
                double* cov, double* corr, double* cov_inv, double* best_cov,
                double* best_cov_inv, double* eigvec, double* merged_covs,
                double* merged_centers, double* group_covs, double* group_centers,
                double* merged_x, double* cutoff, double* chi_median, int* trace);

/** The same search for the package's own R code (registered .C routine,
 *  20 arguments): scratch space is allocated here, group_size (in/out) is
 *  doubled until the groups can be searched, status is an mcd_status. */
void kv_fastmcd(double* x, int* n, int* p, int* h, int* krep, int* group_size,
                double* cutoff, double* chi_median, int* trace, int* status,
                double* raw_cov, double* raw_center, int* best_subset, double* mcd_det,
                int* weights, double* hyperplane, int* n_on_plane, double* cons_cov,
                double* center, double* cov);

/** The same search on the data standardized first: x(i, j) becomes
 *  (x(i, j) - loc(j)) / scale(j), moved to +-far when beyond far in
 *  magnitude (registered .C routine, 23 arguments). */
void kv_mcd_search(double* x, int* n, int* p, double* loc, double* scale, double* far,
                   int* h, int* krep, int* group_size, double* cutoff, double* chi_median,
                   int* trace, int* status, double* raw_cov, double* raw_center,
                   int* best_subset, double* mcd_det, int* weights, double* hyperplane,
                   int* n_on_plane, double* cons_cov, double* center, double* cov);

/** Squared distances of the rows of x(n, p), prescaled as (x - loc) / scale,
 *  under k pairs of an upper triangular inverse root inv_roots(p, p, k) and a
 *  shift shifts(p, k): out(i, c) = sum_j ((xs inv_root_c)(i, j) -
 *  shift_c(j))^2, the products and sums formed in the order of R's
 *  reference-BLAS matrix product (registered .C routine, 9 arguments). */
void kv_mcd_distances(double* x, int* n, int* p, double* loc, double* scale, int* k,
                      double* inv_roots, double* shifts, double* out);

/** colMeans() and cov() of the cases of x(n, p) with keep(i) = 1 (of all
 *  cases when all = 1), with the sums of R's own routines; m receives the
 *  number of cases (registered .C routine, 8 arguments). */
void kv_mcd_moments(double* x, int* n, int* p, int* all, int* keep, int* m, double* center,
                    double* cov);

/** Per-column median and spread (median absolute deviation, else mean
 *  absolute deviation, else 1) of x(n, p) on the m rows `rows`, and the
 *  largest |x(i, j) - loc(j)| / scale(j) in big (registered .C routine, 8
 *  arguments). */
void kv_mcd_prescale(double* x, int* n, int* p, int* rows, int* m, double* loc,
                     double* scale, double* big);

/** The reweighting of the R layer in one call: cl_center, cl_cov =
 *  kv_mcd_moments of all cases; raw_mah = kv_mcd_distances under one
 *  (inv_root, shift); weights(i) = raw_mah(i) <= cutoff (NA when NaN); kept =
 *  their sum (NA when a weight is); when kept > p, center and cov =
 *  kv_mcd_moments of the kept cases.  Then, with done = 1 or 2: mah = the
 *  squared distances under the estimate chosen (2: the kept cases' center
 *  with covariance cov * factor(1) * factor(2), which has a Cholesky root;
 *  1: raw_center, raw_cov) and, with classical = 1, cl_mah those under the
 *  classical estimate (registered .C routine, 22 arguments). */
void kv_mcd_reweight(double* x, int* n, int* p, double* loc, double* scale,
                     double* inv_root, double* shift, double* cutoff, double* factor,
                     double* raw_center, double* raw_cov, double* raw_mah, int* weights,
                     int* kept, double* center, double* cov, double* cl_center,
                     double* cl_cov, double* mah, double* cl_mah, int* classical,
                     int* done);

/** kv_mcd_prescale on the rows `rows` of x (data = list(x), read in place),
 *  then kv_mcd_search with the loc and scale found on a scaled copy of x,
 *  unless a spread's square
 *  is not a normal double or, with h = n, big exceeds far: status is then
 *  -1, not searched.  After a regular search with h < n and p > 1, the raw
 *  estimate in data units rw_center = raw_center * scale + loc, rw_cov =
 *  cons_cov * scale scale' * small_raw, and kv_mcd_reweight on it (factor
 *  rw_factor, outputs raw_mah .. cl_mah, classical, rw_done; rw_weights,
 *  kept_center and kept_cov stand for its weights, center and cov);
 *  rw_done = 0 when it did not run (registered .C routine, 41 arguments). */
void kv_mcd_scaled_search(
    void* data, int* n, int* p, int* rows, int* m, double* loc, double* scale, double* big,
    double* far, int* h, int* krep, int* group_size, double* cutoff, double* chi_median,
    int* trace, int* status, double* raw_cov, double* raw_center, int* best_subset,
    double* mcd_det, int* weights, double* hyperplane, int* n_on_plane, double* cons_cov,
    double* center, double* cov, double* small_raw, double* rw_factor, double* rw_center,
    double* rw_cov, double* raw_mah, int* rw_weights, int* kept, double* kept_center,
    double* kept_cov, double* cl_center, double* cl_cov, double* mah, double* cl_mah,
    int* classical, int* rw_done);

}  // extern "C"

#endif

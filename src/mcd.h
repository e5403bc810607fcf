// Minimum covariance determinant: the FAST-MCD driver and the kernels it
// shares with least trimmed squares (subset drawing and combinatorics,
// sorting and selection, the univariate MCD, cross-product, sweep, distance
// and list kernels), plus the symmetric eigen-decomposition `rs_`.
//
// Conventions of these routines: every argument is passed by reference,
// integers are 32-bit, arrays count from 1 in the descriptions below and are
// stored column by column, and nothing is allocated unless stated.  Arguments
// documented as "dim." only give a declared dimension and are not read.
#ifndef KELVARA_MCD_H
#define KELVARA_MCD_H

extern "C" {

// ---- random subsets and combinatorics ----------------------------------
// Random draws come from unifrnd_() only; the callers bracket them with
// rndstart_() / rndend_().

/** index(1..nsel) = nsel distinct random case numbers of 1..n, in the order
 *  drawn (rejection of repeats).  Fails (an R error) when nsel > n instead of
 *  drawing forever. */
void rfrangen_(const int* n, const int* nsel, int* index);

/** Grouped draw: a(2, ntot) receives mini(1) + ... + mini(ngroup) distinct
 *  random case numbers of 1..n in increasing order (row 1), each tagged with
 *  its group number (row 2).  ntot and kmini are dim. */
void rfrdraw_(int* a, const int* n, const int* ntot, const int* mini, const int* ngroup,
              const int* kmini);

/** a(1..pnsel) sorted on entry; one new random case of 1..nn is inserted so
 *  that a(1..pnsel+1) is sorted.  pnsel is not changed. */
void prdraw_(int* a, const int* pnsel, const int* nn);

/** Advances index(1..nsel) to the next nsel-subset of 1..n in lexicographic
 *  order; start from (1, 2, ..., nsel-1, nsel-1) to get (1, ..., nsel) first. */
void rfgenpn_(const int* n, const int* nsel, int* index);

/** Number of k-subsets of n cases, rounded, capped at 2147483647 (the cap is
 *  announced on the console whatever the trace level). */
int rfncomb_(const int* k, const int* n);

/** Largest sample size for which all k-subsets are enumerated: 500, 50, 22,
 *  17, 15, 14 for k = 1..6 and 0 for k >= 7. */
int replow_(const int* k);

/** Logical: nonzero when n is odd. */
int rfodd_(const int* n);

// ---- sorting and order statistics ---------------------------------------

/** Sorts a(1..n) ascending. */
void rfshsort_(double* a, const int* n);
/** Sorts the integers a(1..n) ascending. */
void rfishsort_(int* a, const int* n);

/** k-th smallest of aw(1..ncas) by partition-exchange selection.  aw is left
 *  partly reordered; index(j) is the position on entry of the value now in
 *  aw(j).  Fails (an R error) unless 1 <= k <= ncas. */
double rffindq_(double* aw, const int* ncas, const int* k, int* index);

// ---- univariate MCD -----------------------------------------------------

/** Exact univariate MCD of the sorted sample w(1..ncas) with coverage jqu:
 *  slutn(1) = location (mean of the middle tied best window), bstd = factor *
 *  sqrt(min window sum of squares / jqu), aw / aw2 = window sums and their
 *  squares / jqu, len = start of the first best window.  slutn, aw and aw2
 *  hold ncas - jqu + 1 entries.  Fails unless 1 <= jqu <= ncas. */
void rfmcduni_(const double* w, const int* ncas, const int* jqu, double* slutn,
               double* bstd, double* aw, double* aw2, const double* factor, int* len);

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

}  // extern "C"

#endif

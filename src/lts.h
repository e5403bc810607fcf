// Least trimmed squares regression: the FAST-LTS search and its kernels.
//
// Every kernel takes its arguments by reference, counts array positions
// from 1 and stores matrices column by column.  Arguments that are only
// declared dimensions (never read) are unnamed.
#ifndef KELVARA_LTS_H
#define KELVARA_LTS_H

namespace kelvara {

// Outcome of the FAST-LTS search (the R table .lts_codes holds the same
// values).
enum lts_status : int {
  lts_ok = 0,
  lts_zero_scale = 1,  // a column has zero robust scale: no fit is made
  lts_no_subset = 2,   // no start gave a fit: no non-singular p-subset
};

struct lts_problem {
  int n, p, h, krep;
  int ncol;       // p + 1; 1 selects the location-only case
  int intercept;  // 1: column p is the column of ones
  int adjust;     // 1 (with an intercept): intercepts by the univariate LTS
  int trace;
  bool start_every_group;  // at least one start per group, however small krep
  // The package's own search: the hh smallest residuals of many cases
  // selected in increasing case order (see lts_search::select_in_order)
  // rather than in rffindq_'s order, and the columns' medians by a
  // selection that leaves them in place (standardize_columns' by_value).
  bool select_in_order = false;
};

// The search's arrays; sizes as the arguments of rfltsreg_ (lts.cpp).
struct lts_arrays {
  double* x;  // (n, ncol), standardized in place
  double* fit_data;  // not used: the refits read their rows from the data
  double* unit_weights;
  int* hsubset;
  int* sub_index;
  int* hidx;
  double* window;   // standardization work; window buffer of the intercept search
  double* rsorted;  // signed residuals, sorted for the intercept search
  double* res;
  double* ystd;
  double* sorted_y;  // location-only case: the sorted data
  double* mcd_sums;
  double* mcd_sums2;
  double* mcd_loc;  // location-only case: the location in element 1
  int* ipiv;
  double* loc;
  double* scale;
  double* theta;
  double* se;
  double* sscp;
  double* work;
  double* subset_system;
  double* coef_list;
  double* group_coef_list;
  double* group_data;
  int* best_index;
  double* best_objective;
  double* best_coef;
};

struct lts_result {
  int status = lts_ok;
  int bad_column = 0;  // lts_zero_scale: the column of x (1-based)
};

// The FAST-LTS search: subset or group stages, merged stage, final stage.
lts_result run_lts(const lts_problem& problem, const lts_arrays& arrays);

// Robust standardization of the columns of x(n, ncol) in place (the column
// jint of ones of an intercept model excepted); returns 0, or the first
// column whose scale is at most eps (later columns are left untouched).
// fork: many cases may be standardized on the call's threads (same result).
// by_value: the medians by a selection that leaves each column as it is (the
// same locations and scales; work and index then hold other contents).
int standardize_columns(double* x, double* loc, double* scale, double* work,
                        bool intercept, int ncol, int n, double eps, double* ones,
                        double* ystd, int jint, int* index, bool fork, bool by_value);

}  // namespace kelvara

extern "C" {

// ---- regression kernels ------------------------------------------------------
/** Gauss-Jordan inversion of the leading n x n block of a, carrying the m
 *  further columns along; stops silently at an exactly zero pivot. */
void rfmatnv_(double* a, const int* mda, const int*, double* w, const int*, const int* n,
              const int* m, int* ipiv);

/** Gaussian elimination for A X = B (A in columns 1..n, B in n+1..n+m);
 *  the solutions end in columns 1..m.  ierr = -1 for a pivot <= 1e-8. */
void rfequat_(double* a, const int* mda, const int*, double* w, const int*, const int* n,
              const int* m, int* ierr);

/** Weighted residual sum of squares of the fit in column k of b, with the
 *  response in column k of x. */
double rfqlsrg_(const int* np, const int* ldx, const int*, const int* ldb, double* xrow,
                const double* x, const double* w, const double* b, const int* k,
                const int*, const int* ncas);

/** Weighted least squares with standard errors and covariance matrix. */
void rflsreg_(const int*, const int* ld, const int* np, const int* ldx, double* theta,
              const double* x, const double* w, double* se, double* sscp, double* q,
              double* work, const int*, int* ipiv, const int*, const int* ncas);

// ---- standardization ---------------------------------------------------------
/** Median of aw(1..n) by selection; aw is partly reordered. */
double rfamdan_(const int*, double* aw, const int* n, int* index);

/** Column-wise robust standardization of x in place; flag = 1 when a column
 *  has zero scale. */
void rfstatis_(double* x, double* loc, double* scale, double* work, const int* intercept,
               const int* ncol, const int*, const int*, const int* n, int* flag,
               const double* eps, double* ones, double* ystd, const int* jint,
               int* index);

// ---- the search --------------------------------------------------------------
/** FAST-LTS (registered as `rfltsreg`, 42 arguments); arguments 11, 12, 21,
 *  34, 36, 39 and 40 are not used by the search (14 is only initialised). */
void rfltsreg_(double* x, int* n, int* p, int* h, int* krep, int* best_index,
               double* best_objective, int* intercept, int* intercept_adjust, int* ncol,
               double* fit_data, void* unused12, double* unit_weights, int* hsubset,
               int* sub_index, int* hidx, double* window, double* rsorted, double* res,
               double* ystd, double* unused21, double* sorted_y, double* mcd_sums,
               double* mcd_sums2, double* mcd_loc, int* ipiv, double* loc, double* scale,
               double* theta, double* se, double* sscp, double* work,
               double* subset_system, double* unused34, double* coef_list,
               double* unused36, double* group_coef_list, double* group_data,
               double* unused39, double* unused40, double* best_coef, int* trace);

/** The same search for the package's own R code (registered .C routine, 16
 *  arguments): data = list(x, y), read in place, with x the design without
 *  its intercept column (n x (p - intercept); no values for the location,
 *  ncol = 1) and y the response.  Scratch space is allocated here, every
 *  group gets at least one start, status(1) is an lts_status and status(2)
 *  the zero-scale column (of cbind(x, 1, y)); location (ncol = 1) receives
 *  the univariate LTS location. */
void kv_ltsreg(void* data, int* n, int* p, int* h, int* krep, int* intercept, int* adjust,
               int* ncol, int* trace, int* status, int* best_index,
               double* best_objective, double* best_coef, double* loc, double* scale,
               double* location);

/** The upper triangular factor r (q x q, q = p + has_y) of the rows
 *  rows(1..m) of cbind(x, y) (x n x p), formed in fixed row blocks on the
 *  call's threads (registered .C routine, 8 arguments). */
void kv_rows_triangle(double* x, int* n, int* p, double* y, int* has_y, int* rows, int* m,
                      double* r);

/** x'x of the n x p matrix x (data = list(x), read in place), with the
 *  cross-products of a column of ones appended when `ones` (registered .C
 *  routine, 5 arguments): out is q x q, q = p + ones, formed by fixed row
 *  blocks on the call's threads. */
void kv_cross_product(void* data, int* n, int* p, int* ones, double* out);

/** fitted = x b (x n x p; data = list(x, y, keep), read in place) and ss,
 *  the sum of the squared residuals y - fitted of the cases with keep
 *  TRUE, as R's %*% and sum() form them (registered .C routine, 6
 *  arguments). */
void kv_lts_kept_fit(void* data, int* n, int* p, double* b, double* fitted, double* ss);

/** The pass over the cases after the search (registered .C routine, 14
 *  arguments; data = list(x, y, best), read in place): with nbest > 0 the
 *  least-squares refit of the rows best(1..nbest) into coef (refit = 1; 2:
 *  rank-deficient, coef kept), then fitted values, criterion, raw scale,
 *  exact-fit flag, kept cases and the triangular factor of the kept rows of
 *  cbind(x, y).  The residuals are y - fitted. */
void kv_lts_case_pass(void* data, int* n, int* p, double* coef, int* nbest, int* h,
                      double* factor, double* fitted, double* crit, double* scale, int* exact,
                      int* ok, double* r, int* refit);
}

#endif

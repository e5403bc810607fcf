// Least trimmed squares regression: the FAST-LTS search and its kernels.
//
// Every routine takes its arguments by reference, counts array positions
// from 1 and stores matrices column by column.  Arguments that are only
// declared dimensions (never read) are unnamed.
#ifndef KELVARA_LTS_H
#define KELVARA_LTS_H

extern "C" {

// ---- regression kernels ------------------------------------------------------
/** xrow(k) = x(i, k) for k = 1..n. */
void rffcn_(const int* n, double* xrow, const double* x, const int* i, const int* ld,
            const int*);

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

/** Coefficients and objective back to the units of the data. */
void rfrtran_(const int* np, const int* intercept, const int* nslope, const int* jy,
              const int*, const double* loc, const double* scale, double* theta,
              const int*, double* q);

/** Covariance matrix and standard errors back to the units of the data. */
void rftrc_(double* h, double* se, const int* ldh, const int*, const int* np,
            const int* intercept, const int* nslope, const int* jy, const double* loc,
            const double* scale);

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
/** FAST-LTS (registered as `rfltsreg`, 42 arguments). */
void rfltsreg_(double* x, int* n, int* p, int* h, int* krep, int* best_index,
               double* best_objective, int* intercept, int* intercept_adjust, int* ncol,
               double* fit_data, void* unused12, double* unit_weights, int* hsubset,
               int* sub_index, int* hidx, double* buf17, double* rsorted, double* res,
               double* ystd, double* zero21, double* zero22, double* mcd_sums,
               double* mcd_sums2, double* mcd_loc, int* ipiv, double* loc, double* scale,
               double* theta, double* se, double* sscp, double* work,
               double* subset_system, double* unused34, double* coef_list,
               double* unused36, double* group_coef_list, double* group_data,
               double* zero39, double* zero40, double* best_coef, int* trace);
}

#endif

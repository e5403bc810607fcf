// L1 (least absolute deviations) regression by the two-stage modified
// simplex method, working in place on the caller's arrays.  Arrays are
// column-major with positions counted from 1 in the comments below, as in
// the minimum covariance determinant and least trimmed squares routines.
#ifndef KELVARA_L1_H
#define KELVARA_L1_H

namespace kelvara {

// L1 status codes (kode).
enum l1_status : int {
  L1_OPTIMAL = 0,         // optimal; possibly not unique, or dependent columns
  L1_OPTIMAL_UNIQUE = 1,  // optimal and unique
  L1_PRECISION_LOST = 2   // stopped early; outputs not meaningful
};

/** The L1 fit of y on the n x np design x (leading dimension mdx).
 *  x is overwritten by the final tableau and y by the absolute residuals
 *  (partially reordered); theta(1..np) receives the coefficients and rs(1..n)
 *  the residuals; nit the number of pivots, k the rank found, kode the status
 *  and sigma the (n/2+1)-th smallest absolute residual divided by bet0.
 *  theta must hold max(n, np) values.  Polls for interrupts once per pivot;
 *  throws std::bad_alloc or kelvara::interrupted only. */
void rllarsbi(double* x, double* y, const int* n, const int* np, const int* mdx,
              const int* mdt, const double* tol, int* nit, int* k, int* kode,
              double* sigma, double* theta, double* rs, double* sc1, double* sc2,
              double* sc3, double* sc4, const double* bet0);

}  // namespace kelvara

extern "C" {
// The registered L1 routine (all arguments by reference); see kelvara::rllarsbi.
void rllarsbi_(double* x, double* y, int* n, int* np, int* mdx, int* mdt, double* tol,
               int* nit, int* k, int* kode, double* sigma, double* theta, double* rs,
               double* sc1, double* sc2, double* sc3, double* sc4, double* bet0);
// Exchanges a and b.
void rlichgbi_(double* a, double* b);
// col(i) = col(i) - pcol(i) * s for i = 1..n, i != ip.
void rlcolbi_(double* col, const double* pcol, const double* s, const int* n,
              const int* ip);
// result = the k-th smallest of a(1..n); a is partially reordered.
void rlstorm2_(double* a, const int* n, const int* k, double* result);
}

#endif

// Small vector helpers shared by the regression estimators: selection,
// medians, MAD, norms, the position of a maximum and trace printing; they
// work in place on caller storage, allocate nothing, check nothing.  Also
// the stage plan, best-list rule and kernels (subset drawing, sorting,
// selection, univariate MCD) that the FAST-MCD and FAST-LTS searches share.
#ifndef KELVARA_UTILITIES_H
#define KELVARA_UTILITIES_H

#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

namespace kelvara {

/** Sort keys of doubles: unsigned integers in the order of the values (-0
 *  just below +0), for radix sorts of finite values; key_value inverts. */
inline std::uint64_t sort_key(double v) {
  std::uint64_t u;
  std::memcpy(&u, &v, sizeof u);
  return (u >> 63) != 0 ? ~u : (u | (std::uint64_t{1} << 63));
}
inline double key_value(std::uint64_t k) {
  const std::uint64_t u = (k >> 63) != 0 ? (k & ~(std::uint64_t{1} << 63)) : ~k;
  double v;
  std::memcpy(&v, &u, sizeof v);
  return v;
}

// k-th smallest of a[0..n-1] (k counted from 1); reorders a.
double kthplace(double* a, int n, int k);
// Median of x (n >= 1), using aux[0..n-1] as work; x is not changed.
double median(const double* x, int n, double* aux);
// Median of |x[i]|.
double median_abs(const double* x, int n, double* aux);
// 1.4826 * median |x[i] - center|; t[i] = x[i] - center on return.
double MAD(const double* x, int n, double center, double* t, double* aux);

double norm(const double* x, int n);   // dnrm2
double norm2(const double* x, int n);  // dnrm2 squared
double norm1(const double* x, int n);  // dasum
double norm_diff(const double* x, const double* y, int n);
double norm_diff2(const double* x, const double* y, int n);
double norm1_diff(const double* x, const double* y, int n);

// 0-based index of the first largest element (0 for n <= 1).
int find_max(const double* a, int n);

// R's mean() of v[0..m): the long-double sum divided by m, corrected by the
// long-double sum of the deviations from it when it is finite.
double r_mean(const double* v, long m);
// f[0..i1-i0) = rows i0..i1-1 of x beta (x n x p) as R's x %*% beta forms
// them (BLAS dgemv): from 0, beta[j] x[i, j] added column by column.
void fitted_block(const double* x, int n, int p, const double* beta, int i0, int i1,
                  double* f);
// Bounds lo <= hi from an evenly spaced sample of d[0..nn) around the rank
// k (1-based) of the k-th smallest value, which they bracket unless the
// sample misleads; false when the sample holds a NaN.
bool sample_bracket(const double* d, long nn, long k, double& lo, double& hi);
// The k-th smallest (1-based) of v[0..m), which holds no NaN, and, when next
// is given and k < m, the (k+1)-th in *next.  These are values: whatever
// way they are selected, they are the same numbers.  A long v is bracketed
// by a sample; the values within the bracket are copied to `work` (one
// pass, no reordering of v) and selected among; when the bracket misses,
// work receives a copy of v and the selection runs on all of it.
double select_kth(const double* v, long m, long k, std::vector<double>& work,
                  double* next = nullptr);
// R's median() of v[0..m) (m >= 1, no NaN; v is left as it is): the middle
// order statistic, or r_mean() of the two middle ones.  work is scratch.
double r_median(const double* v, long m, std::vector<double>& work);

// Selection of the k smallest of many values in passes over blocks on the
// call's threads (a sample brackets the k-th smallest; the values inside the
// bracket are selected among).  Each call returns false when the bracket
// misses or the values hold a NaN, and the caller selects otherwise.  The
// bracketed values are kept: another rank inside the bracket is then
// selected from them without a pass over the data.
struct long_selection {
  // Block b's bracketed values from its start (not zero-filled: each pass
  // writes what it reads).
  std::unique_ptr<double[]> scratch;
  long scratch_len = 0;
  std::vector<long> below_n, inside_n;  // per block: values below and inside
  std::vector<double> inside;           // all bracketed values (reordered by selections)
  long below = 0;                       // values below the bracket
  bool valid = false;

  // The k-th smallest (1-based) of d[0..nn) into kth.
  bool bracket(const double* d, long nn, long k, double& kth);
  // The k-th smallest of the values bracketed last, when inside the bracket.
  bool rank(long k, double& kth);
  // The case numbers (1-based, increasing) of the k smallest of d[0..nn)
  // into index, and the k-th smallest value; also false on a tie at that
  // value, where the set depends on how the ties are broken (otherwise
  // every selection takes this set).
  bool smallest(const double* d, long nn, long k, int* index, double& kth);
};

// Trace printing of a vector on one line.
void disp_vec(const double* a, int n);
void disp_veci(const int* a, int n);

// ---- the plan of the subsampling searches (FAST-MCD, FAST-LTS) -----------
// A large sample is searched first in up to five random groups, then in
// their union (the merged set), then in full; every list of candidates
// keeps the ten best.
constexpr int best_list_len = 10;
constexpr int max_groups = 5;
constexpr int group_list_len = best_list_len * max_groups;  // all groups' lists

struct group_plan {
  bool partitioned = false;  // false: one stage on all cases
  int ngroup = 0;
  int sizes[max_groups] = {0, 0, 0, 0, 0};
  int merged_size = 0;  // cases drawn into all groups
  int largest = 0;      // size of the largest group
};

// Groups of about `group_size` cases, formed when there are random starts
// (krep > 0) and at least two groups' worth of cases: n split evenly into
// two, three or four groups (groups 2, 3, ... take the remainder) while n
// is below five groups' worth, else five groups of group_size.
group_plan plan_groups(int n, int group_size, int krep);

// C-steps allowed in the final stage: the cap falls with the work n * p of
// one step, from 100 (up to 1e5) and 10 (up to 2e5) by one per further 1e5
// down to 1 above 1e6.
int final_csteps(std::int64_t np);

// Slot (0-based) at which a candidate of objective `obj` enters a best list
// whose objectives keys[0..best_list_len-1] increase, the scan starting at
// slot `first`; -1 when it does not enter: every slot is better, or each
// slot of the same objective already holds this candidate (`same(slot)`).
template <class Same>
int best_list_slot(const double* keys, int first, double obj, Same same) {
  int j = first;
  while (j < best_list_len && keys[j] < obj) ++j;
  if (j == best_list_len) return -1;
  if (keys[j] == obj) {
    bool all_same = true;
    for (int e = j; e < best_list_len && all_same; ++e)
      if (keys[e] == obj && !same(e)) all_same = false;
    if (all_same) return -1;
  }
  return j;
}

}  // namespace kelvara

// Kernels shared by the FAST-MCD and FAST-LTS searches.  Conventions: every
// argument is passed by reference, integers are 32-bit, arrays count from 1
// in the descriptions and are stored column by column, nothing is allocated.
extern "C" {

// ---- random subsets and combinatorics ----------------------------------
// Random draws come from host::unif_rand() only; the callers bracket them
// with a host::rng_scope.

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

// ---- threads --------------------------------------------------------------

/** used = the threads a call of the module would use now (the option
 *  kelvara.threads, or the default); openmp = 1 when built with OpenMP. */
void kv_threads(int* used, int* openmp);

// ---- units of the R layer -------------------------------------------------

/** The robust locations and spreads by which the R layer standardises a
 *  design and response (registered .C routine, 9 arguments; see
 *  utilities.cpp): of the columns of x but column `skip` and of y, on the
 *  sample rows `rows`, from data = list(x, y, rows) read in place. */
void kv_sample_spreads(const void* data, const int* n, const int* p, const int* m,
                       const int* has_y, const int* skip, double* loc, double* spread,
                       int* status);

/** finite = whether every value of the double vector v (data = list(v), of
 *  len values, read in place) is finite (registered .C routine, 3 arguments). */
void kv_all_finite(void* data, double* len, int* finite);

}  // extern "C"

#endif

// Small vector helpers shared by the regression estimators: selection,
// medians, MAD, norms, the position of a maximum and trace printing.
// They work in place on caller storage, allocate nothing, check nothing.
#ifndef KELVARA_UTILITIES_H
#define KELVARA_UTILITIES_H

namespace kelvara {

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

// Row-pointer matrices (n pointers to rows of p values).
void zero_mat(double** a, int n, int p);
void disp_mat(double** a, int n, int p);
void disp_vec(const double* a, int n);
void disp_veci(const int* a, int n);

}  // namespace kelvara

#endif

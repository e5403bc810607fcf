// Stand-alone checks of the shared MCD kernels on the worked cases of their
// descriptions and on brute-force references.  Exit status 1 on a failure.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

#include "../../src/host.h"
#include "check.h"
#include "../../src/mcd.h"


int main() {
  // combinatorics
  int k = 3, n = 10;
  CHECK(rfncomb_(&k, &n) == 120);
  k = 0;
  CHECK(rfncomb_(&k, &n) == 1);
  k = 10, n = 1000;
  CHECK(rfncomb_(&k, &n) == 2147483647);
  for (int kk = 1; kk <= 8; ++kk) {
    static const int want[8] = {500, 50, 22, 17, 15, 14, 0, 0};
    CHECK(replow_(&kk) == want[kk - 1]);
  }
  n = -3;
  CHECK(rfodd_(&n));
  n = 0;
  CHECK(!rfodd_(&n));
  n = 7;
  CHECK(rfodd_(&n));

  // next combination: (1,1) -> (1,2) ... (3,4)
  {
    int idx[2] = {1, 1}, nn = 4, ns = 2;
    const int want[6][2] = {{1, 2}, {1, 3}, {1, 4}, {2, 3}, {2, 4}, {3, 4}};
    for (int s = 0; s < 6; ++s) {
      rfgenpn_(&nn, &ns, idx);
      CHECK(idx[0] == want[s][0] && idx[1] == want[s][1]);
    }
    // every 3-subset of 7 exactly once, in lexicographic order
    int id3[3] = {1, 2, 2}, n7 = 7, three = 3, count = 0, prev = -1;
    for (int s = 0; s < rfncomb_(&three, &n7); ++s) {
      rfgenpn_(&n7, &three, id3);
      CHECK(id3[0] < id3[1] && id3[1] < id3[2] && id3[2] <= 7);
      const int code = id3[0] * 100 + id3[1] * 10 + id3[2];
      CHECK(code > prev);
      prev = code;
      ++count;
    }
    CHECK(count == 35);
  }

  // random draws
  {
    int nn = 6, ns = 6, idx[6];
    rfrangen_(&nn, &ns, idx);
    std::vector<int> s(idx, idx + 6);
    std::sort(s.begin(), s.end());
    for (int i = 0; i < 6; ++i) CHECK(s[i] == i + 1);
    ns = 7;
    bool threw = false;
    try {
      rfrangen_(&nn, &ns, idx);
    } catch (const kelvara::failure&) {
      threw = true;
    }
    CHECK(threw);

    int a[2 * 5], n5 = 5, ntot = 5, mini[2] = {3, 2}, ng = 2, km = 5;
    rfrdraw_(a, &n5, &ntot, mini, &ng, &km);
    int ones = 0;
    for (int i = 0; i < 5; ++i) {
      CHECK(a[2 * i] == i + 1);
      ones += a[2 * i + 1] == 1;
    }
    CHECK(ones == 3);

    // grouped draw on a larger set: distinct, sorted, group sizes kept
    std::vector<int> big(2 * 60);
    int n100 = 100, nt = 60, mg[3] = {20, 25, 15}, g3 = 3;
    rfrdraw_(big.data(), &n100, &nt, mg, &g3, &km);
    int cnt[4] = {0, 0, 0, 0};
    for (int i = 0; i < 60; ++i) {
      if (i) CHECK(big[2 * i] > big[2 * i - 2]);
      CHECK(big[2 * i] >= 1 && big[2 * i] <= 100);
      ++cnt[big[2 * i + 1]];
    }
    CHECK(cnt[1] == 20 && cnt[2] == 25 && cnt[3] == 15);

    // prdraw_ fills a set completely, one new case at a time
    std::vector<int> pr(9);
    int n9 = 9;
    for (int m = 0; m < 9; ++m) prdraw_(pr.data(), &m, &n9);
    for (int i = 0; i < 9; ++i) CHECK(pr[i] == i + 1);
  }

  // sorting and selection
  {
    double a[4] = {3, 1, 2, 1};
    int four = 4;
    rfshsort_(a, &four);
    CHECK(a[0] == 1 && a[1] == 1 && a[2] == 2 && a[3] == 3);
    int ia[4] = {3, 1, 2, 1};
    rfishsort_(ia, &four);
    CHECK(ia[0] == 1 && ia[1] == 1 && ia[2] == 2 && ia[3] == 3);
    double w[5] = {5, 1, 4, 2, 3};
    int idx[5], five = 5, two = 2;
    const double q = rffindq_(w, &five, &two, idx);
    CHECK(q == 2);
    for (int j = 0; j < 5; ++j)
      if (w[j] == 2) CHECK(idx[j] == 4);
    double one[1] = {7};
    int i1[1] = {0}, n1 = 1, k1 = 1;
    CHECK(rffindq_(one, &n1, &k1, i1) == 7 && i1[0] == 1);
    double t[3] = {2, 2, 2};
    int it[3], n3 = 3;
    CHECK(rffindq_(t, &n3, &two, it) == 2);
    // selection against sorting, with the index permutation consistent
    for (int rep = 0; rep < 200; ++rep) {
      int m = 1 + rep % 37;
      std::vector<double> v(m), orig(m), s(m);
      for (int i = 0; i < m; ++i)
        orig[i] = v[i] = std::floor(kelvara::host::unif_rand() * 10);
      s = v;
      std::sort(s.begin(), s.end());
      std::vector<int> ix(m);
      int kk = 1 + rep % m;
      const double got = rffindq_(v.data(), &m, &kk, ix.data());
      CHECK(got == s[kk - 1]);
      for (int i = 0; i < m; ++i) CHECK(v[i] == orig[ix[i] - 1]);
      for (int i = 0; i < kk - 1; ++i) CHECK(v[i] <= got);
      for (int i = kk; i < m; ++i) CHECK(v[i] >= got);
    }
  }

  // univariate MCD
  {
    double w[6] = {1, 2, 3, 10, 11, 12}, sl[4], aw[4], aw2[4], bstd, f = 1;
    int n6 = 6, h = 3, len = 0;
    rfmcduni_(w, &n6, &h, sl, &bstd, aw, aw2, &f, &len);
    CHECK(near(sl[0], 2) && near(bstd, std::sqrt(2.0 / 3)) && len == 1);
    double z[4] = {0, 0, 0, 5};
    int n4 = 4;
    rfmcduni_(z, &n4, &h, sl, &bstd, aw, aw2, &f, &len);
    CHECK(sl[0] == 0 && bstd == 0 && len == 1);
    // h = n: mean and sd with divisor n
    double u[4] = {1, 2, 4, 7};
    rfmcduni_(u, &n4, &n4, sl, &bstd, aw, aw2, &f, &len);
    CHECK(near(sl[0], 3.5) && near(bstd, std::sqrt((6.25 + 2.25 + 0.25 + 12.25) / 4)) &&
          len == 1);
  }
  {
    // three tied windows: the middle one gives the location
    double t3[9] = {0, 1, 2, 10, 11, 12, 20, 21, 22}, sl[7], aw[7], aw2[7], bstd, f = 2;
    int n9 = 9, h = 3, len = 0;
    rfmcduni_(t3, &n9, &h, sl, &bstd, aw, aw2, &f, &len);
    CHECK(near(sl[0], 11) && near(bstd, 2 * std::sqrt(2.0 / 3)) && len == 1);
  }

  // windows of one value: the spread is 0, never NaN from a rounded-down sum
  {
    double v[5] = {1e8 + 0.1, 3.3, -7.77e7, 0.123456789, 1e8}, sl[5], aw[5], aw2[5], bstd;
    double f = 1;
    int n5 = 5, one = 1, len = 0;
    rfmcduni_(v, &n5, &one, sl, &bstd, aw, aw2, &f, &len);
    CHECK(bstd == 0);
  }

  // univariate MCD against the window search written out plainly: every
  // window summed afresh in order, the running sum of squares, the tie list.
  // Outputs must agree to the bit (sizes cover partial batches of windows).
  {
    unsigned state = 12345u;
    const auto next = [&state]() {
      state = state * 1103515245u + 12345u;
      return static_cast<double>((state >> 8) % 100000u) / 977.0 - 40.0;
    };
    for (int ncas = 1; ncas <= 60; ncas += 1) {
      for (int hh : {1, 2, 3, ncas / 2 + 1, ncas - 7, ncas - 1, ncas}) {
        if (hh < 1 || hh > ncas) continue;
        std::vector<double> w(ncas);
        for (double& v : w) v = (ncas % 3 == 0) ? std::round(next()) : next();  // ties too
        std::sort(w.begin(), w.end());
        const int m = ncas - hh + 1;
        std::vector<double> sl(m), aw(m), aw2(m), rsl(m, 0.0), raw(m), raw2(m);
        double bstd, f = 1.5;
        int len = 0;
        rfmcduni_(w.data(), &ncas, &hh, sl.data(), &bstd, aw.data(), aw2.data(), &f, &len);
        double sq = 0, sqmin = 0;
        int ndup = 1, rlen = 1;
        for (int j = 0; j < m; ++j) {
          double sum = 0;
          for (int i = 0; i < hh; ++i) sum += w[j + i];
          if (j == 0)
            for (int i = 0; i < hh; ++i) sq += w[i] * w[i];
          raw[j] = sum;
          raw2[j] = sum * sum / hh;
          if (j == 0) {
            sq -= raw2[0];
            sqmin = sq;
            rsl[0] = sum;
          } else {
            sq = ((w[j + hh - 1] * w[j + hh - 1] + (sq - w[j - 1] * w[j - 1])) - raw2[j]) +
                 raw2[j - 1];
            if (sq < sqmin) {
              ndup = 1;
              sqmin = sq;
              rsl[0] = sum;
              rlen = j + 1;
            } else if (sq == sqmin) {
              rsl[++ndup - 1] = sum;
            }
          }
        }
        const double loc = rsl[(ndup + 1) / 2 - 1] / hh;
        // a sum of squares rounded below zero is a spread of 0
        const double rstd = f * std::sqrt(std::max(sqmin, 0.0) / hh);
        bool same = len == rlen && sl[0] == loc && std::memcmp(&bstd, &rstd, sizeof bstd) == 0;
        for (int j = 0; j < m; ++j) same = same && aw[j] == raw[j] && aw2[j] == raw2[j];
        CHECK(same);
      }
    }
  }

  // cross products, moments, sweep
  {
    double sscp[9], cov[4], mean[2], sd[2];
    int p = 2, p1 = 3, m = 2;
    rfcovinit_(sscp, &p1, &p1);
    double r1[2] = {1, 2}, r2[2] = {3, 6};
    rfadmit_(r1, &p, &p1, sscp);
    rfadmit_(r2, &p, &p1, sscp);
    rfcovar_(&m, &p, &p1, sscp, cov, mean, sd);
    CHECK(mean[0] == 2 && mean[1] == 4);
    CHECK(cov[0] == 2 && cov[1] == 4 && cov[2] == 4 && cov[3] == 8);
    CHECK(near(sd[0], std::sqrt(2.0)) && near(sd[1], std::sqrt(8.0)));
    double a[4] = {4, 2, 2, 3};
    int k1 = 1, k2 = 2;
    rfcovsweep_(a, &p, &k1);
    rfcovsweep_(a, &p, &k2);
    CHECK(near(a[0], 0.375) && near(a[1], -0.25) && near(a[2], -0.25) && near(a[3], 0.5));
    double c[4] = {4, 2, 2, 9}, b[4], s[2];
    rfcorrel_(&p, c, b, s);
    CHECK(b[0] == 1 && b[3] == 1 && near(b[1], 2.0 / 6) && near(s[0], 0.5) &&
          near(s[1], 1.0 / 3));
    double inv[4] = {0.375, -0.25, -0.25, 0.5}, rec[2] = {1, 1}, ctr[2] = {0, 0};
    CHECK(near(rfmahad_(rec, &p, ctr, inv), 0.375 - 0.5 + 0.5));
    // constant variable: sd exactly 0, never NaN
    rfcovinit_(sscp, &p1, &p1);
    double q1[2] = {0.1, 1}, q2[2] = {0.1, 2}, q3[2] = {0.1, 4};
    rfadmit_(q1, &p, &p1, sscp);
    rfadmit_(q2, &p, &p1, sscp);
    rfadmit_(q3, &p, &p1, sscp);
    m = 3;
    rfcovar_(&m, &p, &p1, sscp, cov, mean, sd);
    CHECK(sd[0] == 0 && !std::isnan(sd[0]));
  }

  // distances, back transform, exact fit, list pushes
  {
    double da[6] = {1, 2, 3, 3, 5, 8};  // rows (1,3), (2,5), (3,8)
    double z[2] = {2, -1}, mean[2] = {0, -1}, d[3];
    int nm = 3, nv = 2, nn = 3, p = 2;
    rfdis_(da, z, d, &nm, &nv, &nn, &p, mean);
    CHECK(d[0] == 2 && d[1] == 2 && d[2] == 3);
    double cov[4] = {1, 0.5, 0.5, 2}, ctr[2] = {1, 2}, dat[6] = {1, 2, 3, 4, 5, 6};
    double med[2] = {10, 20}, mad[2] = {2, 3};
    transfo_(cov, ctr, dat, med, mad, &p, &nn);
    CHECK(ctr[0] == 12 && ctr[1] == 26 && cov[0] == 4 && cov[1] == 3 && cov[2] == 3 &&
          cov[3] == 18 && dat[0] == 12 && dat[5] == 38);
    // cases (i, 2i + 1) plus one off the line
    double pts[8] = {1, 2, 3, 4, 3, 5, 7, 0};
    double proj[4], sscp[9], rec[2], c2[4], m2[2], sd[2];
    int n4 = 4, p1 = 3, count = -1, flags[4];
    double zz[2] = {2 / std::sqrt(5.0), -1 / std::sqrt(5.0)}, mc[2] = {0, 1};
    rfdis_(pts, zz, proj, &n4, &nv, &n4, &p, mc);
    rfexact_(&count, &n4, proj, &p1, &p, sscp, rec, pts, c2, m2, sd, &n4, flags);
    CHECK(count == 3 && flags[0] == 1 && flags[1] == 1 && flags[2] == 1 && flags[3] == 0);
    CHECK(near(m2[0], 2) && near(m2[1], 5) && near(c2[0], 1) && near(c2[1], 2) &&
          near(c2[3], 4));

    std::vector<double> covs(10 * 4, 1e6), centers(10 * 2, 1e6), keys(10 * 2 * 5, 1e26);
    int d1 = 0;
    for (int i = 1; i <= 11; ++i) {
      double cv[4] = {double(i), 0.5, 0.25, 2.0 * i}, mn[2] = {double(i), -double(i)};
      rfstore2_(&p, covs.data(), centers.data(), &d1, &d1, &d1, cv, mn, &i, keys.data(),
                &i);
    }
    // entry 1 holds the last push, entry 10 the 2nd; the first push was dropped
    CHECK(centers[0] == 11 && centers[10] == -11 && keys[0] == 11 && keys[10] == 11);
    CHECK(centers[9] == 2 && keys[9] == 2 && covs[9 + 3 * 10] == 4);
    // element (r, c) at column (r - 1) p + c: (1,2) -> column 2, (2,1) -> column 3
    CHECK(covs[0 + 1 * 10] == 0.25 && covs[0 + 2 * 10] == 0.5);
    std::vector<double> gcovs(50 * 4, 1e6), gcent(50 * 2, 1e6);
    int rows = 50, g = 3, tr = 7, cnt = 42;
    double cv[4] = {1, 2, 3, 4}, mn[2] = {5, 6};
    rfstore1_(&p, gcovs.data(), gcent.data(), &d1, &d1, &d1, cv, mn, &tr, &rows, &g,
              keys.data(), &cnt);
    CHECK(gcent[20] == 5 && gcent[20 + 50] == 6 && keys[40] == 7 && keys[50] == 42);
    CHECK(gcent[19] == 1e6 && gcent[21] == 1e6);
  }

  // eigen-decomposition: A v = lambda v, ascending, unit columns
  {
    double a[9] = {4, 1, 0.5, 1, 3, 0.2, 0.5, 0.2, 1}, w[3], z[9], f1[3], f2[3];
    int n3 = 3, one = 1, ierr = -1;
    rs_(&n3, &n3, a, w, &one, z, f1, f2, &ierr);
    CHECK(ierr == 0 && w[0] <= w[1] && w[1] <= w[2]);
    for (int c = 0; c < 3; ++c) {
      double nrm = 0;
      for (int i = 0; i < 3; ++i) {
        double av = 0;
        for (int j = 0; j < 3; ++j) av += a[i + 3 * j] * z[j + 3 * c];
        CHECK(near(av, w[c] * z[i + 3 * c], 1e-12));
        nrm += z[i + 3 * c] * z[i + 3 * c];
      }
      CHECK(near(nrm, 1, 1e-12));
    }
    CHECK(a[1] == 1 && a[3] == 1);  // input unchanged
    double dg[4] = {2, 0, 0, 0}, w2[2], z2[4];
    int n2 = 2;
    rs_(&n2, &n2, dg, w2, &one, z2, f1, f2, &ierr);
    CHECK(w2[0] == 0 && w2[1] == 2 && z2[0] == 0 && z2[1] == 1);
  }

  // out-of-range orders and coverages are refused, not read past the arrays
  {
    double v[3] = {1, 2, 3}, sl[3], aw[3], aw2[3], bstd, f = 1;
    int ix[3], n3 = 3, k0 = 0, k4 = 4, len;
    int refused = 0;
    try {
      rffindq_(v, &n3, &k0, ix);
    } catch (const kelvara::failure&) {
      ++refused;
    }
    try {
      rffindq_(v, &n3, &k4, ix);
    } catch (const kelvara::failure&) {
      ++refused;
    }
    try {
      rfmcduni_(v, &n3, &k4, sl, &bstd, aw, aw2, &f, &len);
    } catch (const kelvara::failure&) {
      ++refused;
    }
    CHECK(refused == 3);
    int idx[1] = {5}, zero = 0;
    rfgenpn_(&n3, &zero, idx);
    CHECK(idx[0] == 5);
  }

  std::printf("%s: %d failure(s)\n", failures ? "FAILED" : "ok", failures);
  return failures ? 1 : 0;
}

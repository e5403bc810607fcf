## The starts of the MCD search's groups are drawn a batch ahead of their
## evaluation; where the search stops inside a batch, the random stream must
## stand where the one-start-at-a-time order leaves it.

test_that("mcd: a search that meets an exact fit in a group takes back the draws made ahead", {
  set.seed(3)
  x <- matrix(stats::rnorm(1500 * 6), ncol = 6)
  k <- 900L  # 60% of the cases on a hyperplane, the others spread 100 times wider
  x[1:k, 6] <- x[1:k, 1:5] %*% 1:5
  x[-(1:k), ] <- x[-(1:k), ] * 100
  for (th in c(1, 2, 16)) {
    set.seed(1)
    f <- mcd(x, threads = th)
    s <- .Random.seed
    expect_identical(f$exact_fit, kelvara:::.mcd_codes[["exact_fit"]])
    expect_identical(f$n_on_plane, k)
    # The C-steps from the first start of the first group reach the plane:
    # the stream has moved by the partition's 1500 draws (5 groups of 300)
    # and the 7 of that start, and by nothing drawn for later starts.
    set.seed(1)
    stats::runif(1507)
    expect_identical(s, .Random.seed, label = paste(th, "threads"))
  }
})

test_that("the prescaling's sample rows are the rounded evenly spaced rows", {
  for (n in c(10, 50000, 50001, 99999, 1e5 + 1, 2^17 + 3, 1e6))
    expect_identical(kelvara:::.mcd_prescale_rows(n),
                     as.integer(unique(round(seq(1, n, length.out = min(n, 50000))))),
                     label = n)
})

test_that("only registered routines are reachable, with their declared arity", {
  info <- getDLLRegisteredRoutines("kelvara")
  # Unregistered module symbols cannot be looked up from R.
  expect_false(is.loaded("find_scale", PACKAGE = "kelvara"))
  expect_false(is.loaded("unifrnd_", PACKAGE = "kelvara"))
  expect_error(.C("rwls", PACKAGE = "kelvara"))
  expect_true(all(vapply(info$.C, function(r) r$numParameters, 1L) > 0L))
})

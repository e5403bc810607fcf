library(testthat)
library(kelvara)
test_check("kelvara")

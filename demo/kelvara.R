## The main job of kelvara on data that ship with R.
library(kelvara)

## ---- The six psi families ----------------------------------------------
## chi (rho normalised to at most 1), psi, psi' and the weight psi(x)/x of
## each family at a few residuals.
psi_families <- list(
  bisquare    = 4.685061,
  gaussweight = 2.11,
  optimal     = 1.060158,
  hampel      = c(1.5, 3.5, 8) * 0.9016085,
  ggw         = 1,                        # built-in case 1
  lqq         = c(1.4735, 0.9823, 1.5))   # (b, c, s)
x <- c(0, 0.5, 1, 2, 3, 4, 6, 10)
for (fam in names(psi_families)) {
  cc <- psi_families[[fam]]
  cat("\n", fam, " (cc = ", paste(format(cc, digits = 6), collapse = ", "), ")\n",
      sep = "")
  tab <- rbind(chi = chi_func(x, fam, cc),
               psi = psi_func(x, fam, cc),
               "psi'" = psi_func(x, fam, cc, deriv = 1),
               weight = wgt_func(x, fam, cc))
  colnames(tab) <- paste0("x=", x)
  print(round(tab, 5))
}

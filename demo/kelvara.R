## The main job of kelvara on data that ship with R.
library(kelvara)

## Figures go to a folder of the working directory that git ignores.
out_dir <- file.path(getwd(), "demo-output")
dir.create(out_dir, showWarnings = FALSE)

table_of <- function(...) print(round(cbind(...), 4))

## 1. Stack loss: robust MM against least squares.
ls_fit <- lm(stack.loss ~ ., data = stackloss)
mm_fit <- lmrob(stack.loss ~ ., data = stackloss, seed = 1)
cat("\n== stackloss: coefficients (standard errors)\n")
table_of(LS = coef(ls_fit), `LS se` = sqrt(diag(vcov(ls_fit))),
         MM = coef(mm_fit), `MM se` = sqrt(diag(vcov(mm_fit))))
cat(sprintf("scale: LS %.3f, MM %.3f;  R^2: LS %.3f, robust %.3f\n",
            summary(ls_fit)$sigma, mm_fit$scale, summary(ls_fit)$r.squared,
            mm_fit$r.squared))
cat("downweighted observations (weight < 0.1):",
    summary(mm_fit)$downweighted, "\n")
cat("robustness weights:\n")
print(round(weights(mm_fit), 2))

## 2. Factors and a covariate: CO2 uptake of grasses, MM from the M-S start.
co2_form <- uptake ~ Type * Treatment + log(conc)
co2_ls <- lm(co2_form, data = CO2)
co2_mm <- lmrob(co2_form, data = CO2, init = "M-S", seed = 1)
cat("\n== CO2 (Type * Treatment + log(conc)): LS and MM with M-S start\n")
table_of(LS = coef(co2_ls), `LS se` = sqrt(diag(vcov(co2_ls))),
         MM = coef(co2_mm), `MM se` = sqrt(diag(vcov(co2_mm))))
cat("downweighted (weight < 0.1):", summary(co2_mm)$downweighted, "\n")

## 3. Outliers among the regressors: MCD of the stack loss inputs.
x <- stackloss[, c("Air.Flow", "Water.Temp", "Acid.Conc.")]
m <- mcd(x, seed = 1)
cat("\n== MCD of the stackloss regressors: center and robust distances\n")
table_of(classical = colMeans(x), MCD = m$center)
rd <- sqrt(m$mah)
cat(sprintf("cases beyond sqrt(qchisq(0.975, 3)) = %.2f: %s\n",
            sqrt(qchisq(0.975, 3)), paste(which(rd > sqrt(qchisq(0.975, 3))), collapse = " ")))

## 4. Least trimmed squares on the same regression.
l <- lts(stack.loss ~ ., data = stackloss, seed = 1)
cat("\n== LTS on stackloss\n")
table_of(LTS = coef(l), `LTS reweighted` = coef(l, "reweighted"), MM = coef(mm_fit))
cat("LTS outliers (|r / scale| > 2.5):", which(l$outlier), "\n")

## 5. Univariate statistics on a skewed sample.
set.seed(20261206)
z <- rlnorm(200)
cat("\n== Skewed sample (lognormal, n = 200)\n")
print(round(c(mean = mean(z), median = median(z), sd = sd(z), mad = mad(z),
              Qn = qn(z), Sn = sn(z), medcouple = medcouple(z)), 4))
cat("the same with 10 gross outliers added:\n")
zo <- c(z, rep(1000, 10))
print(round(c(mean = mean(zo), median = median(zo), sd = sd(zo), mad = mad(zo),
              Qn = qn(zo), Sn = sn(zo), medcouple = medcouple(zo)), 4))

## 6. The six psi families at 95% efficiency: chi (rho normalised to at
## most 1), psi, psi' and the weight psi(x)/x at a few residuals.
x6 <- c(0, 0.5, 1, 2, 3, 4, 6, 10)
for (fam in c("bisquare", "gaussweight", "optimal", "hampel", "ggw", "lqq")) {
  cc <- psi_tuning(fam, efficiency = 0.95)
  cat("\n", fam, " (cc = ", paste(format(as.vector(cc), digits = 6), collapse = ", "), ")\n",
      sep = "")
  tab <- rbind(chi = chi_func(x6, fam, cc),
               psi = psi_func(x6, fam, cc),
               "psi'" = psi_func(x6, fam, cc, deriv = 1),
               weight = wgt_func(x6, fam, cc))
  colnames(tab) <- paste0("x=", x6)
  print(round(tab, 5))
}

## Figure: the lmrob diagnostics and the MCD distance-distance plot.
png_file <- file.path(out_dir, "kelvara-demo.png")
grDevices::png(png_file, width = 1500, height = 1000, res = 110)
op <- graphics::par(mfrow = c(2, 3))
plot(mm_fit)
plot(m, which = c("dd", "index"))
graphics::par(op)
grDevices::dev.off()
cat("\nFigure written to", png_file, "\n")

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

## 2. A factor: warp breaks by wool and tension, MM from the M-S start.
wb_ls <- lm(breaks ~ wool * tension, data = warpbreaks)
wb_mm <- lmrob(breaks ~ wool * tension, data = warpbreaks, init = "M-S", seed = 1)
cat("\n== warpbreaks (wool * tension): LS and MM with M-S start\n")
table_of(LS = coef(wb_ls), MM = coef(wb_mm),
         `MM se` = sqrt(diag(vcov(wb_mm))))
cat("downweighted:", summary(wb_mm)$downweighted, "\n")

## 3. Outliers among the regressors: MCD of the stack loss inputs.
x <- stackloss[, c("Air.Flow", "Water.Temp", "Acid.Conc.")]
m <- mcd(x, seed = 1)
cat("\n== MCD of the stackloss regressors: center and robust distances\n")
table_of(classical = colMeans(x), MCD = m$center)
rd <- sqrt(m$mah)
cat(sprintf("cases beyond sqrt(qchisq(0.975, 3)) = %.2f: %s\n",
            sqrt(qchisq(0.975, 3)), paste(which(rd > sqrt(qchisq(0.975, 3))), collapse = " ")))

## 4. Least trimmed squares on the same regression.
l <- lts(stack.loss ~ ., stackloss)
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

## Figure: the lmrob diagnostics and the MCD distance-distance plot.
png_file <- file.path(out_dir, "kelvara-demo.png")
grDevices::png(png_file, width = 1500, height = 1000, res = 110)
op <- graphics::par(mfrow = c(2, 3))
plot(mm_fit)
plot(m, which = c("dd", "index"), data = x)
graphics::par(op)
grDevices::dev.off()
cat("\nFigure written to", png_file, "\n")

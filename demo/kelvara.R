## The main job of kelvara on data that ship with R.
library(kelvara)

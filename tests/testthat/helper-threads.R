# Calls with several threads really use them here: a call whose threads
# start late (another program holds the cores) would otherwise go on one
# thread, and the comparisons of thread counts would compare one thread
# with itself.  (test-threads.R sets its own value where it tests that.)
options(kelvara.late_start = 1e9)

// Stand-in for the R host layer so that the shared kernels can be exercised
// without R: a fixed linear congruential uniform stream, printing to stdout,
// failures thrown as usual.
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "../../src/host.h"

namespace kelvara {
namespace host {
void fail(const char* fmt, ...) {
  char buf[1024];
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  throw failure(buf);
}
void warn(const char*, ...) {}
void check_interrupt() {}
void print(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  std::vprintf(fmt, ap);
  va_end(ap);
}
void intpr(const char* label, const int* d, int n) {
  std::printf("%s", label);
  for (int i = 0; i < n; ++i) std::printf(" %d", d[i]);
  std::printf("\n");
}
void dblepr(const char* label, const double* d, int n) {
  std::printf("%s", label);
  for (int i = 0; i < n; ++i) std::printf(" %.17g", d[i]);
  std::printf("\n");
}
static unsigned long long state = 12345;
double unif_rand() {
  state = state * 6364136223846793005ULL + 1442695040888963407ULL;
  return static_cast<double>(state >> 11) * (1.0 / 9007199254740992.0);
}
double norm_rand() { return 0.0; }
void rng_begin() {}
void rng_end() {}
int rng_save(int* st) {
  std::memcpy(st, &state, sizeof state);
  return static_cast<int>(sizeof state / sizeof(int));
}
void rng_restore(const int* st, int) { std::memcpy(&state, st, sizeof state); }
void* transient(std::size_t, std::size_t) { return nullptr; }
int threads() { return 1; }
bool openmp() { return false; }
namespace detail {
int parallel_width(int) { return 1; }
void begin_call(call_state*&) {}
void end_call(call_state*, outcome how, const char* msg) {
  if (how != outcome::ok) std::printf("error: %s\n", msg);
}
}  // namespace detail
}  // namespace host
}  // namespace kelvara

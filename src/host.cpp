// R glue for the whole module; see host.h for the control-flow rules.
#include "host.h"

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <thread>
#if defined(_OPENMP)
#include <omp.h>
#endif
#include <cstdlib>

#include <R.h>
#include <Rinternals.h>
#include <R_ext/GraphicsEngine.h>  // R_interrupts_pending, R_interrupts_suspended

// Labelled printing routines of R, callable by reference.  They are Fortran
// routines: the label's length follows as a hidden argument, and a negative
// nchar makes them take the label length from it.
extern "C" {
int intpr_(const char* label, int* nchar, const int* data, int* ndata, std::size_t label_len);
int dblepr_(const char* label, int* nchar, const double* data, int* ndata,
            std::size_t label_len);
}

namespace kelvara {
namespace host {
namespace detail {

// Warnings raised during one entry-point call.  Lives in R's transient
// memory and holds no destructors, so R may unwind over it.
constexpr int max_warnings = 50;
struct call_state {
  call_state* previous;
  std::thread::id caller;  // the thread that entered the call: R's own
  double last_poll;  // when R's event loop was last polled (seconds)
  int threads;       // threads the call may use
  int late_starts;   // parallel sections whose other threads began late
  double late_start; // how late (seconds) counts as late
  int n_warnings;
  char warnings[max_warnings][512];
};

namespace {
call_state* current = nullptr;

// Far more threads than cores only costs; the bound keeps a mistyped option
// from asking the system for thousands.
constexpr int max_threads = 256;

int default_threads() {
#if defined(_OPENMP)
  int n = omp_get_max_threads();
  // R CMD check asks packages to use at most two cores.
  const char* limit = std::getenv("_R_CHECK_LIMIT_CORES_");
  if (limit != nullptr && std::strcmp(limit, "") != 0 && std::strcmp(limit, "false") != 0 &&
      std::strcmp(limit, "FALSE") != 0 && n > 2)
    n = 2;
  return n < 1 ? 1 : n;
#else
  return 1;
#endif
}

// The option kelvara.threads, read on R's thread when a call begins.  The R
// layer validates it; anything unusable here falls back to the default.
int option_threads() {
#if defined(_OPENMP)
  SEXP opt = Rf_GetOption1(Rf_install("kelvara.threads"));
  if ((TYPEOF(opt) == INTSXP || TYPEOF(opt) == REALSXP) && XLENGTH(opt) == 1) {
    const double v = Rf_asReal(opt);
    if (v >= 1 && v <= max_threads) return static_cast<int>(v);
    if (v > max_threads) return max_threads;
  }
  return default_threads();
#else
  return 1;
#endif
}

// A thread woken for a parallel section starts within microseconds, or a
// fraction of a millisecond when it was asleep; one that waits for a core
// starts a scheduler's time slice (milliseconds) late.  The internal option
// kelvara.late_start (seconds) replaces the bound: the tests set it to 0 to
// make every call switch to one thread after its second parallel section.
double option_late_start() {
  SEXP opt = Rf_GetOption1(Rf_install("kelvara.late_start"));
  if ((TYPEOF(opt) == INTSXP || TYPEOF(opt) == REALSXP) && XLENGTH(opt) == 1) {
    const double v = Rf_asReal(opt);
    if (v >= 0) return v;
  }
  return 2e-3;
}
}  // namespace

double clock_now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

constexpr int late_starts_to_one_thread = 2;

void note_start_delay(double seconds) {
  call_state* st = current;
  if (st == nullptr || seconds < st->late_start) return;
  if (++st->late_starts >= late_starts_to_one_thread) st->threads = 1;
}

int parallel_width(int n) {
  const int t = threads();
  return t < n ? t : (n < 1 ? 1 : n);
}

void begin_call(call_state*& saved) {
  auto* st = new (R_alloc(1, sizeof(call_state))) call_state;
  st->previous = current;
  st->caller = std::this_thread::get_id();
  st->n_warnings = 0;
  st->last_poll = 0.0;
  st->threads = option_threads();
  st->late_starts = 0;
  st->late_start = option_late_start();
  saved = st;
  current = st;
}

void end_call(call_state* st, outcome how, const char* msg) {
  current = st->previous;
  // Each of these may leave by longjmp; nothing here has a destructor.
  for (int i = 0; i < st->n_warnings; ++i) Rf_warning("%s", st->warnings[i]);
  if (how == outcome::error) Rf_error("%s", msg);
  if (how == outcome::interrupt) {
    R_interrupts_pending = 1;
    R_CheckUserInterrupt();
    Rf_error("%s", "computation interrupted");
  }
}

}  // namespace detail

int threads() {
  const detail::call_state* st = detail::current;
  return st == nullptr ? 1 : st->threads;
}

bool in_parallel() {
#if defined(_OPENMP)
  return omp_in_parallel() != 0;
#else
  return false;
#endif
}

bool openmp() {
#if defined(_OPENMP)
  return true;
#else
  return false;
#endif
}

void fail(const char* fmt, ...) {
  char buf[detail::msg_size];
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  throw failure(buf);
}

void warn(const char* fmt, ...) {
  char buf[512];
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  detail::call_state* st = detail::current;
  if (st == nullptr) {
    Rf_warning("%s", buf);
    return;
  }
  if (st->n_warnings < detail::max_warnings) {
    std::memcpy(st->warnings[st->n_warnings], buf, sizeof buf);
    ++st->n_warnings;
  }
}

namespace {
// What a poll of R's event loop caught.
struct poll_result {
  int kind;  // 0 nothing, 1 user interrupt, 2 error (e.g. a time limit)
  char msg[512];
};

SEXP poll_body(void*) {
  R_CheckUserInterrupt();
  return R_NilValue;
}

SEXP poll_handler(SEXP cond, void* data) {
  auto* res = static_cast<poll_result*>(data);
  if (Rf_inherits(cond, "interrupt")) {
    res->kind = 1;
    return R_NilValue;
  }
  res->kind = 2;
  std::snprintf(res->msg, sizeof res->msg, "%s", "computation stopped");
  if (TYPEOF(cond) == VECSXP && XLENGTH(cond) > 0) {
    SEXP m = VECTOR_ELT(cond, 0);
    if (TYPEOF(m) == STRSXP && XLENGTH(m) > 0)
      std::snprintf(res->msg, sizeof res->msg, "%s", CHAR(STRING_ELT(m, 0)));
  }
  return R_NilValue;
}

// Seconds on a monotonic clock.
double now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}
}  // namespace

void check_interrupt() {
  // A user interrupt raises R's pending flag at once; time limits and other
  // events need a pass through R's event loop, which is taken at most every
  // 20 ms so that polling stays cheap in tight loops.
  detail::call_state* st = detail::current;
  // Only R's thread may look at R; a worker's kernels leave the polls to it.
  if (st != nullptr && std::this_thread::get_id() != st->caller) return;
  if (!R_interrupts_pending && st != nullptr) {
    const double t = now();
    if (t - st->last_poll < 0.02) return;
    st->last_poll = t;
  }
  // The condition is caught as an R condition, so nothing leaves by longjmp
  // and R prints nothing; it is signalled again at the boundary of the call.
  poll_result res{0, ""};
  SEXP conds = PROTECT(Rf_allocVector(STRSXP, 2));
  SET_STRING_ELT(conds, 0, Rf_mkChar("interrupt"));
  SET_STRING_ELT(conds, 1, Rf_mkChar("error"));
  R_tryCatch(poll_body, nullptr, conds, poll_handler, &res, nullptr, nullptr);
  UNPROTECT(1);
  if (res.kind == 1) throw interrupted();
  if (res.kind == 2) throw failure(res.msg);
}

void print(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  Rvprintf(fmt, ap);
  va_end(ap);
}

void eprint(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  REvprintf(fmt, ap);
  va_end(ap);
}

void intpr(const char* label, const int* data, int n) {
  int nchar = -1;
  intpr_(label, &nchar, data, &n, std::strlen(label));
}

void dblepr(const char* label, const double* data, int n) {
  int nchar = -1;
  dblepr_(label, &nchar, data, &n, std::strlen(label));
}

namespace {
// Runs fun(data) under R_ToplevelExec, which turns an R error inside it into
// a false return.  R acts on a pending user interrupt at the end of every
// garbage collection, and inside R_ToplevelExec that jump would land at the
// boundary of the call and be taken for a failure of fun (an allocation that
// "failed", a generator state that could not be read).  Interrupts are
// therefore held off while fun runs; a user interrupt that arrived meanwhile
// stays pending and is raised as an interrupt here, where C++ can unwind.
// The caller's own hold on interrupts, if any, is kept.  With raise false
// (for use in destructors) the interrupt is left pending for the next poll
// or for R itself.
bool toplevel_exec(void (*fun)(void*), void* data, bool raise = true) {
  const Rboolean held = R_interrupts_suspended;
  R_interrupts_suspended = TRUE;
  const bool ok = R_ToplevelExec(fun, data) != FALSE;
  R_interrupts_suspended = held;
  if (raise && R_interrupts_pending && !held) throw interrupted();
  return ok;
}

void get_rng_cb(void*) { GetRNGstate(); }
void put_rng_cb(void*) { PutRNGstate(); }
}  // namespace

void rng_begin() {
  if (!toplevel_exec(get_rng_cb, nullptr))
    fail("cannot read the state of the random number generator");
}

void rng_end() { toplevel_exec(put_rng_cb, nullptr, false); }

namespace {
struct rng_state_io {
  int* state;
  int len;
};
void save_rng_cb(void* p) {
  auto* io = static_cast<rng_state_io*>(p);
  PutRNGstate();
  SEXP seed = Rf_findVarInFrame(R_GlobalEnv, Rf_install(".Random.seed"));
  io->len = -1;
  if (TYPEOF(seed) != INTSXP || XLENGTH(seed) > rng_state_len) return;
  io->len = static_cast<int>(XLENGTH(seed));
  std::memcpy(io->state, INTEGER(seed), sizeof(int) * static_cast<std::size_t>(io->len));
}
void restore_rng_cb(void* p) {
  auto* io = static_cast<rng_state_io*>(p);
  SEXP seed = PROTECT(Rf_allocVector(INTSXP, io->len));
  std::memcpy(INTEGER(seed), io->state, sizeof(int) * static_cast<std::size_t>(io->len));
  Rf_defineVar(Rf_install(".Random.seed"), seed, R_GlobalEnv);
  UNPROTECT(1);
  GetRNGstate();
}
}  // namespace

int rng_save(int* state) {
  rng_state_io io{state, -1};
  if (!toplevel_exec(save_rng_cb, &io) || io.len < 0)
    fail("cannot read the state of the random number generator");
  return io.len;
}

void rng_restore(const int* state, int len) {
  rng_state_io io{const_cast<int*>(state), len};
  if (!toplevel_exec(restore_rng_cb, &io))
    fail("cannot restore the state of the random number generator");
}

double unif_rand() { return ::unif_rand(); }
double norm_rand() { return ::norm_rand(); }

namespace {
struct alloc_request {
  std::size_t count, size;
  void* result;
};
void alloc_cb(void* p) {
  auto* req = static_cast<alloc_request*>(p);
  req->result = (void*)R_alloc(req->count, static_cast<int>(req->size));
}
}  // namespace

void* transient(std::size_t count, std::size_t size) {
  if (count == 0) count = 1;
  alloc_request req{count, size, nullptr};
  if (!toplevel_exec(alloc_cb, &req) || req.result == nullptr)
    fail("cannot allocate memory block of %g Mb",
         static_cast<double>(count) * static_cast<double>(size) / 1048576.0);
  std::memset(req.result, 0, count * size);
  return req.result;
}

namespace {
struct shared_request {
  SEXP v;
  const void* data;
};
// (a compact or otherwise deferred vector makes its values here, which may
// allocate: under toplevel_exec, as every other R call of the module)
void real_cb(void* p) {
  auto* req = static_cast<shared_request*>(p);
  req->data = REAL_RO(req->v);
}
void int_cb(void* p) {
  auto* req = static_cast<shared_request*>(p);
  req->data = INTEGER_RO(req->v);
}
const void* shared_data(const void* list, int k, std::size_t len, SEXPTYPE type,
                        const char* what) {
  SEXP v = static_cast<const SEXP*>(list)[k];
  if (TYPEOF(v) != static_cast<int>(type) || static_cast<std::size_t>(XLENGTH(v)) != len)
    fail("%s must be %s vector of %.0f values", what,
         type == REALSXP ? "a double" : "an integer", static_cast<double>(len));
  shared_request req{v, nullptr};
  if (!toplevel_exec(type == REALSXP ? real_cb : int_cb, &req))
    fail("%s: its values cannot be read", what);
  return req.data;
}
}  // namespace

const double* shared_doubles(const void* list, int k, std::size_t len, const char* what) {
  return static_cast<const double*>(shared_data(list, k, len, REALSXP, what));
}

const int* shared_ints(const void* list, int k, std::size_t len, const char* what) {
  return static_cast<const int*>(shared_data(list, k, len, INTSXP, what));
}

}  // namespace host
}  // namespace kelvara

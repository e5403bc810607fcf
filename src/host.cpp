// R glue for the whole module; see host.h for the control-flow rules.
#include "host.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include <R.h>
#include <Rinternals.h>
#include <R_ext/GraphicsEngine.h>  // R_interrupts_pending

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
  int n_warnings;
  char warnings[max_warnings][512];
};

namespace {
call_state* current = nullptr;
}

void begin_call(call_state*& saved) {
  auto* st = reinterpret_cast<call_state*>(R_alloc(1, sizeof(call_state)));
  st->previous = current;
  st->n_warnings = 0;
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
void check_interrupt_cb(void*) { R_CheckUserInterrupt(); }
}  // namespace

void check_interrupt() {
  // R_ToplevelExec returns FALSE when R_CheckUserInterrupt jumped; the
  // interrupt is re-raised at the boundary of the call.
  if (!R_ToplevelExec(check_interrupt_cb, nullptr)) throw interrupted();
}

void print(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  Rvprintf(fmt, ap);
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
void get_rng_cb(void*) { GetRNGstate(); }
void put_rng_cb(void*) { PutRNGstate(); }
}  // namespace

void rng_begin() {
  if (!R_ToplevelExec(get_rng_cb, nullptr))
    fail("cannot read the state of the random number generator");
}

void rng_end() { R_ToplevelExec(put_rng_cb, nullptr); }

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
  if (!R_ToplevelExec(alloc_cb, &req) || req.result == nullptr)
    fail("cannot allocate memory block of %g Mb",
         static_cast<double>(count) * static_cast<double>(size) / 1048576.0);
  std::memset(req.result, 0, count * size);
  return req.result;
}

}  // namespace host
}  // namespace kelvara

// The one place where the compute kernels meet R: random numbers, console
// output, warnings, errors, interrupts and transient memory.  No kernel
// includes an R header for any of these services.
//
// Control flow.  R's error, interrupt and (under options(warn = 2)) warning
// routines leave by longjmp, which must never cross a C++ frame that owns
// objects with destructors.  Inside the module a condition that stops the
// call is therefore thrown (`fail`, `check_interrupt`), warnings are queued
// (`warn`), and `run_entry` -- the body of every registered routine -- hands
// them to R only after the kernels have unwound.
#ifndef KELVARA_HOST_H
#define KELVARA_HOST_H

// The estimators fix the order and rounding of their arithmetic; a compiler
// must not contract a*b + c into one fused operation behind their back.
// Fused multiply-adds are written out (std::fma) where they are meant.
// Every source file of the module includes it before its definitions.
#if defined(__clang__)
#pragma clang fp contract(off)
#elif defined(__GNUC__)
#pragma GCC optimize("fp-contract=off")
#endif

#include <atomic>
#include <cstddef>
#if defined(_OPENMP)
#include <omp.h>
#endif
#include <cstdio>
#include <new>
#include <exception>
#include <stdexcept>

namespace kelvara {

// A condition that ends the R call with an error; what() is the message.
struct failure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// The user asked R to interrupt the computation.
struct interrupted : std::exception {
  const char* what() const noexcept override { return "interrupted"; }
};

namespace host {

// ---- errors, warnings, interrupts -------------------------------------
// Throws kelvara::failure with the printf-formatted message.
[[noreturn]] void fail(const char* fmt, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// Queues an R warning; it is issued when the entry point returns (or just
// before its error).  Outside `run_entry` it is issued at once.
void warn(const char* fmt, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// Throws kelvara::interrupted when the user has asked for an interrupt.
// Never longjmps.  Does nothing on any thread but the one that entered the
// call, so that kernels shared with worker threads may poll.
void check_interrupt();

// ---- console ------------------------------------------------------------
void print(const char* fmt, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
// The same on R's error console (REprintf).
void eprint(const char* fmt, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
// Labelled printing of integer and double vectors, as R's intpr / dblepr.
void intpr(const char* label, const int* data, int n);
void dblepr(const char* label, const double* data, int n);

// ---- random numbers -------------------------------------------------------
// Bracket every series of draws with rng_begin / rng_end (GetRNGstate /
// PutRNGstate); `rng_scope` does both.
void rng_begin();
void rng_end();
double unif_rand();
double norm_rand();

struct rng_scope {
  rng_scope() { rng_begin(); }
  ~rng_scope() { rng_end(); }
  rng_scope(const rng_scope&) = delete;
  rng_scope& operator=(const rng_scope&) = delete;
};

// The generator's state, for a search that draws ahead of its evaluation and
// must take back the draws that the one-at-a-time order would not have made
// (the state is R's .Random.seed).  Between rng_begin and rng_end only.
// rng_save writes at most rng_state_len values into `state` and returns their
// number; rng_restore puts such a state back.
constexpr int rng_state_len = 1024;
int rng_save(int* state);
void rng_restore(const int* state, int len);

// ---- memory ---------------------------------------------------------------
// Transient memory from R's allocator, reclaimed by R when the R call ends
// (on every path).  Zero-filled.  Throws kelvara::failure when exhausted,
// kelvara::interrupted when the user interrupted meanwhile.
void* transient(std::size_t count, std::size_t size);
template <class T>
T* transient_array(std::size_t count) {
  return static_cast<T*>(transient(count, sizeof(T)));
}

// ---- vectors shared by R -------------------------------------------------
// .C copies every vector argument before the call: a design of n x p values
// costs its size again in R's memory at each call, and R's collector the
// time to reclaim it.  The elements of a list argument (registered as a
// list; it arrives as an array of R objects) are passed as they are, and are
// read only.  shared_doubles(list, k, len, what): the values of element k
// (from 0) of such an argument, which must be a double vector of `len`
// values (else kelvara::failure naming `what`); shared_ints the same for an
// integer vector.  On R's thread only, before any parallel section.
const double* shared_doubles(const void* list, int k, std::size_t len, const char* what);
const int* shared_ints(const void* list, int k, std::size_t len, const char* what);

// ---- threads ----------------------------------------------------------------
// How many threads the current call may use: the R option kelvara.threads as
// it stood when the call began, or by default every core OpenMP offers (at
// most 2 when R CMD check limits cores).  Always 1 outside a call and in a
// build without OpenMP.
int threads();
// Whether the module was built with OpenMP.
bool openmp();

namespace detail {
int parallel_width(int n);  // min(threads(), n), at least 1
// Seconds on a monotonic clock (any thread may read it).
double clock_now();
// R's thread, after a parallel section: how late its other threads began.
// When they began late again and again -- other programs hold the cores, so
// every section would wait for the system to run them -- the rest of the
// call runs on one thread (its results do not depend on the count).
void note_start_delay(double seconds);
}

template <class L, class F>
void parallel_for_beside(int n, L&& lead, F&& body);
bool in_parallel();

// Runs body(i) for i = 0, ..., n - 1, on up to threads() threads.  Each i
// must write only its own results and must not call R or anything of this
// host layer but check_interrupt (a no-op on worker threads): no transient
// memory, no random numbers, no printing, no warnings.  The calling thread
// polls for interrupts between iterations; an exception ends the remaining
// iterations and the one of the smallest i is rethrown after every thread
// has finished, so that the outcome does not depend on the thread count.
template <class F>
void parallel_for(int n, F&& body) {
  if (n <= 0) return;
  parallel_for_beside(n, [] {}, body);
}

// parallel_for(n, body) while the calling thread first runs lead(), then
// joins the loop: work that only R's thread may do (random draws, a merge in
// a fixed order) overlaps the loop.  lead must not touch what body reads or
// writes.  With one thread lead runs before the loop.  A failure of lead is
// rethrown after every thread has finished, before any failure of body (the
// order of the one-thread run), so the outcome does not depend on the thread
// count.
template <class L, class F>
void parallel_for_beside(int n, L&& lead, F&& body) {
#if defined(_OPENMP)
  const int width = detail::parallel_width(n);
  if (width > 1) {
    // Iterations are claimed in increasing order, so every i below a failed
    // one has been claimed and runs to its end: the smallest failure is the
    // same for every thread count.
    std::atomic<int> next(0);
    std::atomic<int> first_failed(n);
    std::exception_ptr* errs = new std::exception_ptr[static_cast<std::size_t>(n)];
    std::exception_ptr lead_err;
    const bool top = !in_parallel();
    const double start = detail::clock_now();
    std::atomic<double> latest(0.0);  // the latest start of another thread
#pragma omp parallel num_threads(width)
    {
      if (omp_get_thread_num() != 0) {
        const double late = detail::clock_now() - start;
        double seen = latest.load();
        while (late > seen && !latest.compare_exchange_weak(seen, late)) {
        }
      }
#pragma omp master
      try {
        lead();
      } catch (...) {
        lead_err = std::current_exception();
      }
      for (;;) {
        const int i = next.fetch_add(1);
        if (i >= n || i > first_failed.load()) break;
        try {
          check_interrupt();
          body(i);
        } catch (...) {
          errs[i] = std::current_exception();
          int cur = first_failed.load();
          while (i < cur && !first_failed.compare_exchange_weak(cur, i)) {
          }
        }
      }
    }
    const int bad = first_failed.load();
    std::exception_ptr e = lead_err ? lead_err : (bad < n ? errs[bad] : nullptr);
    delete[] errs;
    if (top) detail::note_start_delay(latest.load());
    if (e) std::rethrow_exception(e);
    return;
  }
#endif
  lead();
  for (int i = 0; i < n; ++i) {
    check_interrupt();
    body(i);
  }
}

// Whether the calling thread is inside a parallel_for with more than one
// thread (then further work on it stays serial).
bool in_parallel();

// Runs body(c) for the n fixed chunks c = 0, ..., n - 1 of one pass over the
// data: over the threads by parallel_for when there are at least min_split
// chunks and the caller is not already inside a parallel_for, else serially
// on the calling thread.  The chunks, not the
// threads, decide what each body computes, so a caller that combines the
// chunks' partial results in chunk order gets the same value for every
// thread count and nesting.
template <class F>
void parallel_chunks(int n, F&& body, int min_split = 2) {
  if (n > 1 && n >= min_split && !in_parallel()) {
    parallel_for(n, body);
    return;
  }
  for (int c = 0; c < n; ++c) {
    check_interrupt();
    body(c);
  }
}

// ---- the boundary -----------------------------------------------------------
namespace detail {
enum class outcome { ok, error, interrupt };
struct call_state;  // warnings queued during one entry-point call
void begin_call(call_state*& saved);
// Issues queued warnings, then the error or interrupt (does not return in
// those cases).  Must be called with no C++ object of the call alive.
void end_call(call_state* saved, outcome how, const char* msg);
constexpr std::size_t msg_size = 1024;
}  // namespace detail

// Runs `body` as the body of a registered routine: exceptions become an R
// error (or a true R interrupt) after every C++ frame of the body has been
// destroyed, and queued warnings are issued after the body returns.
template <class F>
void run_entry(F&& body) {
  detail::call_state* saved = nullptr;
  detail::begin_call(saved);
  detail::outcome how = detail::outcome::ok;
  char msg[detail::msg_size];
  msg[0] = '\0';
  try {
    body();
  } catch (const kelvara::interrupted&) {
    how = detail::outcome::interrupt;
  } catch (const std::bad_alloc&) {
    how = detail::outcome::error;
    std::snprintf(msg, sizeof msg, "%s", "cannot allocate memory");
  } catch (const std::exception& e) {
    how = detail::outcome::error;
    std::snprintf(msg, sizeof msg, "%s", e.what());
  } catch (...) {
    how = detail::outcome::error;
    std::snprintf(msg, sizeof msg, "%s", "unknown error in compiled code");
  }
  detail::end_call(saved, how, msg);
}

}  // namespace host
}  // namespace kelvara

#endif

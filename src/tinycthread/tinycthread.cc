/* C11-style thread primitives over POSIX threads. */
#include "tinycthread/tinycthread.h"

#include "platform/platform.h"

#include <cerrno>
#include <sys/time.h>

namespace tinycthread {

/* Initialises a plain mutex. */
int mtx_init(mtx_t *mtx, int type) {
  (void)type; /* only plain mutexes are used */
  return pthread_mutex_init(mtx, nullptr) == 0 ? thrd_success : thrd_error;
}

/* Destroys the mutex. */
void mtx_destroy(mtx_t *mtx) { pthread_mutex_destroy(mtx); }

/* The condition variable keeps its default clock, the real-time clock. */
int cnd_init(cnd_t *cnd) {
  return pthread_cond_init(cnd, nullptr) == 0 ? thrd_success : thrd_error;
}

/* Wakes one waiter. */
int cnd_signal(cnd_t *cnd) {
  return pthread_cond_signal(cnd) == 0 ? thrd_success : thrd_error;
}

/* Destroys the condition variable. */
void cnd_destroy(cnd_t *cnd) { pthread_cond_destroy(cnd); }

/* Deadline timeout_ms after (sec, usec); the nanoseconds carry at most one
 * second since both addends are below one second. */
struct timespec cnd_deadline(long sec, long usec, int timeout_ms) {
  struct timespec ts;
  ts.tv_sec = sec + timeout_ms / 1000;
  ts.tv_nsec = usec * 1000 + static_cast<long>(timeout_ms % 1000) * 1000000;
  if (ts.tv_nsec > 999999999) {
    ts.tv_sec++;
    ts.tv_nsec -= 1000000000;
  }
  return ts;
}

/* Waits until signalled or timeout_ms have passed on the real-time clock;
 * -1 waits without limit. */
int cnd_timedwait_ms(cnd_t *cnd, mtx_t *mtx, int timeout_ms) {
  if (timeout_ms == -1)
    return pthread_cond_wait(cnd, mtx) == 0 ? thrd_success : thrd_error;

  struct timeval tv;
  gettimeofday(&tv, nullptr);
  struct timespec ts = cnd_deadline(tv.tv_sec, tv.tv_usec, timeout_ms);
  int r = pthread_cond_timedwait(cnd, mtx, &ts);
  if (r == ETIMEDOUT)
    return thrd_timedout;
  return r == 0 ? thrd_success : thrd_error;
}

/* What the new thread needs: released by the thread before it runs func. */
struct thrd_start {
  thrd_start_t func;
  void *arg;
};

/* New thread: unpacks its start record and runs the function. */
static void *thrd_wrapper(void *p) {
  thrd_start *start = static_cast<thrd_start *>(p);
  thrd_start_t func = start->func;
  void *arg = start->arg;
  ic_free(start);
  return reinterpret_cast<void *>(static_cast<intptr_t>(func(arg)));
}

/* Starts func(arg) on a new thread; thrd_nomem without memory for its
 * start record. */
int thrd_create(thrd_t *thr, thrd_start_t func, void *arg) {
  thrd_start *start = static_cast<thrd_start *>(ic_malloc(sizeof(*start)));
  if (!start)
    return thrd_nomem;
  start->func = func;
  start->arg = arg;
  if (pthread_create(thr, nullptr, thrd_wrapper, start) != 0) {
    *thr = 0;
    ic_free(start);
    return thrd_error;
  }
  return thrd_success;
}

/* Waits for the thread to end and delivers its result. */
int thrd_join(thrd_t thr, int *res) {
  void *pres;
  if (pthread_join(thr, &pres) != 0)
    return thrd_error;
  if (res)
    *res = static_cast<int>(reinterpret_cast<intptr_t>(pres));
  return thrd_success;
}

} // namespace tinycthread

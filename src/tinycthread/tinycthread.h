/* A thin layer of C11-style thread primitives over POSIX threads.
 *
 * The functions have C++ linkage inside their own namespace, so they never
 * clash with, or interpose, the C library's C11 functions of the same names.
 */
#pragma once

#include <pthread.h>

namespace tinycthread {

enum {
  thrd_error = 0,
  thrd_success = 1,
  thrd_timedout = 2,
  thrd_busy = 3,
  thrd_nomem = 4,
};

enum { mtx_plain = 0 };

typedef pthread_mutex_t mtx_t;
typedef pthread_cond_t cnd_t;
typedef pthread_t thrd_t;
typedef int (*thrd_start_t)(void *arg);

int mtx_init(mtx_t *mtx, int type);
void mtx_destroy(mtx_t *mtx);

/* Locks the mutex. Inline: every recorded message takes it. */
inline int mtx_lock(mtx_t *mtx) {
  return pthread_mutex_lock(mtx) == 0 ? thrd_success : thrd_error;
}

/* Unlocks the mutex. */
inline int mtx_unlock(mtx_t *mtx) {
  return pthread_mutex_unlock(mtx) == 0 ? thrd_success : thrd_error;
}

int cnd_init(cnd_t *cnd);
int cnd_signal(cnd_t *cnd);
void cnd_destroy(cnd_t *cnd);
int cnd_timedwait_ms(cnd_t *cnd, mtx_t *mtx, int timeout_ms);

int thrd_create(thrd_t *thr, thrd_start_t func, void *arg);
int thrd_join(thrd_t thr, int *res);

/* The absolute real-time deadline timeout_ms after (sec, usec). */
struct timespec cnd_deadline(long sec, long usec, int timeout_ms);

} // namespace tinycthread

/* Clock, bounded formatter, random ids and the plug-in's allocator. */
#undef NDEBUG /* a too small id buffer must stop the process */
#include "platform/platform.h"

#include <atomic>
#include <cassert>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/time.h>
#include <uuid/uuid.h>

/* Formats into buf, cut at size - 1 characters. */
int ic_vsnprintf(char *buf, size_t size, const char *fmt, va_list ap) {
  int len = vsnprintf(buf, size, fmt, ap);
  if (size > 0 && len < 0)
    buf[0] = '\0';
  return len;
}

/* Writes a new random id: the UUID's 16 bytes as 32 hex digits, high nibble
 * first, then the terminator. */
void ic_uuid_str(char *dst, size_t dst_size) {
  static const char hex[] = "0123456789abcdef";
  uuid_t uuid;
  uuid_generate_random(uuid);
  assert(dst_size >= 16 * 2 + 1);
  for (int i = 0; i < 16; i++) {
    dst[2 * i] = hex[uuid[i] >> 4];
    dst[2 * i + 1] = hex[uuid[i] & 0x0f];
  }
  dst[32] = '\0';
}

/* Milliseconds since the epoch: seconds * 1000 + microseconds / 1000. */
int64_t ic_now_ms(void) {
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  return static_cast<int64_t>(tv.tv_sec) * 1000 + tv.tv_usec / 1000;
}

/* Countdown to the allocation that fails; 0 when disarmed. The hook may be
 * armed while librdkafka threads record, hence the relaxed atomics. */
static std::atomic<long> alloc_countdown{0};
static std::atomic<long> alloc_count{0};

/* True when this allocation is the one a test chose to fail. */
static bool alloc_should_fail(void) {
  alloc_count.fetch_add(1, std::memory_order_relaxed);
  if (alloc_countdown.load(std::memory_order_relaxed) == 0)
    return false;
  return alloc_countdown.fetch_sub(1, std::memory_order_relaxed) == 1;
}

/* Test hook: arms the countdown to a failing allocation. */
long ic_alloc_fail_at(long n) {
  alloc_countdown.store(n < 0 ? 0 : n, std::memory_order_relaxed);
  return alloc_count.exchange(0, std::memory_order_relaxed);
}

/* malloc, unless a test chose this allocation to fail. */
void *ic_malloc(size_t size) {
  if (alloc_should_fail()) {
    errno = ENOMEM;
    return nullptr;
  }
  return malloc(size);
}

/* calloc, unless a test chose this allocation to fail. */
void *ic_calloc(size_t n, size_t size) {
  if (alloc_should_fail()) {
    errno = ENOMEM;
    return nullptr;
  }
  return calloc(n, size);
}

/* realloc, unless a test chose this allocation to fail. */
void *ic_realloc(void *ptr, size_t size) {
  if (alloc_should_fail()) {
    errno = ENOMEM;
    return nullptr;
  }
  return realloc(ptr, size);
}

/* A copy of s from the plug-in's allocator. */
char *ic_strdup(const char *s) {
  size_t len = strlen(s) + 1;
  char *copy = static_cast<char *>(ic_malloc(len));
  if (copy)
    memcpy(copy, s, len);
  return copy;
}

/* Releases what the plug-in's allocator gave. */
void ic_free(void *ptr) { free(ptr); }

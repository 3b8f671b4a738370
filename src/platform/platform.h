/* Platform helpers: export marker, clock, bounded formatter, random ids and
 * the plug-in's allocator. */
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>

/* Functions that the plug-in exports by name; everything else is hidden. */
#define W4_EXPORT extern "C" __attribute__((visibility("default")))

/* Formats like vsnprintf: writes at most size - 1 characters, always
 * terminates a non-empty buffer, returns the length of the full text. */
W4_EXPORT int ic_vsnprintf(char *buf, size_t size, const char *fmt, va_list ap);

/* Writes 32 lower-case hex digits of a new random UUID and a terminator. */
W4_EXPORT void ic_uuid_str(char *dst, size_t dst_size);

/* Wall-clock milliseconds since the epoch from the time-of-day clock. */
int64_t ic_now_ms(void);

/* The plug-in's allocator. Every allocation of the plug-in goes through it so
 * that tests can make a chosen allocation fail. */
void *ic_malloc(size_t size);
void *ic_calloc(size_t n, size_t size);
void *ic_realloc(void *ptr, size_t size);
char *ic_strdup(const char *s);
void ic_free(void *ptr);

/* Test hook: the n-th allocation from now fails (n >= 1); 0 disarms.
 * Returns the number of allocations made since the last call. */
long ic_alloc_fail_at(long n);

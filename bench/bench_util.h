/* Small helpers that the benchmarks which drive processes share: the
 * monotonic clock, a line read from a child within a bound, medians, and
 * client properties that must be right for a figure to mean anything. */
#pragma once

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <librdkafka/rdkafka.h>
#include <poll.h>
#include <string>
#include <unistd.h>
#include <vector>

/* Seconds on the monotonic clock. */
static inline double bench_now_s(void) {
  return std::chrono::duration<double>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

/* Reads one line from fd within ms; false when none came. */
static inline bool bench_read_line(int fd, int ms, std::string *line) {
  double deadline = bench_now_s() + ms / 1000.0;
  char c;
  while (bench_now_s() < deadline) {
    struct pollfd pfd = {fd, POLLIN, 0};
    int n = poll(&pfd, 1, 100);
    if (n < 0 && errno != EINTR)
      return false;
    if (n <= 0)
      continue;
    if (read(fd, &c, 1) <= 0)
      return false;
    if (c == '\n')
      return !line->empty();
    line->push_back(c);
  }
  return false;
}

/* The median of v; 0 when empty. */
static inline double bench_median(std::vector<double> v) {
  if (v.empty())
    return 0;
  std::sort(v.begin(), v.end());
  size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

/* Sets a property or exits, naming the benchmark: a benchmark on a wrong
 * configuration would measure nothing. */
static inline void bench_conf_set(const char *bench, rd_kafka_conf_t *conf,
                                  const std::string &name,
                                  const std::string &value) {
  char errstr[512];
  if (rd_kafka_conf_set(conf, name.c_str(), value.c_str(), errstr,
                        sizeof(errstr)) != RD_KAFKA_CONF_OK) {
    fprintf(stderr, "%s: %s=%s: %s\n", bench, name.c_str(), value.c_str(),
            errstr);
    exit(1);
  }
}

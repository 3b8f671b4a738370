/* A mock cluster in a process of its own, so that a benchmark measures its
 * client's work alone.
 *
 *   mock_cluster [--topic NAME:PARTITIONS]... [--seconds S]
 *
 * Creates librdkafka's mock cluster with one broker and the given topics,
 * prints its bootstrap servers on one line of standard output, and runs
 * until standard input is closed or S seconds have passed (default 900). */
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <librdkafka/rdkafka.h>
#include <librdkafka/rdkafka_mock.h>
#include <poll.h>
#include <string>
#include <unistd.h>
#include <vector>

struct mock_topic {
  std::string name;
  int partitions;
};

/* Names the options and exits. */
static void mock_usage(void) {
  fprintf(stderr,
          "usage: mock_cluster [--topic NAME:PARTITIONS]... [--seconds S]\n");
  exit(2);
}

/* Waits until standard input reaches its end or the deadline passes. */
static void mock_wait(int seconds) {
  auto deadline =
      std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  char buf[256];
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - std::chrono::steady_clock::now())
                    .count();
    if (left <= 0)
      return;
    struct pollfd pfd = {0, POLLIN, 0};
    int n = poll(&pfd, 1, static_cast<int>(std::min<long long>(left, 1000)));
    if (n < 0 && errno != EINTR)
      return;
    if (n > 0) {
      ssize_t r = read(0, buf, sizeof(buf));
      if (r == 0 || (r < 0 && errno != EINTR && errno != EAGAIN))
        return; /* closed: the benchmark is done with us */
    }
  }
}

/* Starts the cluster, reports where it listens and runs until told. */
int main(int argc, char **argv) {
  std::vector<mock_topic> topics;
  int seconds = 900;
  for (int i = 1; i < argc; i++) {
    std::string a = argv[i];
    if (i + 1 >= argc)
      mock_usage();
    std::string v = argv[++i];
    if (a == "--topic") {
      size_t colon = v.rfind(':');
      if (colon == std::string::npos || colon == 0)
        mock_usage();
      topics.push_back({v.substr(0, colon), atoi(v.c_str() + colon + 1)});
      if (topics.back().partitions < 1)
        mock_usage();
    } else if (a == "--seconds") {
      seconds = atoi(v.c_str());
    } else {
      mock_usage();
    }
  }

  char errstr[512];
  rd_kafka_conf_t *conf = rd_kafka_conf_new();
  rd_kafka_conf_set(conf, "log_level", "0", errstr, sizeof(errstr));
  rd_kafka_t *host =
      rd_kafka_new(RD_KAFKA_PRODUCER, conf, errstr, sizeof(errstr));
  if (!host) {
    fprintf(stderr, "mock_cluster: %s\n", errstr);
    return 1;
  }
  rd_kafka_mock_cluster_t *mcluster = rd_kafka_mock_cluster_new(host, 1);
  if (!mcluster) {
    fprintf(stderr, "mock_cluster: no mock cluster\n");
    rd_kafka_destroy(host);
    return 1;
  }
  for (const mock_topic &t : topics)
    if (rd_kafka_mock_topic_create(mcluster, t.name.c_str(), t.partitions, 1)) {
      fprintf(stderr, "mock_cluster: cannot create %s\n", t.name.c_str());
      return 1;
    }
  printf("%s\n", rd_kafka_mock_cluster_bootstraps(mcluster));
  fflush(stdout);

  mock_wait(seconds);

  rd_kafka_mock_cluster_destroy(mcluster);
  rd_kafka_destroy(host);
  return 0;
}

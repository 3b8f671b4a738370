/* The tools' plain consumer of a monitoring topic: creation and following
 * the topic's partitions. */
#include "w4consumer.h"

#include <cstdio>

int w4_consumer_new(const char *prog, const std::vector<w4_prop> &props,
                    const char *refused, rd_kafka_t **rkp,
                    void (*rebalance_cb)(rd_kafka_t *, rd_kafka_resp_err_t,
                                         rd_kafka_topic_partition_list_t *,
                                         void *),
                    void *opaque) {
  rd_kafka_conf_t *conf = rd_kafka_conf_new();
  std::string err;
  if (!w4_conf_set_all(conf, props, &err)) {
    fprintf(stderr, "%s: %s%s\n", prog, refused, err.c_str());
    rd_kafka_conf_destroy(conf);
    return 2;
  }
  if (rebalance_cb) {
    rd_kafka_conf_set_rebalance_cb(conf, rebalance_cb);
    rd_kafka_conf_set_opaque(conf, opaque);
  }
  char errstr[512];
  *rkp = rd_kafka_new(RD_KAFKA_CONSUMER, conf, errstr, sizeof(errstr));
  if (!*rkp) {
    fprintf(stderr, "%s: cannot create consumer: %s\n", prog,
            w4_hide_values(errstr, props).c_str());
    rd_kafka_conf_destroy(conf);
    return 1;
  }
  return 0;
}

/* Adds partitions [from, to) of the topic to the assignment, at offset or
 * at their saved offset. */
static bool w4_assign_partitions(rd_kafka_t *rk, const std::string &topic,
                                 int from, int to, int64_t offset,
                                 const std::map<int32_t, int64_t> &saved,
                                 const char *prog) {
  rd_kafka_topic_partition_list_t *parts =
      rd_kafka_topic_partition_list_new(to - from);
  for (int p = from; p < to; p++) {
    auto s = saved.find(p);
    rd_kafka_topic_partition_list_add(parts, topic.c_str(), p)->offset =
        s == saved.end() ? offset : s->second;
  }
  rd_kafka_error_t *error = rd_kafka_incremental_assign(rk, parts);
  rd_kafka_topic_partition_list_destroy(parts);
  if (error) {
    fprintf(stderr, "%s: cannot assign partitions: %s\n", prog,
            rd_kafka_error_string(error));
    rd_kafka_error_destroy(error);
    return false;
  }
  return true;
}

void w4_follow_partitions(w4_follow *f, rd_kafka_t *rk,
                          const std::string &topic, bool from_beginning,
                          const char *prog) {
  if (w4_mono_ms() < f->next_lookup)
    return;
  int cnt = w4_topic_partition_cnt(rk, topic, 1000);
  if (cnt > f->assigned) {
    int64_t offset = f->first_lookup && !from_beginning
                         ? RD_KAFKA_OFFSET_END
                         : RD_KAFKA_OFFSET_BEGINNING;
    if (w4_assign_partitions(rk, topic, f->assigned, cnt, offset, f->saved,
                             prog))
      f->assigned = cnt;
  }
  if (cnt >= 0)
    f->first_lookup = false;
  f->next_lookup = w4_mono_ms() + (f->assigned ? 5000 : 500);
}

void w4_consumer_error(const char *prog, const rd_kafka_message_t *m) {
  if (m->err != RD_KAFKA_RESP_ERR__PARTITION_EOF)
    fprintf(stderr, "%s: %s\n", prog, rd_kafka_message_errstr(m));
}

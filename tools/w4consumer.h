/* The tools' plain consumer of a monitoring topic (the plug-in is not
 * loaded): its creation, and the assignment of every partition of the topic
 * as they appear. Messages start with the tool's name, prog. */
#pragma once

#include "w4tool.h"

#include <cstdint>
#include <librdkafka/rdkafka.h>
#include <map>
#include <string>
#include <vector>

/* Creates a consumer with props in order into *rkp; 0 on success. A property
 * that librdkafka refuses is reported as "<prog>: <refused><name>: <why>"
 * and gives 2; a consumer that cannot be created for another reason, 1.
 * rebalance_cb, when given, serves the group's assignments with opaque. */
int w4_consumer_new(const char *prog, const std::vector<w4_prop> &props,
                    const char *refused, rd_kafka_t **rkp,
                    void (*rebalance_cb)(rd_kafka_t *, rd_kafka_resp_err_t,
                                         rd_kafka_topic_partition_list_t *,
                                         void *) = nullptr,
                    void *opaque = nullptr);

/* A consumer's own assignment of every partition of one topic. */
struct w4_follow {
  int assigned = 0; /* partitions [0, assigned) are assigned */
  /* Where to start the partitions that a saved state names: these win over
   * the end and from_beginning. */
  std::map<int32_t, int64_t> saved;
  bool first_lookup = true; /* no lookup has answered yet */
  int64_t next_lookup = 0;  /* monotonic ms */
};

/* When due, looks up the topic's partitions and adds the new ones to the
 * assignment: those there at the first answer at the end of the topic
 * (from_beginning: at its beginning), later ones at their beginning, since
 * they hold only new records; a partition in saved at its saved offset.
 * Looks again after 5 s, or 0.5 s while there
 * is no partition. Poll loop's thread. */
void w4_follow_partitions(w4_follow *f, rd_kafka_t *rk,
                          const std::string &topic, bool from_beginning,
                          const char *prog);

/* Reports a consumer error event on stderr; the end of a partition is none. */
void w4_consumer_error(const char *prog, const rd_kafka_message_t *m);

/* The exporter's state in a topic of the monitoring cluster: snapshots of
 * the audit with the read positions that go with it, so that an exporter
 * restarted (after a crash, by its service manager) goes on where the last
 * snapshot was and judges nothing twice.
 *
 * A snapshot is written as chunks (a large state does not fit one message)
 * keyed by the exporter's group and monitoring topic and the chunk's index,
 * so that a compacted topic keeps the latest of each; reading takes the
 * latest snapshot whose chunks are all there. Every function runs on the
 * exporter's poll thread. */
#pragma once

#include "w4tool.h"

#include <cstdint>
#include <librdkafka/rdkafka.h>
#include <map>
#include <string>
#include <vector>

/* Chunks are at most this long, well within a broker's default limit of a
 * message (1 MB). */
static const size_t W4_STATE_CHUNK_BYTES = 512 * 1024;

struct w4_state_store {
  std::string topic;
  std::string key; /* group, NUL, monitoring topic */
  rd_kafka_t *producer = nullptr;
  bool owns_producer = true; /* false: another store's (w4_state_store_share) */
  uint64_t snapshot_id = 0;  /* of the latest snapshot written */
  int inflight = 0;          /* chunks not acknowledged yet */
  bool failed = false;       /* a chunk of the latest snapshot failed */
  uint64_t saved = 0;        /* snapshots acknowledged whole */
  uint64_t errors = 0;       /* snapshots that failed */
};

/* A snapshot: the read position (next offset) of each partition of the
 * monitoring topic, and the state's bytes. */
struct w4_state_snapshot {
  std::map<int32_t, int64_t> positions;
  std::string state;
};

/* Creates the store's producer with props (the consumer's connection and
 * security settings) and creates its topic when missing; false with a
 * reason. */
bool w4_state_store_open(w4_state_store *st, const std::vector<w4_prop> &props,
                         const std::string &topic, const std::string &key,
                         std::string *err);

/* A store of another key that writes through from's producer (the shards of
 * an exporter); from outlives it. */
void w4_state_store_share(w4_state_store *st, const w4_state_store &from,
                          const std::string &key);

/* Creates a topic with the admin API unless it exists; true when it exists
 * or was created (also by someone else meanwhile). Otherwise says on stderr
 * that the cluster's automatic creation is relied on, and false. what names
 * the topic's use. */
bool w4_topic_create(rd_kafka_t *rk, const std::string &topic, int partitions,
                     const std::vector<w4_prop> &config, const char *what);

/* Reads the latest whole snapshot of the store's key with a consumer of
 * props; false when there is none (or the topic does not exist). */
bool w4_state_store_load(const w4_state_store &st,
                         const std::vector<w4_prop> &props, int timeout_ms,
                         w4_state_snapshot *snap);

/* The latest whole snapshot of every key of the topic that starts with
 * prefix, read at once with a consumer of props. */
std::map<std::string, w4_state_snapshot>
w4_state_store_load_prefix(const std::string &topic,
                           const std::vector<w4_prop> &props, int timeout_ms,
                           const std::string &prefix);

/* Writes a snapshot unless the previous one is still on its way; false
 * when it was skipped or could not be queued. */
bool w4_state_store_save(w4_state_store *st, const w4_state_snapshot &snap);

/* Serves the producer's delivery reports. */
void w4_state_store_poll(w4_state_store *st);

/* Waits up to timeout_ms for what is on its way, then closes. */
void w4_state_store_close(w4_state_store *st, int timeout_ms);

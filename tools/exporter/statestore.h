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
  uint64_t snapshot_id = 0; /* of the latest snapshot written */
  int inflight = 0;         /* chunks not acknowledged yet */
  bool failed = false;      /* a chunk of the latest snapshot failed */
  uint64_t saved = 0;       /* snapshots acknowledged whole */
  uint64_t errors = 0;      /* snapshots that failed */
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

/* Reads the latest whole snapshot of the store's key with a consumer of
 * props; false when there is none (or the topic does not exist). */
bool w4_state_store_load(const w4_state_store &st,
                         const std::vector<w4_prop> &props, int timeout_ms,
                         w4_state_snapshot *snap);

/* Writes a snapshot unless the previous one is still on its way; false
 * when it was skipped or could not be queued. */
bool w4_state_store_save(w4_state_store *st, const w4_state_snapshot &snap);

/* Serves the producer's delivery reports. */
void w4_state_store_poll(w4_state_store *st);

/* Waits up to timeout_ms for what is on its way, then closes. */
void w4_state_store_close(w4_state_store *st, int timeout_ms);

/* How the exporter's own consumer fares with the monitoring topic: whether
 * the cluster answers, when a record last came, and how many records it
 * never read because its position jumped over them. Shown on /metrics, so
 * that an outage of the monitoring path is not silent. */
#pragma once

#include <cstdint>
#include <map>
#include <string>

/* The values shown; the monitor holds them under its lock, the poll thread
 * writes them, the HTTP thread renders them. */
struct w4_feed {
  bool shown = false;     /* the exporter keeps them; the demo does not */
  bool cluster_up = true; /* the exporter starts only once it answered */
  int64_t last_record_wall_ms = 0; /* 0: no record read yet */
  uint64_t skipped_records = 0;    /* jumped over by offset resets */
  /* Exporters sharing a group: their shards and routing. */
  bool sharded = false;
  uint64_t shards_owned = 0;
  uint64_t routed = 0;   /* records routed to the shard topic */
  uint64_t rerouted = 0; /* records of the shard topic taken before */
};

/* Records of a partition that the consumer jumped over when it reads
 * offset: the distance from the offset expected next, 0 when there is no
 * expectation (a partition new to it) or it reads on or back; the
 * expectation is then offset + 1. The monitoring topic is neither compacted
 * nor written in transactions, so its offsets follow each other and a jump
 * is a reset of the position past records the topic no longer held. Poll
 * thread. */
int64_t w4_feed_jump(std::map<int32_t, int64_t> *next, int32_t partition,
                     int64_t offset);

/* The sample lines that w4_feed_expose writes, counted in the limit of
 * /metrics whether shown or not. */
static const uint64_t W4_FEED_LINES = 3;
/* And those of the shards, when sharded. */
static const uint64_t W4_FEED_SHARD_LINES = 3;

/* Appends the families of the feed in Prometheus' text format. HTTP
 * thread, from a copy taken under the monitor's lock. */
void w4_feed_expose(const w4_feed &f, std::string *out);

/* Exporters that share the monitoring topic through a consumer group. Each
 * record read from the monitoring topic is routed, unchanged, to the
 * partition of the exporters' own shard topic that owns its (topic,
 * partition), so that every record of a client topic-partition meets in the
 * one exporter that owns that shard; each shard keeps its audit, its read
 * position and what it took of each monitoring partition, saved together
 * and carried to the next owner when the group rebalances. */
#pragma once

#include "exporter/audit.h"

#include <cstdint>
#include <map>
#include <string>

/* The header of a routed record: where it was read on the monitoring topic
 * (partition, offset), so that a record routed again after a crash is
 * taken once. */
static const char W4_SHARD_SOURCE_HEADER[] = "w4metrics-source";

/* One shard as its owner keeps it. */
struct w4_shard {
  w4_audit audit;
  /* The highest monitoring-topic offset taken of each monitoring partition:
   * a router writes a partition's records to a shard in their order, so a
   * record at or below it was routed before. */
  std::map<int32_t, int64_t> taken;
  int64_t position = -1; /* next offset of the shard's partition to read */
  uint64_t rerouted = 0; /* records dropped as routed before */
};

/* The shard of a client topic-partition among shards (> 0): a hash that
 * every exporter computes alike, whatever its build. */
int32_t w4_shard_of(const std::string &topic, int32_t partition,
                    int32_t shards);

/* The default shard topic of a monitoring topic and group: characters that
 * a topic name cannot hold are replaced by '_', and the name is cut at
 * Kafka's limit. */
std::string w4_shard_topic_name(const std::string &topic,
                                const std::string &group);

/* The value of the source header, and back; false when it is not one. */
std::string w4_shard_source(int32_t partition, int64_t offset);
bool w4_shard_source_parse(const void *value, size_t len, int32_t *partition,
                           int64_t *offset);

/* Notes a routed record of monitoring partition at offset; false when the
 * shard took it before (it is then counted in rerouted). */
bool w4_shard_take(w4_shard *s, int32_t partition, int64_t offset);

/* The shard's state as bytes (the taken offsets, then the audit's state at
 * now_ms), and back into a fresh shard; false when the bytes are not one. */
std::string w4_shard_save(const w4_shard &s, int64_t now_ms);
bool w4_shard_load(w4_shard *s, const std::string &bytes, int64_t now_ms);

/* The exporter's own view of the monitoring topic, for /metrics. */
#include "exporter/feed.h"

#include <cinttypes>
#include <cstdio>

int64_t w4_feed_jump(std::map<int32_t, int64_t> *next, int32_t partition,
                     int64_t offset) {
  auto it = next->find(partition);
  int64_t jumped = 0;
  if (it != next->end() && offset > it->second)
    jumped = offset - it->second;
  (*next)[partition] = offset + 1;
  return jumped;
}

/* One family of a single sample without labels. */
static void w4_feed_family(std::string *out, const char *name, const char *type,
                           const char *help, const char *value) {
  char buf[512];
  snprintf(buf, sizeof(buf),
           "# HELP w4metrics_%s %s\n# TYPE w4metrics_%s %s\nw4metrics_%s %s\n",
           name, help, name, type, name, value);
  out->append(buf);
}

void w4_feed_expose(const w4_feed &f, std::string *out) {
  char v[40];
  w4_feed_family(out, "cluster_up", "gauge",
                 "1 while the exporter's consumer reaches the monitoring "
                 "cluster, 0 while it does not.",
                 f.cluster_up ? "1" : "0");
  snprintf(v, sizeof(v), "%" PRId64 ".%03" PRId64, f.last_record_wall_ms / 1000,
           f.last_record_wall_ms % 1000);
  w4_feed_family(out, "last_record_timestamp_seconds", "gauge",
                 "When the exporter last read a monitoring record, Unix "
                 "time; 0 before the first.",
                 v);
  snprintf(v, sizeof(v), "%" PRIu64, f.skipped_records);
  w4_feed_family(out, "offset_reset_records_total", "counter",
                 "Records of the monitoring topic never read: the consumer's "
                 "position was reset past them, the topic no longer holding "
                 "them.",
                 v);
  if (!f.sharded)
    return;
  snprintf(v, sizeof(v), "%" PRIu64, f.shards_owned);
  w4_feed_family(out, "shards_owned", "gauge",
                 "Shards of the group's audit that this exporter owns now.", v);
  snprintf(v, sizeof(v), "%" PRIu64, f.routed);
  w4_feed_family(out, "routed_records_total", "counter",
                 "Records of the monitoring topic that this exporter routed "
                 "to the shard topic.",
                 v);
  snprintf(v, sizeof(v), "%" PRIu64, f.rerouted);
  w4_feed_family(out, "rerouted_records_total", "counter",
                 "Records of the shard topic that the shard had taken before "
                 "(routed again after an exporter stopped), taken once.",
                 v);
}

/* What the exporter's page shows besides the counters: the last hour of
 * message rates, missing messages and latencies, in steps; the latest record
 * of every client and stream; the audit's shortfalls per partition.
 *
 * Bounded: the steps cover one hour (at most W4_HISTORY_MAX_STEPS), and the
 * step lines follow at most W4_HISTORY_MAX_GROUPS consumer groups (the first
 * ones seen; later groups are added up into one line "other groups"). The
 * other maps have one entry per client, stream or partition whose record
 * had a series in the counters (the monitor notes only those), and
 * w4_history_expire removes them when their records stop, as the counters
 * do. Everything runs under the caller's lock. */
#pragma once

#include "exporter/audit.h"
#include "w4record.h"

#include <cstdint>
#include <deque>
#include <map>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

static const int64_t W4_HISTORY_SPAN_MS = 3600000;
static const size_t W4_HISTORY_MAX_STEPS = 3600;
static const size_t W4_HISTORY_MAX_GROUPS = 16;
static const char *const W4_HISTORY_OTHER_GROUPS = "other groups";

/* What one consumer group did in one step. */
struct w4_history_group_step {
  uint64_t consumed = 0;
  uint64_t latency_sum_ms = 0;
  int64_t latency_max_ms = -1; /* -1: no message in the step */
  uint64_t missing = 0;        /* found missing by windows settled then */
};

/* One step: the records that arrived during it, added up. */
struct w4_history_step {
  int64_t start_ms = 0; /* wall clock */
  uint64_t produced = 0;
  std::map<std::string, w4_history_group_step> groups;
};

/* The latest record of one monitored client. */
struct w4_history_client {
  uint32_t client_type = W4_CLIENT_CONSUMER;
  std::string client_id;
  std::string group_id;
  std::string cluster_id;
  std::string session_id; /* of its latest record */
  uint64_t sessions = 0;  /* distinct sessions seen one after the other */
  uint64_t records = 0;
  int64_t last_ms = 0; /* wall clock of the latest record's arrival */
};

/* Key of a stream: topic and consumer group; producers have the group "" and
 * producer true. */
typedef std::tuple<std::string, bool, std::string> w4_stream_key;
/* Key of a partition of a stream. */
typedef std::tuple<std::string, bool, std::string, int32_t> w4_partition_key;

/* Arrivals of one stream: its latest record, and its messages per step
 * over the rate span (see w4_history_rate_span). */
struct w4_stream_seen {
  int64_t last_ms = 0;
  int64_t latency_max_ms = -1; /* the largest of its records, -1: none */
  std::deque<std::pair<int64_t, uint64_t>> recent; /* step start, messages */
};

/* Arrivals of one partition of a stream. */
struct w4_partition_seen {
  int64_t last_ms = 0;
  int64_t latency_max_ms = -1;
};

/* The offsets of a finding: first and last, and whether its messages are
 * missing (else duplicate). */
struct w4_history_range {
  int64_t first;
  int64_t last;
  bool missing;
};
static const size_t W4_HISTORY_MAX_RANGES = 10;

/* Audit findings of one partition and group: the sums of the settled
 * windows where consumption differed from production. */
struct w4_partition_audit {
  uint64_t missing = 0;
  uint64_t duplicate = 0;
  /* Where the latest findings lie, when the records told their offsets:
   * at most W4_HISTORY_MAX_RANGES, the newest last. */
  std::deque<w4_history_range> ranges;
};

struct w4_history {
  int64_t step_ms = 5000;
  /* The longest window seen: rates are taken over at least that much, since
   * records come once per window and a shorter step would be jagged. */
  int64_t window_ms = 0;
  int64_t window_last_ms = 0;        /* the latest record with that window */
  std::deque<w4_history_step> steps; /* oldest first; the last one is open */
  std::set<std::string> groups_followed; /* groups with a line of their own */
  /* Audit missing counters per group at the previous step, to make steps. */
  std::map<std::string, uint64_t> missing_seen;
  std::map<std::string, w4_history_client> clients; /* by client key */
  std::map<w4_stream_key, w4_stream_seen> streams;
  std::map<w4_partition_key, w4_partition_seen> partitions;
  std::map<w4_partition_key, w4_partition_audit> partition_audit;
};

/* Keeps steps of step_ms (at least 1000); call before the first note. */
void w4_history_init(w4_history *h, int64_t step_ms);

/* Takes one sane record that arrived at wall_ms. */
void w4_history_note(w4_history *h, const w4_record &rec, int64_t wall_ms);

/* Takes the audit's rows of windows settled since the last call; only
 * those of a partition the page follows (one in partitions). */
void w4_history_audit_rows(w4_history *h,
                           const std::vector<w4_audit_row> &rows);

/* Opens a new step when the current one is over, adding the missing
 * messages the audit found meanwhile, and forgets steps older than an
 * hour. Call it now and then (the exporter does twice a second). */
void w4_history_tick(w4_history *h, const w4_audit &audit, int64_t wall_ms);

/* Removes the clients, streams and partitions without a record for
 * expire_ms up to wall_ms, the audit findings of partitions gone, and
 * frees the chart's line of a group none of whose streams is left. */
void w4_history_expire(w4_history *h, int64_t wall_ms, int64_t expire_ms);

/* The key of a client in the clients map. */
std::string w4_history_client_key(uint32_t client_type,
                                  const std::string &client_id,
                                  const std::string &group_id,
                                  const std::string &cluster_id);

/* The time that rates are taken over: a minute, or two windows when the
 * windows are longer, so that records coming once per window average out. */
int64_t w4_history_rate_span(const w4_history &h);

/* Messages per second of a stream over the rate span up to wall_ms. */
double w4_history_stream_rate(const w4_history &h, const w4_stream_key &key,
                              int64_t wall_ms);

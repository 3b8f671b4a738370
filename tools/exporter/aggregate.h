/* Counters over decoded monitoring records: per client and topic-partition
 * (or topic), with sequence-gap detection per client session and
 * topic-partition. The exporter feeds it from its poll loop; tests and the
 * benchmark feed it decoded records and a clock of their own. */
#pragma once

#include "exporter/audit.h"
#include "w4record.h"

#include <climits>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

/* The largest values a sane record may carry, and why.
 *
 * The plug-in publishes every 1 ms to 86,400,000 ms (a day); a record holds
 * one window of one topic-partition, and a session lasts at most 2^31 ms.
 * So at most 2^31 records a session (sequence), and a window's counts are
 * what one partition carries in a day at most. The bounds below are far
 * above that, and far enough below 2^63 that the exporter's sums do not
 * reach it with honest traffic; every sum saturates besides, so that even
 * hostile records only pin a counter at its largest value:
 *
 * - count <= 2^40 (1.1e12 messages, 12.7 million a second for a day on one
 *   partition). Summed into the series' messages and latency counts
 *   (uint64), the audit's produced and consumed per window (int64) and its
 *   totals (uint64), the page's steps, rates and sums: 2^23 records of the
 *   largest count fit in 2^63.
 * - aggregate_bytes <= 2^50 (1 PiB per window of one partition). Summed
 *   only into the series' bytes counter: 2^13 such records fit in 2^63.
 * - latency_sum <= 2^56 ms (8 million messages aged 100 days in one window
 *   of one partition: a replay of old data). Summed into the series'
 *   latency sums and the page's steps: 2^7 such records fit in 2^63, and
 *   ms are shown as seconds without any product.
 * - min_latency, max_latency <= 2^42 ms (139 years: a latency is at most
 *   the age of a message since the epoch); only compared, never summed.
 * - a histogram bucket count <= 2^32 - 1 (the plug-in counts in 32 bits).
 * - sequence <= 2^40: at most 2^40 missing records per hole, saturating.
 * - window <= timestamp + a day: a window starts at a message's time, which
 *   is not ahead of the publish pass by more than a clock's skew. */
static const int64_t W4_RECORD_COUNT_MAX = INT64_C(1) << 40;
static const int64_t W4_RECORD_BYTES_MAX = INT64_C(1) << 50;
static const int64_t W4_RECORD_LATENCY_SUM_MAX = INT64_C(1) << 56;
static const int64_t W4_RECORD_LATENCY_MAX = INT64_C(1) << 42;
static const uint64_t W4_RECORD_BUCKET_MAX = UINT32_MAX;
static const int64_t W4_RECORD_SEQUENCE_MAX = INT64_C(1) << 40;
static const int64_t W4_RECORD_WINDOW_SIZE_MAX = 86400000;
static const int64_t W4_RECORD_AHEAD_MAX_MS = 86400000;
/* Names as long as Kafka's own allow: a topic name up to 249 bytes, the
 * plug-in's ids (client id, group id, cluster id, session id) up to 511. */
static const size_t W4_RECORD_TOPIC_MAX = 249;
static const size_t W4_RECORD_ID_MAX = 511;

/* Sample lines of /metrics that a series, a client and an audit key take
 * (see w4_series_lines): counted against the limit of lines. */
static const uint64_t W4_HIST_LINES = 17;  /* 15 buckets, sum, count */
static const uint64_t W4_AUDIT_LINES = 7;  /* 5 counters, 2 gauges */
static const uint64_t W4_CLIENT_LINES = 1; /* sessions */

/* One label set and its counters. partition is -1 when partitions are
 * aggregated away. */
struct w4_client_series;
struct w4_series {
  uint32_t client_type = W4_CLIENT_CONSUMER;
  std::string client_id;
  std::string group_id;
  std::string cluster_id;
  std::string topic;
  int32_t partition = -1;
  /* The label text, made once by the exposition and shared with the
   * snapshots that scrapes render outside the lock. */
  std::shared_ptr<const std::string> labels;
  w4_client_series *client = nullptr; /* its client's sessions */
  int64_t last_ms = 0;                /* arrival of its latest record */

  uint64_t messages = 0;
  uint64_t bytes = 0;
  uint64_t latency_sum_ms = 0;
  uint64_t latency_count = 0;
  uint64_t records = 0;
  uint64_t empty_records = 0;
  uint64_t missing_records = 0;

  /* Minimum and maximum latency of the latest window seen (the largest
   * window start; records of that window from several partitions merge). */
  int64_t latest_window = -1;
  int64_t latest_min_ms = 0;
  int64_t latest_max_ms = 0;

  /* The latencies of the records that carry a histogram, merged, and the
   * sum of their latency_sum: the exported histogram (its count is
   * hist->total). None while no record of the series had one, so that
   * series without histograms cost nothing more. */
  std::unique_ptr<w4_latency_hist> hist;
  uint64_t hist_sum_ms = 0;
};

/* Sessions seen per client label set (no topic, no partition). */
struct w4_client_series {
  uint32_t client_type = W4_CLIENT_CONSUMER;
  std::string client_id;
  std::string group_id;
  std::string cluster_id;
  std::shared_ptr<const std::string> labels; /* as w4_series::labels */
  uint64_t sessions = 0;
  uint64_t nseries = 0; /* series of the client: it goes with the last */
};

/* A client topic-partition: its earliest session seen, by the time of the
 * record, and the arrival of its latest record. */
struct w4_followed {
  std::string topic;
  int32_t partition = 0;
  int64_t last_ms = 0;
  int64_t first_ts = INT64_MAX;
  std::string first_session;
};

/* Sequence tracking of one client session and topic-partition. Every
 * sequence number below base is accounted for (seen or counted missing);
 * pending holds the numbers seen above a hole, with their arrival times. */
struct w4_stream {
  w4_series *series = nullptr; /* where missing records are counted */
  w4_followed *tp = nullptr;   /* its client topic-partition */
  std::string session_id;
  int64_t base = 0;
  bool started = false; /* false while the first numbers are still coming */
  bool closed = false;  /* final record seen and nothing pending: done */
  bool final_seen = false;
  /* Taken up where another reader left it (a shard handed over): numbers
   * below those seen while its first records come in were read there. */
  bool resumed = false;
  int64_t opened_ms = 0;
  int64_t last_ms = 0;
  std::map<int64_t, int64_t> pending; /* sequence -> arrival time */
};

/* Client topic-partitions whose streams, made before until_ms, are taken up
 * where another reader left them (see w4_aggregate_resume). */
struct w4_resumed {
  std::function<bool(const std::string &, int32_t)> tps;
  int64_t until_ms = 0;
};

struct w4_aggregate {
  bool by_topic = false;        /* aggregate partitions away */
  bool gaps = true;             /* count missing records */
  int64_t settle_ms = 60000;    /* how long a hole may wait for its record */
  int64_t max_age_ms = 3600000; /* idle tracking state is forgotten after */
  /* A series (and its client) without a record for this long is removed:
   * from /metrics, the page and memory. */
  int64_t expire_ms = 3600000;
  /* Sample lines /metrics may hold, fixed ones included: no series is made
   * beyond (see w4_aggregate_add). lines counts those of the series, the
   * clients and the audit keys shown; fixed_lines those always there. */
  uint64_t max_lines = UINT64_MAX;
  uint64_t fixed_lines = 0;
  uint64_t lines = 0;
  /* Records that found no room for a series (or a histogram) of theirs. */
  uint64_t dropped_series = 0;
  /* The audit's keys (cluster, topic, group) whose lines /metrics shows:
   * those that had room when they came. */
  std::set<w4_audit_key> audit_shown;

  std::unordered_map<std::string, std::unique_ptr<w4_series>> series;
  std::unordered_map<std::string, std::unique_ptr<w4_client_series>> clients;
  std::unordered_map<std::string, w4_stream> streams;
  /* Client topic-partitions followed across sessions: a session that is
   * not the earliest seen of its topic-partition must start at 0. */
  std::unordered_map<std::string, w4_followed> followed;
  std::vector<w4_resumed> resumed;
  /* Sessions already counted, by last arrival. */
  std::unordered_map<std::string, int64_t> sessions;

  uint64_t bad_records = 0;
  uint64_t late_records = 0; /* sequence already accounted for */
  uint64_t decoded_records = 0;
};

/* Checks the values of a decoded record that the counters rely on; false
 * with a reason when a value cannot come from the plug-in (negative counts,
 * unknown record kind, ...). */
bool w4_record_sane(const w4_record &rec, std::string *err);

/* False with a reason when the record's timestamp is more than a day ahead
 * of wall_ms, the exporter's clock: its windows would hold the latency
 * gauges for as long. */
bool w4_record_timely(const w4_record &rec, int64_t wall_ms, std::string *err);

/* Adds one sane record that arrived at now_ms (monotonic clock); false when
 * its series had no room (see max_lines): the record is only counted in
 * dropped_series and decoded_records. */
bool w4_aggregate_add(w4_aggregate *agg, const w4_record &rec, int64_t now_ms);

/* Settles holes whose records did not come within settle_ms, starts streams
 * whose first numbers are in, forgets idle state and removes the series and
 * clients without a record for expire_ms. Call it now and then (the
 * exporter does twice a second). */
void w4_aggregate_tick(w4_aggregate *agg, int64_t now_ms);

/* Settles every hole and stream now, as if no more record could come (the
 * end of a bounded read). */
void w4_aggregate_finish(w4_aggregate *agg);

/* Forgets the sequence tracking of every client topic-partition for which
 * gone(topic, partition) says yes: its records are read elsewhere from now
 * on (a shard given up). */
void w4_aggregate_forget(
    w4_aggregate *agg,
    const std::function<bool(const std::string &, int32_t)> &gone);

/* The streams of the client topic-partitions that tps says yes to, new
 * before now_ms plus settle_ms, are taken up where another reader left them
 * (a shard taken on at a saved position): their records before that
 * position came in any order, so the numbers below the highest seen while
 * their first records come in are not counted missing, and none is taken
 * for a session's start. The missing records of a hand-over's first settle
 * go uncounted rather than counted falsely. */
void w4_aggregate_resume(
    w4_aggregate *agg, int64_t now_ms,
    const std::function<bool(const std::string &, int32_t)> &tps);

/* The sample lines of one series in /metrics: its counters and gauges,
 * and the histogram's lines once it has one. */
uint64_t w4_series_lines(const w4_aggregate &agg, const w4_series &s);

/* Gives the audit's keys room in /metrics while there is some, in key
 * order, and frees the room of the keys that the audit no longer holds. */
void w4_aggregate_audit_admit(w4_aggregate *agg, const w4_audit &audit);

/* The same over several audits (the shards an exporter owns): a key is
 * admitted once, whatever the number of shards that hold it. */
void w4_aggregate_audit_admit_all(w4_aggregate *agg,
                                  const std::vector<const w4_audit *> &audits);

/* A duration in ms from Prometheus' duration syntax (1h30m, 15m, 10s,
 * 500ms, 1d, 2w, 1y; units in that order, each once) or plain ms; false
 * when the text is neither or the duration is 0 or over a year. */
bool w4_parse_duration(const char *text, int64_t *ms);

/* Sum of missing records over every series. */
uint64_t w4_aggregate_missing(const w4_aggregate &agg);

/* The merged latency histogram of a consumer group's series (client_type
 * consumer, that group_id; one topic when topic is given), since the
 * exporter started. */
w4_latency_hist w4_aggregate_group_hist(const w4_aggregate &agg,
                                        const std::string &group_id,
                                        const std::string *topic = nullptr);

/* The group's p99 consumer latency in ms, estimated from that merged
 * histogram (see w4_latency_hist_quantile); -1 when none of its records
 * carried a histogram. */
double w4_aggregate_group_p99(const w4_aggregate &agg,
                              const std::string &group_id,
                              const std::string *topic = nullptr);

/* The state that the exporter and the demo serve: the counters, the
 * delivery audit and the page's history of the last hour, fed with records
 * by the thread that reads the monitoring topic and read by the HTTP
 * thread, under one lock that every function here takes itself. */
#pragma once

#include "exporter/aggregate.h"
#include "exporter/audit.h"
#include "exporter/exposition.h"
#include "exporter/feed.h"
#include "exporter/history.h"
#include "exporter/http.h"
#include "exporter/page.h"
#include "exporter/shards.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

/* What the monitor counts, and how. */
struct w4_monitor_opts {
  bool by_topic = false; /* aggregate partitions away */
  bool gaps = true;      /* count missing records */
  bool audit = true;     /* audit the windows */
  /* Audit every window of a topic-partition as one (the demo: on the mock
   * cluster the producer's windows are not the consumer's). */
  bool audit_whole_run = false;
  int64_t settle_ms = 60000;
  int64_t max_age_ms = 3600000;
  int64_t horizon_ms = 3600000;
  int64_t history_step_ms = 5000;
  /* A client or stream without a record for this long leaves /metrics, the
   * page and memory (the audit's counters once it has settled them). */
  int64_t expire_ms = 3600000;
  /* Sample lines /metrics may hold, fixed ones included. */
  uint64_t max_series = 1000000;
  /* The audit is kept per shard (exporters sharing a group): mon->audit
   * stays empty, each shard's audit shows with a shard label. */
  bool sharded = false;
  /* The page's "now" when not 0, for records of a past hour replayed by the
   * tests and the benchmark; else the wall clock. */
  int64_t page_now_ms = 0;
};

struct w4_monitor {
  std::mutex lock; /* guards everything below */
  w4_monitor_opts o;
  w4_aggregate agg;
  w4_audit audit;
  w4_history history;
  w4_exposition_opts expo;
  /* The exporter's own consumer: reachability, last record, skips. */
  w4_feed feed;
  /* Judgements that records changed since the last tick (replays, late
   * records of judged windows), handed out by the next tick. */
  std::vector<w4_audit_row> late_rows;
  /* The shards this exporter owns now, by shard-topic partition: added,
   * removed and fed by the reading thread under the lock, read by the HTTP
   * thread under it; a shard's position alone is the reading thread's, read
   * and written without the lock. */
  std::map<int32_t, std::unique_ptr<w4_shard>> shards;
  uint64_t routed = 0;   /* records routed to the shard topic */
  uint64_t rerouted = 0; /* of shards since given up, see w4_shard */
};

/* Sets the options of every store; before the first record and before
 * serving. */
void w4_monitor_init(w4_monitor *mon, const w4_monitor_opts &opts);

/* Decodes a framed record value and checks that the plug-in could have sent
 * it; false with the reason in *err. Takes no lock. */
bool w4_monitor_decode(const void *value, size_t len, w4_record *rec,
                       std::string *err);

/* Adds a sane record that arrived at mono_ms (monotonic clock) and wall_ms
 * (wall clock) to the counters, the history and, when on, the audit, and
 * notes when it came. On the reading thread. */
void w4_monitor_add(w4_monitor *mon, const w4_record &rec, int64_t mono_ms,
                    int64_t wall_ms);

/* Decodes a value into *rec and adds it; a value that is not a sane record
 * (or whose timestamp is more than a day ahead of wall_ms) is counted as
 * bad and false returned with the reason in *err, for the caller to
 * report. On the reading thread. */
bool w4_monitor_take(w4_monitor *mon, const void *value, size_t len,
                     int64_t mono_ms, int64_t wall_ms, w4_record *rec,
                     std::string *err);

/* Adds a sane record read from a shard's partition: to the counters and
 * the history as w4_monitor_add does, and to the shard's audit. On the
 * reading thread. */
void w4_monitor_add_shard(w4_monitor *mon, w4_shard *shard,
                          const w4_record &rec, int64_t mono_ms,
                          int64_t wall_ms);

/* A fresh shard with the audit's settings, not yet owned. */
std::unique_ptr<w4_shard> w4_monitor_shard_new(const w4_monitor &mon);

/* Settles what is due in the counters and the audit, moves the history on
 * and removes what expired; the rows of the judgements that counted a shortfall
 * or excess since the last tick are appended to *rows when given. On the
 * reading thread, now and then. */
void w4_monitor_tick(w4_monitor *mon, int64_t mono_ms, int64_t wall_ms,
                     std::vector<w4_audit_row> *rows);

/* The text of /metrics: what it shows is copied under the lock, the text
 * is made outside it, so that a large scrape holds the reading thread up
 * only for the copy. On the HTTP thread. */
std::string w4_monitor_render(w4_monitor *mon);

/* The page's JSON of a path under /api/ into *body; false when there is no
 * such path. On the HTTP thread. */
bool w4_monitor_api(w4_monitor *mon, const std::string &path,
                    const w4_page_args &args, std::string *body);

/* Serves /metrics, the page and its JSON of mon on addr:port; false with a
 * reason in *err. On the thread that starts the server. */
bool w4_monitor_serve(w4_monitor *mon, w4_http *http, const std::string &addr,
                      int port, std::string *err);

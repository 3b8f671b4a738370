/* The state that the exporter and the demo serve, under one lock. */
#include "exporter/monitor.h"

#include "w4tool.h"

void w4_monitor_init(w4_monitor *mon, const w4_monitor_opts &opts) {
  std::lock_guard<std::mutex> guard(mon->lock);
  mon->o = opts;
  mon->agg.by_topic = opts.by_topic;
  mon->agg.gaps = opts.gaps;
  mon->agg.settle_ms = mon->audit.settle_ms = opts.settle_ms;
  mon->agg.max_age_ms = mon->audit.max_age_ms = opts.max_age_ms;
  mon->audit.horizon_ms = opts.horizon_ms;
  mon->agg.expire_ms = opts.expire_ms;
  mon->agg.max_lines = opts.max_series;
  mon->expo.gaps = opts.gaps;
  mon->expo.audit = opts.audit;
  mon->expo.sharded = opts.sharded;
  mon->feed.sharded = opts.sharded;
  mon->agg.fixed_lines = w4_exposition_fixed_lines(mon->expo) + W4_FEED_LINES +
                         (opts.sharded ? W4_FEED_SHARD_LINES : 0);
  w4_history_init(&mon->history, opts.history_step_ms);
}

std::unique_ptr<w4_shard> w4_monitor_shard_new(const w4_monitor &mon) {
  std::unique_ptr<w4_shard> s(new w4_shard());
  s->audit.settle_ms = mon.o.settle_ms;
  s->audit.max_age_ms = mon.o.max_age_ms;
  s->audit.horizon_ms = mon.o.horizon_ms;
  return s;
}

bool w4_monitor_decode(const void *value, size_t len, w4_record *rec,
                       std::string *err) {
  return w4_record_decode(value, len, rec, err) && w4_record_sane(*rec, err);
}

/* Adds rec to an audit; lock held. */
static void w4_monitor_audit_add(w4_monitor *mon, w4_audit *audit,
                                 const w4_record &rec, int64_t mono_ms) {
  if (!mon->o.audit_whole_run) {
    w4_audit_add(audit, rec, mono_ms, &mon->late_rows);
    return;
  }
  w4_record whole = rec;
  whole.msg.window = 0;
  w4_audit_add(audit, whole, mono_ms, &mon->late_rows);
}

/* Adds rec to the counters and the history; lock held. */
static void w4_monitor_count(w4_monitor *mon, const w4_record &rec,
                             int64_t mono_ms, int64_t wall_ms) {
  mon->feed.last_record_wall_ms = wall_ms;
  /* The page follows what the counters have room for. */
  if (w4_aggregate_add(&mon->agg, rec, mono_ms))
    w4_history_note(&mon->history, rec, wall_ms);
}

void w4_monitor_add(w4_monitor *mon, const w4_record &rec, int64_t mono_ms,
                    int64_t wall_ms) {
  std::lock_guard<std::mutex> guard(mon->lock);
  w4_monitor_count(mon, rec, mono_ms, wall_ms);
  if (mon->o.audit && !mon->o.sharded)
    w4_monitor_audit_add(mon, &mon->audit, rec, mono_ms);
}

void w4_monitor_add_shard(w4_monitor *mon, w4_shard *shard,
                          const w4_record &rec, int64_t mono_ms,
                          int64_t wall_ms) {
  std::lock_guard<std::mutex> guard(mon->lock);
  w4_monitor_count(mon, rec, mono_ms, wall_ms);
  w4_monitor_audit_add(mon, &shard->audit, rec, mono_ms);
}

bool w4_monitor_take(w4_monitor *mon, const void *value, size_t len,
                     int64_t mono_ms, int64_t wall_ms, w4_record *rec,
                     std::string *err) {
  if (w4_monitor_decode(value, len, rec, err) &&
      w4_record_timely(*rec, wall_ms, err)) {
    w4_monitor_add(mon, *rec, mono_ms, wall_ms);
    return true;
  }
  std::lock_guard<std::mutex> guard(mon->lock);
  mon->agg.bad_records++;
  return false;
}

/* Gives the audit's keys room in /metrics, of every shard when sharded;
 * lock held. */
static void w4_monitor_admit(w4_monitor *mon) {
  std::vector<const w4_audit *> audits = {&mon->audit};
  for (const auto &kv : mon->shards)
    audits.push_back(&kv.second->audit);
  w4_aggregate_audit_admit_all(&mon->agg, audits);
}

void w4_monitor_tick(w4_monitor *mon, int64_t mono_ms, int64_t wall_ms,
                     std::vector<w4_audit_row> *rows) {
  std::vector<w4_audit_row> settled;
  std::lock_guard<std::mutex> guard(mon->lock);
  settled.swap(mon->late_rows);
  w4_aggregate_tick(&mon->agg, mono_ms);
  w4_audit_tick(&mon->audit, mono_ms, &settled);
  for (auto &kv : mon->shards) {
    w4_audit_tick(&kv.second->audit, mono_ms, &settled);
    w4_audit_expire(&kv.second->audit, mono_ms, mon->o.expire_ms);
  }
  w4_history_audit_rows(&mon->history, settled);
  w4_audit_expire(&mon->audit, mono_ms, mon->o.expire_ms);
  w4_history_tick(&mon->history, mon->audit, wall_ms);
  w4_history_expire(&mon->history, wall_ms, mon->o.expire_ms);
  w4_monitor_admit(mon);
  if (rows)
    rows->insert(rows->end(), settled.begin(), settled.end());
}

std::string w4_monitor_render(w4_monitor *mon) {
  w4_exposition_snapshot snap;
  w4_feed feed;
  {
    std::lock_guard<std::mutex> guard(mon->lock);
    w4_monitor_admit(mon);
    w4_exposition_take(&mon->agg, &mon->audit, mon->expo, &snap);
    for (const auto &kv : mon->shards)
      w4_exposition_take_shard(kv.second->audit, kv.first, mon->agg, &snap);
    feed = mon->feed;
    feed.shards_owned = mon->shards.size();
    feed.routed = mon->routed;
    feed.rerouted = mon->rerouted;
    for (const auto &kv : mon->shards)
      feed.rerouted += kv.second->rerouted;
  }
  std::string out = w4_exposition_render(&snap);
  if (feed.shown)
    w4_feed_expose(feed, &out);
  /* The label texts are shared with the series: their counts go down under
   * the lock too, where the reading thread drops its own references. */
  std::lock_guard<std::mutex> guard(mon->lock);
  snap = w4_exposition_snapshot();
  return out;
}

bool w4_monitor_api(w4_monitor *mon, const std::string &path,
                    const w4_page_args &args, std::string *body) {
  std::lock_guard<std::mutex> guard(mon->lock);
  w4_page_view v;
  v.agg = &mon->agg;
  v.audit = &mon->audit;
  v.history = &mon->history;
  /* The page shows one audit; a shard's is on /metrics. */
  v.audit_on = mon->o.audit && !mon->o.sharded;
  v.gaps_on = mon->o.gaps;
  v.settle_ms = mon->o.settle_ms;
  v.wall_ms = mon->o.page_now_ms ? mon->o.page_now_ms : w4_wall_ms();
  return w4_page_api(v, path, args, body);
}

/* The render function of the server; on the HTTP thread. */
static std::string w4_monitor_http_render(void *opaque) {
  return w4_monitor_render(static_cast<w4_monitor *>(opaque));
}

/* The api function of the server; on the HTTP thread. */
static bool w4_monitor_http_api(void *opaque, const std::string &path,
                                const w4_page_args &args, std::string *body) {
  return w4_monitor_api(static_cast<w4_monitor *>(opaque), path, args, body);
}

bool w4_monitor_serve(w4_monitor *mon, w4_http *http, const std::string &addr,
                      int port, std::string *err) {
  http->api = w4_monitor_http_api;
  http->api_opaque = mon;
  return w4_http_start(http, addr, port, w4_monitor_http_render, mon, err);
}

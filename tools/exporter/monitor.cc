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
  mon->agg.fixed_lines = w4_exposition_fixed_lines(mon->expo) + W4_FEED_LINES;
  w4_history_init(&mon->history, opts.history_step_ms);
}

bool w4_monitor_decode(const void *value, size_t len, w4_record *rec,
                       std::string *err) {
  return w4_record_decode(value, len, rec, err) && w4_record_sane(*rec, err);
}

/* Adds rec to the audit; lock held. */
static void w4_monitor_audit_add(w4_monitor *mon, const w4_record &rec,
                                 int64_t mono_ms) {
  if (!mon->o.audit_whole_run) {
    w4_audit_add(&mon->audit, rec, mono_ms, &mon->late_rows);
    return;
  }
  w4_record whole = rec;
  whole.msg.window = 0;
  w4_audit_add(&mon->audit, whole, mono_ms, &mon->late_rows);
}

void w4_monitor_add(w4_monitor *mon, const w4_record &rec, int64_t mono_ms,
                    int64_t wall_ms) {
  std::lock_guard<std::mutex> guard(mon->lock);
  mon->feed.last_record_wall_ms = wall_ms;
  /* The page follows what the counters have room for. */
  if (w4_aggregate_add(&mon->agg, rec, mono_ms))
    w4_history_note(&mon->history, rec, wall_ms);
  if (mon->o.audit)
    w4_monitor_audit_add(mon, rec, mono_ms);
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

void w4_monitor_tick(w4_monitor *mon, int64_t mono_ms, int64_t wall_ms,
                     std::vector<w4_audit_row> *rows) {
  std::vector<w4_audit_row> settled;
  std::lock_guard<std::mutex> guard(mon->lock);
  settled.swap(mon->late_rows);
  w4_aggregate_tick(&mon->agg, mono_ms);
  w4_audit_tick(&mon->audit, mono_ms, &settled);
  w4_history_audit_rows(&mon->history, settled);
  w4_audit_expire(&mon->audit, mono_ms, mon->o.expire_ms);
  w4_history_tick(&mon->history, mon->audit, wall_ms);
  w4_history_expire(&mon->history, wall_ms, mon->o.expire_ms);
  w4_aggregate_audit_admit(&mon->agg, mon->audit);
  if (rows)
    rows->insert(rows->end(), settled.begin(), settled.end());
}

std::string w4_monitor_render(w4_monitor *mon) {
  w4_exposition_snapshot snap;
  w4_feed feed;
  {
    std::lock_guard<std::mutex> guard(mon->lock);
    w4_exposition_take(&mon->agg, &mon->audit, mon->expo, &snap);
    feed = mon->feed;
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
  v.audit_on = mon->o.audit;
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

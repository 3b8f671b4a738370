/* The demo's view of the monitoring topic. */
#include "w4demo_view.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>

/* Folds one record into its row: a newer pass replaces the aggregates, a
 * record of the same pass adds to them. */
static void demo_row_add(demo_row *row, const w4_record &rec) {
  const monitoring_MonitoringMessage &m = rec.msg;
  row->total += m.count;
  if (m.timestamp < row->pass_ts)
    return; /* a late record of an older pass */
  if (m.timestamp > row->pass_ts) {
    int64_t total = row->total;
    *row = demo_row();
    row->total = total;
    row->pass_ts = m.timestamp;
    row->latency_min = INT64_MAX;
  }
  row->count += m.count;
  row->bytes += m.aggregate_bytes;
  row->latency_sum += m.latency_sum;
  w4_latency_hist_add(&row->hist, rec);
  if (m.count > 0 && m.min_latency < row->latency_min)
    row->latency_min = m.min_latency;
  if (m.count > 0 && m.max_latency > row->latency_max)
    row->latency_max = m.max_latency;
  row->window_size = m.window_size;
  if (m.sequence > row->last_seq || rec.session_id != row->session_id) {
    row->last_seq = m.sequence;
    row->session_id = rec.session_id;
    row->final = m.final;
    row->empty = m.record_kind == W4_RECORD_EMPTY_WINDOW;
  }
}

/* Takes a record of the demo's clients into the audit. The run is audited
 * as a whole: on the mock cluster, acknowledgements carry the broker's fixed
 * log-append time, so the producer's windows are not the consumer's. */
static void demo_audit_add(demo_view *v, const w4_record &rec) {
  std::string err;
  if (!w4_record_sane(rec, &err))
    return;
  w4_record whole = rec;
  whole.msg.window = 0;
  w4_audit_add(&v->audit, whole, 0);
}

void demo_view_add(demo_view *v, const rd_kafka_message_t *msg) {
  w4_record rec;
  std::string err;
  if (!w4_record_decode(msg->payload, msg->len, &rec, &err)) {
    v->bad++;
    fprintf(stderr,
            "w4metrics-demo: skipped value at partition %d offset %lld: %s\n",
            static_cast<int>(msg->partition),
            static_cast<long long>(msg->offset), err.c_str());
    return;
  }
  int role;
  if (rec.client_id == v->producer_id) {
    role = DEMO_PRODUCER;
  } else if (rec.client_id == v->consumer_id) {
    role = DEMO_CONSUMER;
  } else {
    v->foreign++;
    return;
  }
  v->records++;
  if (rec.msg.record_kind == W4_RECORD_DATA)
    v->counted[role] += rec.msg.count;
  demo_row_add(&v->rows[demo_row_key(role, rec.topic, rec.msg.partition)], rec);
  demo_seq_track &t =
      v->seqs[demo_seq_key(role, rec.session_id, rec.topic, rec.msg.partition)];
  if (!t.seqs.insert(rec.msg.sequence).second)
    t.duplicates++;
  demo_audit_add(v, rec);
}

w4_audit_totals demo_view_audit(demo_view *v, uint64_t *pending) {
  w4_audit_finish(&v->audit, nullptr);
  *pending = 0;
  for (const auto &kv : v->audit.lag)
    *pending += kv.second.pending;
  return w4_audit_sum(v->audit);
}

int64_t demo_view_gaps(const demo_view &v, const demo_row_key *key,
                       int64_t *dups) {
  int64_t gaps = 0;
  *dups = 0;
  for (const auto &kv : v.seqs) {
    const demo_seq_key &k = kv.first;
    if (key && (std::get<0>(k) != std::get<0>(*key) ||
                std::get<2>(k) != std::get<1>(*key) ||
                std::get<3>(k) != std::get<2>(*key)))
      continue;
    const demo_seq_track &t = kv.second;
    /* Every session numbers from 0 without holes: 0..max all present. */
    int64_t max = *t.seqs.rbegin();
    gaps += max + 1 - static_cast<int64_t>(t.seqs.size());
    *dups += t.duplicates;
  }
  return gaps;
}

bool demo_view_all_final(const demo_view &v) {
  if (v.rows.empty())
    return false;
  for (const auto &kv : v.rows)
    if (!kv.second.final)
      return false;
  return true;
}

std::string demo_view_table(const demo_view &v) {
  char buf[512];
  std::string out;
  snprintf(buf, sizeof(buf),
           "%-8s  %-16s %4s %6s %8s %7s %7s %5s %5s %7s %7s %7s %5s %4s  %-8s "
           "%s\n",
           "client", "topic", "part", "msgs", "bytes", "msg/s", "lat avg",
           "min", "max", "p50", "p99", "total", "seq", "gaps", "session",
           "mark");
  out += buf;
  if (v.rows.empty())
    out += "(waiting for the first monitoring records)\n";
  for (const auto &kv : v.rows) {
    const demo_row_key &key = kv.first;
    const demo_row &r = kv.second;
    int64_t dups;
    int64_t gaps = demo_view_gaps(v, &key, &dups);
    double rate = r.window_size > 0 ? static_cast<double>(r.count) * 1000.0 /
                                          static_cast<double>(r.window_size)
                                    : 0.0;
    char lat[5][24];
    if (r.count > 0) {
      snprintf(lat[0], sizeof(lat[0]), "%.1f",
               static_cast<double>(r.latency_sum) /
                   static_cast<double>(r.count));
      snprintf(lat[1], sizeof(lat[1]), "%" PRId64, r.latency_min);
      snprintf(lat[2], sizeof(lat[2]), "%" PRId64, r.latency_max);
    } else {
      snprintf(lat[0], sizeof(lat[0]), "-");
      snprintf(lat[1], sizeof(lat[1]), "-");
      snprintf(lat[2], sizeof(lat[2]), "-");
    }
    /* Estimates from the histograms, within the pass's exact extremes. */
    for (int i = 0; i < 2; i++) {
      double q = w4_latency_hist_quantile(r.hist, i ? 0.99 : 0.5);
      if (q < 0) {
        snprintf(lat[3 + i], sizeof(lat[3 + i]), "-");
        continue;
      }
      q = std::min(std::max(q, static_cast<double>(r.latency_min)),
                   static_cast<double>(r.latency_max));
      snprintf(lat[3 + i], sizeof(lat[3 + i]), "%.1f", q);
    }
    std::string mark = r.empty ? "empty" : "";
    if (r.final)
      mark += mark.empty() ? "final" : " final";
    snprintf(buf, sizeof(buf),
             "%-8s  %-16s %4" PRId32 " %6" PRId64 " %8" PRId64
             " %7.1f %7s %5s %5s %7s %7s %7" PRId64 " %5" PRId64 " %4" PRId64
             "  %-8.8s %s\n",
             std::get<0>(key) == DEMO_PRODUCER ? "producer" : "consumer",
             std::get<1>(key).c_str(), std::get<2>(key), r.count, r.bytes, rate,
             lat[0], lat[1], lat[2], lat[3], lat[4], r.total, r.last_seq,
             gaps + dups, r.session_id.c_str(), mark.c_str());
    out += buf;
  }
  return out;
}

/* Monitoring record production: completes, encodes, frames and produces one
 * record. The publishing thread, inside the publish pass, without `lock`. */
#include "interceptors/w4ic.h"
#include "monitoring/histogram_encode.h"
#include "monitoring/offsets_encode.h"

#include <cerrno>
#include <cstring>

/* Takes the range of the windows in the recent-window ring, then stores the
 * record's own window in it, overwriting the oldest once full. */
static void w4ic_recent_windows(timebuckets_recent *r, MonitoringMessage *msg) {
  bool any = false;
  int64_t lo = 0, hi = 0;
  for (int i = 0; i < r->size; i++) {
    int64_t w = r->windows[(r->idx + i) % r->size];
    if (w == -1)
      continue;
    if (!any || w < lo)
      lo = w;
    if (!any || w > hi)
      hi = w;
    any = true;
  }
  if (any) {
    msg->min_recent_window = lo;
    msg->max_recent_window = hi;
  }
  r->windows[r->idx] = msg->window;
  r->idx = (r->idx + 1) % r->size;
}

/* Makes room for need bytes in the record buffer, which only grows; false
 * (and the buffer none) when the memory cannot be had. */
static bool w4ic_record_buf_reserve(w4ic *ic, size_t need) {
  if (need <= ic->record_buf_size)
    return true;
  ic_free(ic->record_buf);
  ic->record_buf_size = 2 * (need - 1) + 34;
  ic->record_buf = static_cast<unsigned char *>(ic_malloc(ic->record_buf_size));
  if (ic->record_buf)
    return true;
  w4ic_log0(ic, 0, "Failed to allocate %zd bytes for protobuf: %s",
            ic->record_buf_size, strerror(errno));
  ic->record_buf_size = 0;
  return false;
}

/* Completes, encodes, frames and produces one record, with the window's
 * latency histogram after the generated fields when latency_counts are
 * given, and its offset range last when offsets are given and not empty;
 * the publishing thread, without `lock`. */
void w4ic_produce_message(w4ic *ic, tp *tp, MonitoringMessage *msg, int final,
                          int64_t now, const uint32_t *latency_counts,
                          const offset_range *offsets) {
  msg->client_type = static_cast<uint32_t>(ic->client_type);
  string_encode_callback(&msg->client_id, ic->client_id);
  string_encode_callback(&msg->group_id, ic->group_id);
  string_encode_callback(&msg->session_id, ic->session_id);
  string_encode_callback(&msg->cluster_id, ic->cluster_id);
  string_encode_callback(&msg->reserved_23, nullptr);
  msg->sequence = tp->seq++;
  msg->timestamp = now;
  string_encode_callback(&msg->topic, tp->topic);
  msg->partition = tp->partition;
  msg->window_size = static_cast<int64_t>(ic->publishms);
  if (final)
    msg->final = true;
  w4ic_recent_windows(&tp->recent, msg);

  size_t size = 0;
  if (!pb_get_encoded_size(&size, monitoring_MonitoringMessage_fields, msg))
    return; /* cannot happen for this schema; dropped like a failed alloc */
  /* Counts that do not add up to the record's (a wrapped one) are left
   * out: a record without histogram. */
  size_t histogram_size =
      latency_counts ? histogram_encoded_size(latency_counts, msg->count) : 0;
  size += histogram_size;
  /* Fields 27 and 28 come last, after the histogram's 25 and 26. */
  size_t offsets_size = offsets ? offset_range_encoded_size(offsets) : 0;
  size += offsets_size;
  if (!w4ic_record_buf_reserve(ic, size + 1))
    return;

  ic->record_buf[0] = W4_RECORD_MAGIC;
  pb_ostream_t stream = pb_ostream_from_buffer(ic->record_buf + 1, size);
  if (!pb_encode(&stream, monitoring_MonitoringMessage_fields, msg) ||
      (histogram_size && !histogram_encode(&stream, latency_counts)) ||
      (offsets_size && !offset_range_encode(&stream, offsets)))
    return;

  w4ic_log0(ic, 1,
            "Producing %srecord (%zd bytes) to W4 topic %s for %s [%d] "
            "window %ld",
            msg->count == 0 ? "empty " : "", size + 1,
            rd_kafka_topic_name(ic->mon_rkt), tp->topic, tp->partition,
            static_cast<long>(msg->window));
  if (rd_kafka_produce(ic->mon_rkt, RD_KAFKA_PARTITION_UA, RD_KAFKA_MSG_F_COPY,
                       ic->record_buf, size + 1, nullptr, 0, nullptr) == -1)
    w4ic_log0(ic, 1, "W4 produce() failed: %s",
              rd_kafka_err2str(rd_kafka_last_error()));
}

/* Decoding and printing of monitoring records, shared by the tools. */
#include "w4record.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <pb_decode.h>

/* Where the string decoder puts one string field. */
struct w4_string_slot {
  std::string *value;
  bool present;
};

/* nanopb decode callback: copies a length-delimited string field into the
 * slot's std::string; the stream is limited to the field's bytes. */
static bool w4_string_decode(pb_istream_t *stream, const pb_field_t *field,
                             void **arg) {
  (void)field;
  w4_string_slot *slot = static_cast<w4_string_slot *>(*arg);
  size_t len = stream->bytes_left;
  slot->value->assign(len, '\0');
  slot->present = true;
  return len == 0 ||
         pb_read(stream, reinterpret_cast<pb_byte_t *>(&(*slot->value)[0]),
                 len);
}

/* Points a callback slot of the message at a string slot. */
static void w4_string_attach(pb_callback_t *cb, w4_string_slot *slot) {
  cb->funcs.decode = w4_string_decode;
  cb->arg = slot;
}

/* Reads the varint at *p, before end, and moves *p past it; false when it
 * runs past end or beyond ten bytes. */
static bool w4_varint_read(const pb_byte_t **p, const pb_byte_t *end,
                           uint64_t *v) {
  uint64_t r = 0;
  for (int shift = 0; shift < 64 && *p < end; shift += 7) {
    pb_byte_t b = *(*p)++;
    r |= static_cast<uint64_t>(b & 0x7f) << shift;
    if (!(b & 0x80)) {
      *v = r;
      return true;
    }
  }
  return false;
}

/* Appends the varints in [p, end) to *values: at most as many as a
 * histogram has buckets, each fitting T. */
template <typename T>
static bool w4_hist_values_read(const pb_byte_t *p, const pb_byte_t *end,
                                std::vector<T> *values) {
  while (p < end) {
    uint64_t v;
    if (values->size() >= static_cast<size_t>(HISTOGRAM_BUCKET_CNT) ||
        !w4_varint_read(&p, end, &v) ||
        static_cast<uint64_t>(static_cast<T>(v)) != v)
      return false;
    values->push_back(static_cast<T>(v));
  }
  return true;
}

/* True for the fields that the generated table leaves out: the histogram's
 * and the offset range's. */
static bool w4_tail_field(uint64_t field) {
  return field == HISTOGRAM_INDEX_FIELD || field == HISTOGRAM_COUNT_FIELD ||
         field == OFFSETS_MIN_FIELD || field == OFFSETS_MAX_FIELD;
}

/* Takes one offset field's value (the last one wins, as in any proto3
 * reader); false when it is not a varint. */
static bool w4_offset_field_read(uint64_t field, uint64_t wire_type, uint64_t v,
                                 w4_record *rec) {
  if (wire_type != PB_WT_VARINT)
    return false;
  if (field == OFFSETS_MIN_FIELD) {
    rec->min_offset = static_cast<int64_t>(v);
    rec->has_min_offset = true;
  } else {
    rec->max_offset = static_cast<int64_t>(v);
    rec->has_max_offset = true;
  }
  return true;
}

/* Reads the fields of a message that the generated table leaves out: walks
 * its fields and takes the histogram's 25 and 26, packed or not, and the
 * offset range's 27 and 28. False, with a reason, when they do not read as
 * numbers. *known_len is the length of the message without those fields
 * when they end it (as the plug-in writes them), else the whole length:
 * nanopb then decodes no more than that, and does not search its table for
 * the fields it does not know. A walk that finds the message broken stops
 * there, and nanopb says why. A walk of its own: nanopb's stream reads byte
 * by byte through a callback. */
static bool w4_tail_fields_read(const pb_byte_t *start, size_t len,
                                w4_record *rec, size_t *known_len,
                                std::string *err) {
  const pb_byte_t *p = start, *end = start + len, *tail = nullptr;
  *known_len = len;
  while (p < end) {
    uint64_t key, v = 0;
    const pb_byte_t *at = p;
    if (!w4_varint_read(&p, end, &key))
      return true;
    uint64_t field = key >> 3;
    const pb_byte_t *from = p, *to;
    switch (key & 7) {
    case PB_WT_VARINT:
      if (!w4_varint_read(&p, end, &v))
        return true;
      break;
    case PB_WT_64BIT:
      p += end - p < 8 ? end - p : 8;
      break;
    case PB_WT_STRING:
      if (!w4_varint_read(&p, end, &v) || v > static_cast<uint64_t>(end - p))
        return true;
      from = p;
      p += v;
      break;
    case PB_WT_32BIT:
      p += end - p < 4 ? end - p : 4;
      break;
    default:
      return true;
    }
    if (!w4_tail_field(field)) {
      tail = nullptr;
      continue;
    }
    if (!tail)
      tail = at;
    if (field == OFFSETS_MIN_FIELD || field == OFFSETS_MAX_FIELD) {
      if (!w4_offset_field_read(field, key & 7, v, rec)) {
        *err = "offset fields that are not varints";
        return false;
      }
      continue;
    }
    to = p;
    bool ok = (key & 7) == PB_WT_STRING || (key & 7) == PB_WT_VARINT;
    if (ok && field == HISTOGRAM_INDEX_FIELD)
      ok = w4_hist_values_read(from, to, &rec->hist_index);
    else if (ok)
      ok = w4_hist_values_read(from, to, &rec->hist_count);
    if (!ok) {
      *err = "histogram fields that are not numbers, or too many of them";
      return false;
    }
  }
  if (tail && p == end)
    *known_len = static_cast<size_t>(tail - start);
  return true;
}

/* Checks what every record of the plug-in carries, so that a value cut short
 * at a field boundary (still valid protobuf) is not taken for a record. */
static bool w4_record_complete(const w4_record &rec, std::string *err) {
  if (rec.session_id.size() != 32) {
    *err = "no 32-digit session_id";
    return false;
  }
  if (rec.msg.window_size == 0) {
    *err = "no window_size";
    return false;
  }
  return true;
}

bool w4_record_decode(const void *value, size_t len, w4_record *rec,
                      std::string *err) {
  const pb_byte_t *bytes = static_cast<const pb_byte_t *>(value);
  if (len == 0 || !bytes) {
    *err = "empty value";
    return false;
  }
  if (bytes[0] != 0x7f) {
    char buf[64];
    snprintf(buf, sizeof(buf), "first byte 0x%02x, not 0x7f", bytes[0]);
    *err = buf;
    return false;
  }

  /* A record reused for every value keeps the room of its histogram. */
  std::vector<uint32_t> hist_index = std::move(rec->hist_index);
  std::vector<uint64_t> hist_count = std::move(rec->hist_count);
  hist_index.clear();
  hist_count.clear();
  *rec = w4_record();
  rec->hist_index = std::move(hist_index);
  rec->hist_count = std::move(hist_count);
  monitoring_MonitoringMessage init = monitoring_MonitoringMessage_init_zero;
  rec->msg = init;
  size_t known_len;
  if (!w4_tail_fields_read(bytes + 1, len - 1, rec, &known_len, err))
    return false;
  w4_string_slot client_id = {&rec->client_id, false};
  w4_string_slot group_id = {&rec->group_id, false};
  w4_string_slot session_id = {&rec->session_id, false};
  w4_string_slot topic = {&rec->topic, false};
  w4_string_slot cluster_id = {&rec->cluster_id, false};
  w4_string_attach(&rec->msg.client_id, &client_id);
  w4_string_attach(&rec->msg.group_id, &group_id);
  w4_string_attach(&rec->msg.session_id, &session_id);
  w4_string_attach(&rec->msg.topic, &topic);
  w4_string_attach(&rec->msg.cluster_id, &cluster_id);

  pb_istream_t stream = pb_istream_from_buffer(bytes + 1, known_len);
  bool ok = pb_decode(&stream, monitoring_MonitoringMessage_fields, &rec->msg);

  /* The slots live on this stack frame: leave no pointer to them behind. */
  monitoring_MonitoringMessage *m = &rec->msg;
  m->client_id = m->group_id = m->session_id = m->topic = m->cluster_id =
      m->reserved_23 = init.client_id;
  rec->has_group_id = group_id.present;
  rec->has_cluster_id = cluster_id.present;

  if (!ok) {
    *err = std::string("protobuf: ") + PB_GET_ERROR(&stream);
    return false;
  }
  return w4_record_complete(*rec, err);
}

/* Adds v to *c, saturating. */
static void w4_hist_count_add(uint64_t *c, uint64_t v) {
  *c = *c > UINT64_MAX - v ? UINT64_MAX : *c + v;
}

void w4_latency_hist_merge(w4_latency_hist *into, const w4_latency_hist &from) {
  for (int i = 0; i < HISTOGRAM_BUCKET_CNT; i++)
    w4_hist_count_add(&into->counts[i], from.counts[i]);
  w4_hist_count_add(&into->total, from.total);
}

void w4_latency_hist_add(w4_latency_hist *h, const w4_record &rec) {
  for (size_t i = 0; i < rec.hist_index.size() && i < rec.hist_count.size();
       i++) {
    uint32_t b = rec.hist_index[i];
    if (b >= static_cast<uint32_t>(HISTOGRAM_BUCKET_CNT))
      continue;
    w4_hist_count_add(&h->counts[b], rec.hist_count[i]);
    w4_hist_count_add(&h->total, rec.hist_count[i]);
  }
}

uint64_t w4_hist_bucket_low(int i) {
  return i == 0 ? 0 : static_cast<uint64_t>(histogram_bounds[i - 1]) + 1;
}

double w4_latency_hist_quantile(const w4_latency_hist &h, double q) {
  if (h.total == 0)
    return -1;
  double rank = q * static_cast<double>(h.total);
  if (rank < 1)
    rank = 1;
  double before = 0;
  for (int i = 0; i < HISTOGRAM_BUCKET_CNT; i++) {
    double c = static_cast<double>(h.counts[i]);
    if (c == 0 || before + c < rank) {
      before += c;
      continue;
    }
    if (i == HISTOGRAM_BUCKET_CNT - 1)
      return static_cast<double>(HISTOGRAM_CLAMP_MS);
    double lo = static_cast<double>(w4_hist_bucket_low(i));
    double hi = static_cast<double>(histogram_bounds[i]);
    return lo + (hi - lo) * (rank - before) / c;
  }
  return static_cast<double>(histogram_bounds[HISTOGRAM_BUCKET_CNT - 2]);
}

size_t w4_utf8_len(const std::string &s, size_t i) {
  unsigned char c = static_cast<unsigned char>(s[i]);
  size_t n;
  uint32_t cp;
  if (c >= 0xc2 && c <= 0xdf) {
    n = 2;
    cp = c & 0x1f;
  } else if (c >= 0xe0 && c <= 0xef) {
    n = 3;
    cp = c & 0x0f;
  } else if (c >= 0xf0 && c <= 0xf4) {
    n = 4;
    cp = c & 0x07;
  } else {
    return 0;
  }
  if (i + n > s.size())
    return 0;
  for (size_t k = 1; k < n; k++) {
    unsigned char cc = static_cast<unsigned char>(s[i + k]);
    if ((cc & 0xc0) != 0x80)
      return 0;
    cp = (cp << 6) | (cc & 0x3f);
  }
  /* Overlong forms, surrogates and values beyond U+10FFFF are not text. */
  if ((n == 3 && cp < 0x800) || (n == 4 && cp < 0x10000) || cp > 0x10ffff ||
      (cp >= 0xd800 && cp <= 0xdfff))
    return 0;
  return n;
}

void w4_json_string(std::string *out, const std::string &s) {
  out->push_back('"');
  for (size_t i = 0; i < s.size();) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    char buf[8];
    if (c == '"' || c == '\\') {
      out->push_back('\\');
      out->push_back(static_cast<char>(c));
    } else if (c == '\n') {
      out->append("\\n");
    } else if (c == '\r') {
      out->append("\\r");
    } else if (c == '\t') {
      out->append("\\t");
    } else if (c < 0x20 || c == 0x7f) {
      snprintf(buf, sizeof(buf), "\\u%04x", c);
      out->append(buf);
    } else if (c >= 0x80) {
      size_t n = w4_utf8_len(s, i);
      if (n) {
        out->append(s, i, n);
        i += n;
        continue;
      }
      /* A byte that is not UTF-8 is shown as the character of its value. */
      snprintf(buf, sizeof(buf), "\\u%04x", c);
      out->append(buf);
    } else {
      out->push_back(static_cast<char>(c));
    }
    i++;
  }
  out->push_back('"');
}

/* Appends ,"name":value for a signed integer field. */
static void w4_json_int(std::string *out, const char *name, int64_t v) {
  char buf[96];
  snprintf(buf, sizeof(buf), ",\"%s\":%" PRId64, name, v);
  out->append(buf);
}

/* Appends ,"name":"value" for a string field. */
static void w4_json_str(std::string *out, const char *name,
                        const std::string &v) {
  out->append(",\"");
  out->append(name);
  out->append("\":");
  w4_json_string(out, v);
}

bool w4_record_percentiles(const w4_record &rec, double *p50, double *p99) {
  w4_latency_hist h;
  w4_latency_hist_add(&h, rec);
  if (h.total == 0)
    return false;
  double q[2] = {0.5, 0.99};
  double *out[2] = {p50, p99};
  for (int i = 0; i < 2; i++) {
    double v = w4_latency_hist_quantile(h, q[i]);
    /* The record's own extremes are exact: no estimate lies outside. */
    if (v < static_cast<double>(rec.msg.min_latency))
      v = static_cast<double>(rec.msg.min_latency);
    if (v > static_cast<double>(rec.msg.max_latency))
      v = static_cast<double>(rec.msg.max_latency);
    *out[i] = v;
  }
  return true;
}

std::string w4_record_json(const w4_record &rec) {
  const monitoring_MonitoringMessage &m = rec.msg;
  char buf[64];
  snprintf(buf, sizeof(buf), "{\"client_type\":%" PRIu32, m.client_type);
  std::string out = buf;
  w4_json_str(&out, "client_id", rec.client_id);
  w4_json_str(&out, "group_id", rec.group_id);
  w4_json_str(&out, "session_id", rec.session_id);
  w4_json_int(&out, "sequence", m.sequence);
  w4_json_int(&out, "window", m.window);
  w4_json_int(&out, "timestamp", m.timestamp);
  w4_json_str(&out, "topic", rec.topic);
  w4_json_int(&out, "partition", m.partition);
  w4_json_int(&out, "count", m.count);
  w4_json_int(&out, "aggregate_bytes", m.aggregate_bytes);
  w4_json_int(&out, "latency_sum", m.latency_sum);
  w4_json_int(&out, "min_latency", m.min_latency);
  w4_json_int(&out, "max_latency", m.max_latency);
  w4_json_int(&out, "window_size", m.window_size);
  w4_json_int(&out, "record_kind", m.record_kind);
  out.append(m.final ? ",\"final\":true" : ",\"final\":false");
  w4_json_int(&out, "min_recent_window", m.min_recent_window);
  w4_json_int(&out, "max_recent_window", m.max_recent_window);
  w4_json_str(&out, "cluster_id", rec.cluster_id);
  if (!rec.hist_index.empty()) {
    out.append(",\"latency_histogram\":[");
    for (size_t i = 0; i < rec.hist_index.size(); i++) {
      uint32_t b = rec.hist_index[i];
      uint64_t c = i < rec.hist_count.size() ? rec.hist_count[i] : 0;
      if (b + 1 < static_cast<uint32_t>(HISTOGRAM_BUCKET_CNT))
        snprintf(buf, sizeof(buf),
                 "%s{\"le_ms\":%" PRIu32 ",\"count\":%" PRIu64 "}",
                 i ? "," : "", histogram_bounds[b], c);
      else
        snprintf(buf, sizeof(buf), "%s{\"le_ms\":null,\"count\":%" PRIu64 "}",
                 i ? "," : "", c);
      out.append(buf);
    }
    out.push_back(']');
    double p50, p99;
    w4_record_percentiles(rec, &p50, &p99);
    snprintf(buf, sizeof(buf), ",\"p50_ms\":%.1f,\"p99_ms\":%.1f", p50, p99);
    out.append(buf);
  }
  if (rec.has_min_offset)
    w4_json_int(&out, "min_offset", rec.min_offset);
  if (rec.has_max_offset)
    w4_json_int(&out, "max_offset", rec.max_offset);
  out.push_back('}');
  return out;
}

std::string w4_clock_str(int64_t ms) {
  time_t secs = static_cast<time_t>(ms / 1000);
  struct tm tm;
  char buf[32];
  localtime_r(&secs, &tm);
  size_t n = strftime(buf, sizeof(buf), "%H:%M:%S", &tm);
  snprintf(buf + n, sizeof(buf) - n, ".%03d", static_cast<int>(ms % 1000));
  return buf;
}

/* "YYYY-MM-DD HH:MM:SS.mmm" of a millisecond time in local time. */
static std::string w4_datetime_str(int64_t ms) {
  time_t secs = static_cast<time_t>(ms / 1000);
  struct tm tm;
  char buf[32];
  localtime_r(&secs, &tm);
  strftime(buf, sizeof(buf), "%Y-%m-%d ", &tm);
  return buf + w4_clock_str(ms);
}

std::string w4_record_line(const w4_record &rec) {
  const monitoring_MonitoringMessage &m = rec.msg;
  char buf[512];
  std::string out = w4_datetime_str(m.timestamp);
  out += m.client_type == W4_CLIENT_CONSUMER ? " consumer " : " producer ";
  out += rec.client_id;
  if (rec.has_group_id)
    out += " (group " + rec.group_id + ")";
  snprintf(buf, sizeof(buf),
           "  %s [%" PRId32 "]  seq %" PRId64 "  session %.8s",
           rec.topic.c_str(), m.partition, m.sequence, rec.session_id.c_str());
  out += buf;
  if (m.record_kind == W4_RECORD_EMPTY_WINDOW) {
    snprintf(buf, sizeof(buf), "  empty window (%" PRId64 " ms)",
             m.window_size);
  } else {
    double avg = m.count ? static_cast<double>(m.latency_sum) /
                               static_cast<double>(m.count)
                         : 0.0;
    snprintf(buf, sizeof(buf),
             "  window %s +%" PRId64 " ms  %" PRId64 " msgs %" PRId64
             " bytes  latency avg %.1f min %" PRId64 " max %" PRId64 " ms",
             w4_clock_str(m.window).c_str(), m.window_size, m.count,
             m.aggregate_bytes, avg, m.min_latency, m.max_latency);
    out += buf;
    double p50, p99;
    if (w4_record_percentiles(rec, &p50, &p99)) {
      snprintf(buf, sizeof(buf), "  p50 %.1f p99 %.1f ms", p50, p99);
      out += buf;
    }
    buf[0] = '\0';
  }
  out += buf;
  if (m.record_kind != W4_RECORD_DATA &&
      m.record_kind != W4_RECORD_EMPTY_WINDOW) {
    snprintf(buf, sizeof(buf), "  kind %" PRIu32, m.record_kind);
    out += buf;
  }
  if (rec.has_min_offset || rec.has_max_offset) {
    /* A record with one of the two is not sane; shown as it came. */
    std::string lo = rec.has_min_offset ? std::to_string(rec.min_offset) : "?";
    std::string hi = rec.has_max_offset ? std::to_string(rec.max_offset) : "?";
    out += "  offsets " + lo + "-" + hi;
  }
  if (m.final)
    out += "  FINAL";
  if (rec.has_cluster_id)
    out += "  cluster " + rec.cluster_id;
  return out;
}

/* The page's JSON writer. */
#include "exporter/json_writer.h"

#include "exporter/page.h"

#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>

/* Separates the next value from the one before, if any. */
static void w4_jw_next(w4_json_writer *w) {
  if (w->comma)
    w->out.push_back(',');
  w->comma = true;
}

/* Opens a container: its first value needs no comma. */
static void w4_jw_open(w4_json_writer *w, char c) {
  w4_jw_next(w);
  w->out.push_back(c);
  w->comma = false;
}

/* Closes a container, which is a value of the one around it. */
static void w4_jw_close(w4_json_writer *w, char c) {
  w->out.push_back(c);
  w->comma = true;
}

void w4_jw_begin_object(w4_json_writer *w) { w4_jw_open(w, '{'); }

void w4_jw_end_object(w4_json_writer *w) { w4_jw_close(w, '}'); }

void w4_jw_begin_array(w4_json_writer *w) { w4_jw_open(w, '['); }

void w4_jw_end_array(w4_json_writer *w) { w4_jw_close(w, ']'); }

void w4_jw_key(w4_json_writer *w, const std::string &name) {
  w4_jw_next(w);
  w4_page_json_string(&w->out, name);
  w->out.push_back(':');
  w->comma = false;
}

void w4_jw_string(w4_json_writer *w, const std::string &v) {
  w4_jw_next(w);
  w4_page_json_string(&w->out, v);
}

void w4_jw_uint(w4_json_writer *w, uint64_t v) {
  char buf[32];
  snprintf(buf, sizeof(buf), "%" PRIu64, v);
  w4_jw_next(w);
  w->out.append(buf);
}

void w4_jw_int_or_null(w4_json_writer *w, int64_t v) {
  if (v < 0) {
    w4_jw_null(w);
    return;
  }
  char buf[32];
  snprintf(buf, sizeof(buf), "%" PRId64, v);
  w4_jw_next(w);
  w->out.append(buf);
}

void w4_jw_double(w4_json_writer *w, double v) {
  if (!std::isfinite(v)) {
    w4_jw_null(w);
    return;
  }
  char buf[64];
  snprintf(buf, sizeof(buf), "%.3f", v);
  /* 12.500 reads better as 12.5. */
  char *end = buf + strlen(buf);
  while (end > buf && end[-1] == '0')
    *--end = '\0';
  if (end > buf && end[-1] == '.')
    *--end = '\0';
  w4_jw_next(w);
  w->out.append(buf);
}

void w4_jw_bool(w4_json_writer *w, bool v) {
  w4_jw_next(w);
  w->out.append(v ? "true" : "false");
}

void w4_jw_null(w4_json_writer *w) {
  w4_jw_next(w);
  w->out.append("null");
}

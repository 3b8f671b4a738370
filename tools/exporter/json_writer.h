/* A small writer of the page's JSON: it places the commas, escapes strings
 * through w4_page_json_string and formats numbers as the page expects. */
#pragma once

#include <cstdint>
#include <string>

struct w4_json_writer {
  std::string out;
  bool comma = false; /* a value has been written: the next one needs a comma */
};

/* Opens and closes an object or an array. */
void w4_jw_begin_object(w4_json_writer *w);
void w4_jw_end_object(w4_json_writer *w);
void w4_jw_begin_array(w4_json_writer *w);
void w4_jw_end_array(w4_json_writer *w);

/* The name of the next member of an object. */
void w4_jw_key(w4_json_writer *w, const std::string &name);

/* Values, in an array or after a key. */
void w4_jw_string(w4_json_writer *w, const std::string &v);
void w4_jw_uint(w4_json_writer *w, uint64_t v);
/* A signed number, or null when it is below zero (nothing seen). */
void w4_jw_int_or_null(w4_json_writer *w, int64_t v);
/* A number with up to three decimals (12.5, not 12.500), or null when it is
 * not finite. */
void w4_jw_double(w4_json_writer *w, double v);
void w4_jw_bool(w4_json_writer *w, bool v);
void w4_jw_null(w4_json_writer *w);

/* The exporter's own page: the JSON of the streams, their partitions, the
 * clients and the last hour, which the page (page/index.html, page.js and
 * page.css, embedded at build time with Chart.js) fetches from /api/... and
 * draws. Read-only: nothing here changes what it reads. */
#pragma once

#include "exporter/aggregate.h"
#include "exporter/audit.h"
#include "exporter/history.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

/* What the JSON is made from; the caller holds the lock that guards it. */
struct w4_page_view {
  const w4_aggregate *agg = nullptr;
  const w4_audit *audit = nullptr;
  const w4_history *history = nullptr;
  bool audit_on = true; /* the audit's counters are meaningful */
  bool gaps_on = true;  /* the missing-record counters are meaningful */
  int64_t settle_ms = 0;
  int64_t wall_ms = 0; /* now */
};

/* The decoded arguments of a request's query. */
typedef std::map<std::string, std::string> w4_page_args;

/* Rows of a page of results: at most this many, whatever limit asks. */
static const size_t W4_PAGE_MAX_LIMIT = 1000;

/* /api/streams: one row per topic and consumer group (a topic that no group
 * consumed has one row for its producers), those with missing or duplicate
 * messages first; args offset, limit (default 100) and q (a part of the
 * topic's name). */
std::string w4_page_streams_json(const w4_page_view &v,
                                 const w4_page_args &args);

/* /api/partitions: the partitions of one stream, args topic, group (absent
 * for the producers' row), offset and limit (default 100). */
std::string w4_page_partitions_json(const w4_page_view &v,
                                    const w4_page_args &args);

/* /api/clients: producers and consumers seen; args offset and limit
 * (default 100). */
std::string w4_page_clients_json(const w4_page_view &v,
                                 const w4_page_args &args);

/* /api/history: the finished steps of the last hour; rates are taken over
 * the history's rate span. */
std::string w4_page_history_json(const w4_page_view &v);

/* Whether w4_page_api answers path (without making the answer). */
bool w4_page_api_known(const std::string &path);

/* Answers a path under /api/ into *body; false when there is no such path. */
bool w4_page_api(const w4_page_view &v, const std::string &path,
                 const w4_page_args &args, std::string *body);

/* A file of the page, embedded at build time: its bytes and content type;
 * false when there is no such path. */
bool w4_page_asset(const std::string &path, const unsigned char **data,
                   size_t *len, const char **content_type);

/* Appends s as a JSON string literal: quotes, backslashes and control
 * characters escaped, and <, >, & as well (the text stays inert wherever it
 * is pasted); bytes that are not UTF-8 become U+FFFD. */
void w4_page_json_string(std::string *out, const std::string &s);

/* The demo's view of the monitoring topic: per client and topic-partition
 * the latest publish pass, sequence checking, and the accounting of
 * messages against the records' counts. */
#pragma once

#include "exporter/aggregate.h"
#include "exporter/audit.h"
#include "w4record.h"

#include <cstdint>
#include <librdkafka/rdkafka.h>
#include <map>
#include <set>
#include <string>
#include <tuple>

/* Which of the demo's clients a record speaks for. */
enum demo_role { DEMO_PRODUCER = 0, DEMO_CONSUMER = 1 };

/* One table row: a client's topic-partition. The aggregates cover the
 * records of the latest publish pass seen for it (one pass may hold records
 * of several windows). */
struct demo_row {
  int64_t pass_ts = -1; /* timestamp of that pass */
  int64_t count = 0;
  int64_t bytes = 0;
  int64_t latency_sum = 0;
  int64_t latency_min = 0;
  int64_t latency_max = 0;
  int64_t window_size = 0;
  int64_t total = 0; /* messages over every record of the row */
  int64_t last_seq = -1;
  std::string session_id;
  bool final = false;
  bool empty = false;   /* the latest record was an empty-window record */
  w4_latency_hist hist; /* of that pass's records that carry one */
};

/* Sequence numbers seen for one client, session and topic-partition. */
struct demo_seq_track {
  std::set<int64_t> seqs;
  int64_t duplicates = 0;
};

typedef std::tuple<int, std::string, int32_t> demo_row_key;
typedef std::tuple<int, std::string, std::string, int32_t> demo_seq_key;

struct demo_view {
  std::string producer_id; /* client ids of the demo's own clients */
  std::string consumer_id;
  int64_t records = 0;         /* records of the demo's clients */
  int64_t foreign = 0;         /* records of other clients, ignored */
  int64_t bad = 0;             /* values that are not monitoring records */
  int64_t counted[2] = {0, 0}; /* sum of count per role */
  std::map<demo_row_key, demo_row> rows;
  std::map<demo_seq_key, demo_seq_track> seqs;
  /* The delivery audit of the run: every window of a topic-partition is
   * taken as one, settled when the run ends. */
  w4_audit audit;
};

/* Takes one message of the monitoring topic into the view; a value that is
 * not a record is counted and reported on stderr. */
void demo_view_add(demo_view *v, const rd_kafka_message_t *m);

/* Missing sequence numbers over all tracks (of one row when key is given),
 * and the number of duplicate records in *dups. */
int64_t demo_view_gaps(const demo_view &v, const demo_row_key *key,
                       int64_t *dups);

/* Judges the audit at the end of the run; its sums over every topic, and
 * in *pending the messages not consumed yet. */
w4_audit_totals demo_view_audit(demo_view *v, uint64_t *pending);

/* True when every row's latest record is marked final. */
bool demo_view_all_final(const demo_view &v);

/* The table, one line per row, newline-terminated. */
std::string demo_view_table(const demo_view &v);

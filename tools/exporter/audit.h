/* The delivery audit: per cluster, topic, partition and window, the messages
 * that producers had acknowledged against the messages that each consumer
 * group consumed there.
 *
 * A group is audited on a topic-partition of a cluster only where it
 * consumes, from the first window it consumed there (that window counts only
 * when the group consumed all of it: a group that starts at the latest
 * offset starts in the middle of one). A window the group consumed
 * completely is judged once no record for it has come for settle_ms; an
 * excess is duplicate, also when it comes later (a replay). A window with a
 * shortfall is judged only once the group has moved past it on that
 * partition: it consumed from a window that starts at least settle_ms after
 * the short one ends, as told by records that arrived settle_ms ago. Until
 * then the shortfall is pending: lag, not loss. A group that consumes nothing
 * on a partition for horizon_ms stops being audited there; its pending
 * messages count as unconsumed, and it is audited again from the window
 * where it resumes.
 *
 * Times named *_ms are arrivals on the caller's monotonic clock, except
 * window starts, which are the messages' own time. Everything runs under the
 * caller's lock. */
#pragma once

#include "w4record.h"

#include <climits>
#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <tuple>
#include <unordered_map>
#include <utility>
#include <vector>

/* The buckets and counts of a window's latency histograms, as they came. */
typedef std::vector<std::pair<uint32_t, uint64_t>> w4_audit_buckets;

/* Offsets of a window's messages as records of one side told them: the
 * lowest and highest, and whether every record with messages carried them
 * (clients without the offsets setting send none). */
struct w4_audit_offsets {
  int64_t min = INT64_MAX;
  int64_t max = -1;
  bool unknown = false; /* a record with messages came without offsets */
};

/* True when every record told its offsets and at least one did. */
static inline bool w4_audit_offsets_known(const w4_audit_offsets &o) {
  return !o.unknown && o.max >= 0;
}

/* One group's consumption of one window, and what its judgement counted. */
struct w4_audit_consumed {
  int64_t messages = 0;
  w4_audit_offsets offsets;
  w4_audit_buckets hist;
  bool judged = false;  /* judged, or left out (see audited) */
  bool audited = false; /* judged and counted in the group's totals */
  int64_t counted_missing = 0;
  int64_t counted_duplicate = 0;
};

/* One window of a topic-partition. */
struct w4_audit_window {
  int64_t window = 0;
  int64_t window_size = 0;
  int64_t produced = 0;
  w4_audit_offsets produced_offsets; /* the producers' acknowledged ones */
  std::map<std::string, w4_audit_consumed> consumed; /* by consumer group */
  int64_t first_ms = 0; /* arrival of its first record */
  int64_t last_ms = 0;  /* arrival of its latest record */
};

/* Windows by start and length, in order. */
typedef std::map<std::pair<int64_t, int64_t>, w4_audit_window> w4_audit_windows;

/* One consumer group on one topic-partition of a cluster. */
struct w4_audit_member {
  int64_t start = -1;       /* the first window audited; -1 none yet */
  bool start_fixed = false; /* its first window has been judged */
  int64_t progress = -1;    /* the newest window it consumed from */
  int64_t passed = -1;      /* the same, by records settle_ms old */
  int64_t floor = -1;       /* windows up to here were given up */
  int64_t next = -1;        /* every window below is judged for it */
  int64_t offset = -1;      /* the highest offset it consumed, -1: none */
  int64_t last_ms = 0;      /* arrival of its latest consumption */
  bool stopped = false;     /* consumed nothing for the horizon */
  /* Its newest windows not yet settled, as they came: a few at a time, and
   * none allocated while empty. */
  std::vector<std::pair<int64_t, int64_t>> recent; /* arrival, window */
};

/* A topic-partition of a cluster: its windows in order, and the groups
 * audited on it. */
struct w4_audit_stream {
  std::string cluster_id;
  std::string topic;
  int32_t partition = 0;
  w4_audit_windows windows;
  std::map<std::string, w4_audit_member> members;
  int64_t newest = -1;   /* the newest window start with produced messages */
  int64_t acked = -1;    /* the highest offset producers acknowledged */
  int64_t released = -1; /* windows starting up to here are forgotten */
  bool produced = false; /* a producer's record has come: audited */
  int64_t last_ms = 0;   /* arrival of its latest record */
};

/* A group's counters and gauges on one topic of one cluster. */
typedef std::tuple<std::string, std::string, std::string> w4_audit_key;

/* The audit counters of one cluster, topic and consumer group. */
struct w4_audit_totals {
  uint64_t messages = 0;   /* produced in the judged windows */
  uint64_t missing = 0;    /* produced, not consumed by the group */
  uint64_t duplicate = 0;  /* consumed more often than produced */
  uint64_t unconsumed = 0; /* pending when the group stopped */
  uint64_t windows = 0;    /* judged windows */
  /* The group's consumer latencies over the judged windows, from the
   * records that carry histograms (empty when none did). */
  w4_latency_hist hist;
};

/* What a group has not judged yet on a topic of a cluster, made by each
 * tick. */
struct w4_audit_lag {
  uint64_t pending = 0; /* produced, not consumed, in windows not judged */
  int64_t lag_ms = 0;   /* newest produced window - newest consumed */
  int64_t open = 0;     /* windows not judged */
  /* Highest acknowledged offset - highest consumed, summed over the
   * partitions where both are known; -1 where none is. */
  int64_t lag_messages = -1;
};

/* A judgement that counted something: a window of one group whose
 * consumption differs from what was produced. */
struct w4_audit_row {
  std::string cluster_id;
  std::string topic;
  int32_t partition;
  int64_t window;
  int64_t window_size;
  std::string group_id;
  int64_t produced;
  int64_t consumed;
  uint64_t missing;   /* counted by this row */
  uint64_t duplicate; /* counted by this row */
  /* The offsets within which the missing messages lie, or those of the
   * duplicates (at most two ranges, first and last offset); none when the
   * records carried no offsets. */
  std::vector<std::pair<int64_t, int64_t>> ranges;
  /* The group's p99 latency in the window, ms, estimated from its records'
   * histograms; -1 when they carried none. */
  double p99_ms;
};

/* What the audit takes of a data record. */
struct w4_audit_entry {
  bool producer = false;
  std::string group_id;
  std::string topic;
  int32_t partition = 0;
  int64_t window = 0;
  int64_t window_size = 0;
  int64_t count = 0;
  bool has_offsets = false;
  int64_t min_offset = 0;
  int64_t max_offset = 0;
  w4_audit_buckets hist;
  int64_t now_ms = 0; /* arrival */
};

/* The cluster a client session named, and when it was last heard of. */
struct w4_audit_session {
  std::string cluster_id;
  int64_t last_ms = 0;
};

/* The group's p99 latency over its judged windows, ms, estimated from the
 * merged histograms (see w4_latency_hist_quantile); -1 without histograms. */
double w4_audit_totals_p99(const w4_audit_totals &t);

/* "p99 <n> ms" (or "p99 -" without histograms) for the total lines. */
std::string w4_audit_p99_str(double p99_ms);

struct w4_audit {
  int64_t settle_ms = 60000;
  int64_t max_age_ms = 3600000; /* how long a window is kept */
  int64_t horizon_ms = 3600000; /* a group idle this long has stopped */
  /* Windows that start before this (message time) are not audited: a
   * reading that began at the end of the topic has missed their first
   * records. */
  int64_t from_window = 0;
  /* By cluster id, topic and partition. */
  std::unordered_map<std::string, w4_audit_stream> streams;
  std::map<w4_audit_key, w4_audit_totals> totals;
  std::map<w4_audit_key, w4_audit_lag> lag; /* made by each tick */
  /* With a saved state, what /metrics shows: the totals as of the latest
   * save that reached the cluster, so that after a restart no counter is
   * ever seen to go down. */
  bool show_saved = false;
  std::map<w4_audit_key, w4_audit_totals> saved_totals;
  /* Client sessions and their clusters; records of a session that has not
   * named its cluster yet wait for it (settle_ms at most). */
  std::unordered_map<std::string, w4_audit_session> sessions;
  std::unordered_map<std::string, std::vector<w4_audit_entry>> parked;
  uint64_t dropped_windows = 0; /* forgotten unjudged after max_age_ms */
  uint64_t open_windows = 0;    /* windows some group has not judged */
  uint64_t late_records = 0;    /* for windows already forgotten */
  /* Of each (cluster, topic, group) with members or counters: when it was
   * last seen consuming or still audited, for w4_audit_expire. */
  std::map<w4_audit_key, int64_t> last_seen;
};

/* Takes one sane record that arrived at now_ms into the audit; only data
 * records count. Judgements that a late record changes are appended to
 * *rows when given. */
void w4_audit_add(w4_audit *a, const w4_record &rec, int64_t now_ms,
                  std::vector<w4_audit_row> *rows = nullptr);

/* Judges what is due, stops groups idle for the horizon, forgets what is no
 * longer needed and makes the lag gauges. Rows of judgements that counted a
 * shortfall or excess are appended to *rows when given. */
void w4_audit_tick(w4_audit *a, int64_t now_ms,
                   std::vector<w4_audit_row> *rows);

/* Judges what can be judged now that no more record can come (the end of a
 * bounded read): every window is settled; a shortfall that the group has
 * not moved past stays pending. */
void w4_audit_finish(w4_audit *a, std::vector<w4_audit_row> *rows);

/* Removes the counters and gauges of a cluster, topic and group expire_ms
 * after the audit settled it: it consumed nothing for that long and none of
 * its members has been audited since (each stops after the horizon, its
 * open windows given up), so its last counts stay on show for expire_ms.
 * Counters that came without a member (a loaded state) count from the
 * first call. */
void w4_audit_expire(w4_audit *a, int64_t now_ms, int64_t expire_ms);

/* Sums over every cluster, topic and group. */
w4_audit_totals w4_audit_sum(const w4_audit &a);

/* The state as bytes (times as ages at now_ms), and back into a fresh
 * audit at now_ms; false when the bytes are not a state of this format. The
 * settings (settle, ages, horizon) are not part of it. */
std::string w4_audit_save(const w4_audit &a, int64_t now_ms);
bool w4_audit_load(w4_audit *a, const std::string &bytes, int64_t now_ms);

/* The heading and one line of the plain table of rows, newline-ended. */
std::string w4_audit_table_head(void);
std::string w4_audit_table_line(const w4_audit_row &row);

/* The command that reads a row's range again from the cluster: the brokers
 * are left for the operator to fill in (the records name the cluster by its
 * id, not its address). */
std::string w4_audit_read_again(const w4_audit_row &row,
                                const std::pair<int64_t, int64_t> &range);

/* Prints rows to stdout; the table's heading goes first once, before the
 * first rows (*head_printed remembers it). */
void w4_audit_table_print(const std::vector<w4_audit_row> &rows,
                          bool *head_printed);

/* w4metrics-read: prints the records of a monitoring topic, decoded.
 *
 * A plain consumer (the plug-in is not loaded) is assigned every partition of
 * the topic, found through metadata and looked up again now and then so that
 * a topic created later, or grown, is followed. Each record is printed as a
 * readable line or as one JSON object per line; a value that is not a
 * monitoring record is reported on standard error and skipped. */
#include "exporter/aggregate.h"
#include "exporter/audit.h"
#include "w4consumer.h"
#include "w4record.h"
#include "w4tool.h"

#include <csignal>
#include <cstdio>
#include <cstring>
#include <librdkafka/rdkafka.h>
#include <string>
#include <vector>

static const char *const W4_PROG = "w4metrics-read";

struct reader_opts {
  std::string bootstrap;
  std::string topic = "_quarndale-monitoring";
  bool from_beginning = false;
  bool json = false;
  bool audit = false;     /* print the audit table instead of the records */
  long exit_idle_ms = -1; /* -1: run until a signal */
  long settle_ms = 60000; /* the audit's wait and margin */
  /* librdkafka properties: those of -F files in order, then those of -X,
   * which win whatever their place on the command line. */
  std::vector<w4_prop> props;
  std::vector<w4_prop> file_props;
};

/* Prints the usage text to f. */
static void usage(FILE *f) {
  fprintf(f,
          "Usage: w4metrics-read -b BOOTSTRAP [-t TOPIC] [--from-beginning] "
          "[--json | --audit [--settle MS]]\n"
          "                      [-F FILE ...] [-X prop=value ...] "
          "[--exit-idle MS]\n"
          "\n"
          "Prints the records of a monitoring topic, decoded.\n"
          "\n"
          "  -b, --bootstrap HOST:PORT  brokers of the monitoring cluster\n"
          "  -t, --topic TOPIC          topic to read "
          "(default _quarndale-monitoring)\n"
          "  --from-beginning           start at the earliest offsets "
          "(default: the end)\n"
          "  --json                     one JSON object per record and line\n"
          "  --audit                    instead of records, the windows in "
          "which a consumer\n"
          "                             group consumed fewer or more "
          "messages than were\n"
          "                             acknowledged, and each group's "
          "totals at the end\n"
          "  --settle MS                the audit's wait for a window's "
          "records, and how far\n"
          "                             past a short window a group must "
          "read (default 60000)\n"
          "  -F FILE                    librdkafka properties for the "
          "consumer, name=value\n"
          "                             lines (repeatable; a later file "
          "wins)\n"
          "  -X prop=value              librdkafka property for the "
          "consumer (repeatable;\n"
          "                             wins over -F)\n"
          "  --exit-idle MS             exit once no record arrived for MS "
          "milliseconds\n"
          "                             since the topic's partitions were "
          "assigned\n"
          "                             (default: run until SIGINT/SIGTERM)\n");
}

/* Parses the command line into *o; returns -1 to go on, else an exit code. */
static int parse_args(int argc, char **argv, reader_opts *o) {
  for (int i = 1; i < argc; i++) {
    std::string a = argv[i];
    bool has_next = i + 1 < argc;
    if (a == "-h" || a == "--help") {
      usage(stdout);
      return 0;
    } else if ((a == "-b" || a == "--bootstrap") && has_next) {
      o->bootstrap = argv[++i];
    } else if ((a == "-t" || a == "--topic") && has_next) {
      o->topic = argv[++i];
    } else if (a == "--from-beginning") {
      o->from_beginning = true;
    } else if (a == "--json") {
      o->json = true;
    } else if (a == "--audit") {
      o->audit = true;
    } else if (a == "-X" && has_next) {
      if (!w4_parse_prop_arg(W4_PROG, argv[++i], &o->props))
        return 2;
    } else if (a == "-F" && has_next) {
      if (!w4_read_prop_file(W4_PROG, argv[++i], &o->file_props))
        return 2;
    } else if (a == "--settle" && has_next) {
      if (!w4_parse_long(argv[++i], 1, 86400000L, &o->settle_ms)) {
        fprintf(stderr, "w4metrics-read: --settle needs milliseconds\n");
        return 2;
      }
    } else if (a == "--exit-idle" && has_next) {
      if (!w4_parse_long(argv[++i], 0, 86400000L, &o->exit_idle_ms)) {
        fprintf(stderr, "w4metrics-read: --exit-idle needs milliseconds\n");
        return 2;
      }
    } else {
      fprintf(stderr, "w4metrics-read: unexpected argument \"%s\"\n",
              w4_arg_shown(a.c_str()).c_str());
      usage(stderr);
      return 2;
    }
  }
  if (o->bootstrap.empty() || o->topic.empty() || (o->json && o->audit)) {
    usage(stderr);
    return 2;
  }
  o->props.insert(o->props.begin(), o->file_props.begin(), o->file_props.end());
  return -1;
}

/* Creates the consumer into *rk: command-line properties go last so they
 * win. 0, or the exit status: 2 for a property librdkafka refuses, 1 when
 * the consumer cannot be created for another reason. */
static int reader_consumer_new(const reader_opts &o, rd_kafka_t **rk) {
  std::vector<w4_prop> props = {
      {"bootstrap.servers", o.bootstrap},
      {"group.id", "w4metrics-read-" + w4_random_tag()},
      {"enable.auto.commit", "false"},
      {"enable.partition.eof", "false"},
      {"client.id", "w4metrics-read"}};
  props.insert(props.end(), o.props.begin(), o.props.end());
  return w4_consumer_new(W4_PROG, props, "bad property ", rk);
}

/* Decodes one consumed value; reports it on stderr when it is not a
 * monitoring record. */
static bool reader_decode(const rd_kafka_message_t *m, w4_record *rec) {
  std::string err;
  if (w4_record_decode(m->payload, m->len, rec, &err))
    return true;
  fprintf(stderr,
          "w4metrics-read: skipped value at partition %d offset %lld of "
          "%s: %s\n",
          static_cast<int>(m->partition), static_cast<long long>(m->offset),
          rd_kafka_topic_name(m->rkt), err.c_str());
  return false;
}

/* Prints one record as a line or a JSON object. */
static void reader_print(const reader_opts &o, const w4_record &rec) {
  std::string line = o.json ? w4_record_json(rec) : w4_record_line(rec);
  line.push_back('\n');
  fwrite(line.data(), 1, line.size(), stdout);
  fflush(stdout);
}

/* At the end of an audit: settles what is open, prints its rows and each
 * topic and group's totals. */
static void reader_audit_finish(w4_audit *a, bool *head) {
  std::vector<w4_audit_row> rows;
  w4_audit_finish(a, &rows);
  w4_audit_table_print(rows, head);
  for (const auto &kv : a->totals) {
    auto lag = a->lag.find(kv.first);
    const std::string &group = std::get<2>(kv.first);
    printf("total  %s  %s  produced %llu, missing %llu, duplicate %llu in %llu "
           "windows, pending %llu, %s\n",
           std::get<1>(kv.first).c_str(), group.empty() ? "-" : group.c_str(),
           static_cast<unsigned long long>(kv.second.messages),
           static_cast<unsigned long long>(kv.second.missing),
           static_cast<unsigned long long>(kv.second.duplicate),
           static_cast<unsigned long long>(kv.second.windows),
           static_cast<unsigned long long>(
               lag == a->lag.end() ? 0 : lag->second.pending),
           w4_audit_p99_str(w4_audit_totals_p99(kv.second)).c_str());
  }
  if (a->totals.empty())
    printf("total  no consumer group has consumed from a monitored topic\n");
  fflush(stdout);
}

/* The poll loop: follows the topic's partitions and prints records until a
 * signal or, with --exit-idle, until the topic has been quiet long enough. */
static void reader_run(const reader_opts &o, rd_kafka_t *rk) {
  w4_follow follow;
  int64_t last_record = w4_mono_ms();
  int64_t next_tick = 0;
  w4_audit audit;
  audit.settle_ms = o.settle_ms;
  /* From the end of the topic, the first records of the windows open now
   * have gone by: only the windows that start from now on are audited. */
  if (!o.from_beginning)
    audit.from_window = w4_wall_ms();
  bool head = false;
  std::vector<w4_audit_row> rows;
  w4_record rec;

  while (!w4_stop_requested) {
    int assigned = follow.assigned;
    w4_follow_partitions(&follow, rk, o.topic, o.from_beginning, W4_PROG);
    if (!assigned && follow.assigned)
      last_record = w4_mono_ms(); /* quiet is counted from the assignment */

    rd_kafka_message_t *m = rd_kafka_consumer_poll(rk, 100);
    if (m) {
      if (!m->err) {
        std::string why;
        if (reader_decode(m, &rec)) {
          if (!o.audit)
            reader_print(o, rec);
          else if (w4_record_sane(rec, &why))
            w4_audit_add(&audit, rec, w4_mono_ms());
        }
        last_record = w4_mono_ms();
      } else {
        w4_consumer_error(W4_PROG, m);
      }
      rd_kafka_message_destroy(m);
    }
    if (o.audit && w4_mono_ms() >= next_tick) {
      rows.clear();
      w4_audit_tick(&audit, w4_mono_ms(), &rows);
      w4_audit_table_print(rows, &head);
      next_tick = w4_mono_ms() + 1000;
    }
    if (o.exit_idle_ms >= 0 && w4_mono_ms() - last_record >= o.exit_idle_ms)
      break;
  }
  if (o.audit)
    reader_audit_finish(&audit, &head);
}

int main(int argc, char **argv) {
  reader_opts o;
  int rc = parse_args(argc, argv, &o);
  if (rc >= 0)
    return rc;

  w4_stop_on_signals();
  rd_kafka_t *rk = nullptr;
  if ((rc = reader_consumer_new(o, &rk)) != 0)
    return rc;
  reader_run(o, rk);
  rd_kafka_consumer_close(rk);
  rd_kafka_destroy(rk);
  return 0;
}

/* w4metrics-exporter: serves the counters of a monitoring topic, and the
 * delivery audit of its windows, in Prometheus' text format over HTTP.
 *
 * A plain consumer (the plug-in is not loaded) reads the topic: alone, it is
 * assigned every partition, looked up again now and then; with -g it joins a
 * consumer group, so that several exporters share the topic. Each record is
 * decoded and added to the monitor (counters, audit and the page's history,
 * under its lock), which the HTTP thread renders for a scrape or the page's
 * JSON. */
#include "exporter/http.h"
#include "exporter/monitor.h"
#include "exporter/statestore.h"
#include "w4consumer.h"
#include "w4record.h"
#include "w4tool.h"

#include <csignal>
#include <cstdio>
#include <cstring>
#include <librdkafka/rdkafka.h>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

static const int W4_DEFAULT_PORT = 9478;

static const char *const W4_PROG = "w4metrics-exporter";

/* The group whose state an exporter without -g saves and finds again. */
static const char *const W4_DEFAULT_GROUP = "w4metrics-exporter";

/* After this long without a message, the poll thread asks the cluster for
 * metadata (waiting a second at most) to tell whether it answers. */
static const int64_t W4_PROBE_MS = 5000;

struct exporter_opts {
  std::string bootstrap;
  std::string topic = "_quarndale-monitoring";
  std::string group; /* empty: read every partition alone */
  bool from_beginning = false;
  /* librdkafka properties: those of -F files in order, then those of -X,
   * which win whatever their place on the command line. */
  std::vector<w4_prop> props;
  std::vector<w4_prop> file_props;
  std::string listen_addr = "127.0.0.1";
  int port = W4_DEFAULT_PORT;
  bool by_topic = false;
  long settle_ms = 60000;
  long max_age_ms = 3600000;
  long horizon_ms = 3600000;
  long connect_timeout_ms = 10000;
  std::string state_topic = "_quarndale-monitoring-exporter-state";
  bool state = true;
  long save_interval_ms = 1000;
  bool report = false;
  bool force_audit = false;
  long history_step_ms = 5000;
  std::string web_config; /* --web.config.file: TLS, basic auth */
  int64_t expire_ms = 3600000;
  long max_series = 1000000;
};

struct exporter {
  exporter_opts o;
  rd_kafka_t *rk = nullptr;
  w4_monitor mon;
  /* Of the poll loop only: */
  std::set<int32_t> bad_partitions; /* already reported on stderr */
  bool report_head = false;
  /* The next offset of each partition read, and the state's topic (no
   * producer when the state is not kept). */
  std::map<int32_t, int64_t> positions;
  w4_state_store store;
  /* The totals of the save on its way, shown once it has reached the
   * cluster. */
  std::map<w4_audit_key, w4_audit_totals> saving_totals;
  uint64_t saves_shown = 0;
  w4_follow follow;
  /* The offset expected next of each partition read, for the jumps over
   * records that an offset reset skips; the cluster's answer as last seen,
   * and when a message or a probe last came from it (monotonic ms). */
  std::map<int32_t, int64_t> expect;
  bool cluster_up = true;
  int64_t last_contact = 0;
  bool dropped_said = false; /* the limit of series was reported */
};

/* Prints the usage text to f. */
static void usage(FILE *f) {
  fprintf(
      f,
      "Usage: w4metrics-exporter -b BOOTSTRAP [-t TOPIC] [-g GROUP] "
      "[--from-beginning]\n"
      "                          [--listen ADDR:PORT] [--by topic|partition]\n"
      "                          [--settle MS] [--max-window-age MS] "
      "[--report]\n"
      "                          [--web.config.file FILE] [-F FILE ...]\n"
      "                          [--expire-after DURATION] [--max-series N]\n"
      "                          [-X prop=value ...]\n"
      "\n"
      "Serves the counters of a monitoring topic and its delivery audit in\n"
      "Prometheus' text format at http://ADDR:PORT/metrics, and a page of "
      "its streams\nat http://ADDR:PORT/.\n"
      "\n"
      "  -b, --bootstrap HOST:PORT  brokers of the monitoring cluster\n"
      "  -t, --topic TOPIC          topic to read (default "
      "_quarndale-monitoring)\n"
      "  -g, --group GROUP          share the topic with other exporters "
      "through this\n"
      "                             consumer group; switches the audit and "
      "the missing-\n"
      "                             record count off (see --audit)\n"
      "  --from-beginning           start at the earliest offsets (default: "
      "the end)\n"
      "  --listen ADDR:PORT         where to serve (default 127.0.0.1:%d; "
      "port 0 picks one)\n"
      "  --by topic|partition       label counters by partition (default) or "
      "only by topic\n"
      "  --settle MS                a window or a sequence hole is settled "
      "after MS without\n"
      "                             a record for it (default 60000)\n"
      "  --max-window-age MS        keep a window this long after its "
      "first record, for\n"
      "                             groups that start behind and replays "
      "(default 3600000)\n"
      "  --horizon MS               a group that consumed nothing on a "
      "partition for MS\n"
      "                             stops being audited there (default "
      "3600000)\n"
      "  --state-topic TOPIC        where the audit's state and read "
      "positions are saved\n"
      "                             (default "
      "_quarndale-monitoring-exporter-state)\n"
      "  --no-state                 neither save nor restore the state\n"
      "  --save-interval MS         how often the state is saved (default "
      "1000)\n"
      "  --report                   print settled windows with a shortfall "
      "or excess on stdout\n"
      "  --history-step MS          step of the page's charts of the last "
      "hour (default\n"
      "                             5000, at least 1000)\n"
      "  --expire-after DURATION    a client or stream without a record for "
      "this long\n"
      "                             leaves /metrics, the page and memory "
      "(1h30m, 15m,\n"
      "                             10s, or ms; default 1h)\n"
      "  --max-series N             sample lines /metrics may hold; records "
      "of new\n"
      "                             series beyond are only counted (default "
      "1000000)\n"
      "  --audit                    audit and count missing records even "
      "with -g\n"
      "  --connect-timeout MS       give up when the cluster does not answer "
      "within MS\n"
      "                             at start (default 10000)\n"
      "  --web.config.file FILE     TLS and basic authentication of the "
      "server, in the\n"
      "                             format of Prometheus' exporters; read "
      "again when it\n"
      "                             changes\n"
      "  -F FILE                    librdkafka properties for the consumer, "
      "name=value\n"
      "                             lines (repeatable; a later file wins)\n"
      "  -X prop=value              librdkafka property for the consumer "
      "(repeatable;\n"
      "                             wins over -F)\n"
      "\n"
      "Exit status 0 after SIGINT/SIGTERM, 1 when the port cannot be bound or "
      "the\ncluster cannot be reached, 2 for a wrong command line or web "
      "configuration file.\n",
      W4_DEFAULT_PORT);
}

/* Parses a millisecond option value into *out; false with a message. */
static bool parse_ms(const char *name, const char *value, long min, long *out) {
  if (w4_parse_long(value, min, 86400000L * 7, out))
    return true;
  fprintf(stderr, "w4metrics-exporter: %s needs milliseconds, got \"%s\"\n",
          name, value);
  return false;
}

/* Parses one option with its value at argv[*i]; -1 to go on, else an exit
 * code. */
static int parse_valued(const std::string &a, char **argv, int *i,
                        exporter_opts *o) {
  const char *v = argv[++*i];
  if (a == "-b" || a == "--bootstrap") {
    o->bootstrap = v;
  } else if (a == "-t" || a == "--topic") {
    o->topic = v;
  } else if (a == "-g" || a == "--group") {
    o->group = v;
  } else if (a == "-X") {
    if (!w4_parse_prop_arg(W4_PROG, v, &o->props))
      return 2;
  } else if (a == "-F") {
    if (!w4_read_prop_file(W4_PROG, v, &o->file_props))
      return 2;
  } else if (a == "--listen") {
    if (!w4_http_parse_listen(v, &o->listen_addr, &o->port)) {
      fprintf(stderr,
              "w4metrics-exporter: --listen needs ADDR:PORT, got "
              "\"%s\"\n",
              v);
      return 2;
    }
  } else if (a == "--by") {
    if (strcmp(v, "topic") != 0 && strcmp(v, "partition") != 0) {
      fprintf(stderr, "w4metrics-exporter: --by needs topic or partition\n");
      return 2;
    }
    o->by_topic = strcmp(v, "topic") == 0;
  } else if (a == "--settle") {
    return parse_ms("--settle", v, 1, &o->settle_ms) ? -1 : 2;
  } else if (a == "--max-window-age") {
    return parse_ms("--max-window-age", v, 1, &o->max_age_ms) ? -1 : 2;
  } else if (a == "--horizon") {
    return parse_ms("--horizon", v, 1, &o->horizon_ms) ? -1 : 2;
  } else if (a == "--save-interval") {
    return parse_ms("--save-interval", v, 100, &o->save_interval_ms) ? -1 : 2;
  } else if (a == "--state-topic") {
    o->state_topic = v;
  } else if (a == "--history-step") {
    return parse_ms("--history-step", v, 1000, &o->history_step_ms) ? -1 : 2;
  } else if (a == "--web.config.file") {
    o->web_config = v;
  } else if (a == "--expire-after") {
    if (w4_parse_duration(v, &o->expire_ms))
      return -1;
    fprintf(stderr,
            "w4metrics-exporter: --expire-after needs a duration (1h30m, "
            "15m, 10s, or ms; at most 1y), got \"%s\"\n",
            v);
    return 2;
  } else if (a == "--max-series") {
    if (w4_parse_long(v, 100, 1000000000L, &o->max_series))
      return -1;
    fprintf(stderr,
            "w4metrics-exporter: --max-series needs 100 to 1000000000, got "
            "\"%s\"\n",
            v);
    return 2;
  } else if (a == "--connect-timeout") {
    return parse_ms("--connect-timeout", v, 1, &o->connect_timeout_ms) ? -1 : 2;
  } else {
    return 3; /* not an option that takes a value */
  }
  return -1;
}

/* Parses the command line into *o; returns -1 to go on, else an exit code. */
static int parse_args(int argc, char **argv, exporter_opts *o) {
  for (int i = 1; i < argc; i++) {
    std::string a = argv[i];
    if (a == "-h" || a == "--help") {
      usage(stdout);
      return 0;
    } else if (a == "--from-beginning") {
      o->from_beginning = true;
    } else if (a == "--report") {
      o->report = true;
    } else if (a == "--audit") {
      o->force_audit = true;
    } else if (a == "--no-state") {
      o->state = false;
    } else {
      int rc = i + 1 < argc ? parse_valued(a, argv, &i, o) : 3;
      if (rc == 3) {
        fprintf(stderr, "w4metrics-exporter: unexpected argument \"%s\"\n",
                w4_arg_shown(a.c_str()).c_str());
        usage(stderr);
        return 2;
      }
      if (rc >= 0)
        return rc;
    }
  }
  if (o->bootstrap.empty() || o->topic.empty()) {
    fprintf(stderr, "w4metrics-exporter: -b BOOTSTRAP is required\n");
    usage(stderr);
    return 2;
  }
  o->props.insert(o->props.begin(), o->file_props.begin(), o->file_props.end());
  return -1;
}

static void exporter_rebalance(rd_kafka_t *rk, rd_kafka_resp_err_t err,
                               rd_kafka_topic_partition_list_t *parts,
                               void *opaque);

/* Creates the consumer: command-line properties go last so they win. A
 * property that librdkafka refuses is a wrong command line (2); a consumer
 * that cannot be created for another reason is 1. */
static int exporter_consumer_new(exporter *e) {
  const exporter_opts &o = e->o;
  std::vector<w4_prop> props = {{"bootstrap.servers", o.bootstrap},
                                {"client.id", "w4metrics-exporter"},
                                {"enable.partition.eof", "false"}};
  if (o.group.empty()) {
    props.push_back({"group.id", W4_DEFAULT_GROUP});
    props.push_back({"enable.auto.commit", "false"});
    /* A position that the topic no longer holds (retention passed it while
     * the exporter was down) goes on from the oldest record kept, skipping
     * as few as can be. */
    props.push_back({"auto.offset.reset", "earliest"});
  } else {
    props.push_back({"group.id", o.group});
    props.push_back(
        {"auto.offset.reset", o.from_beginning ? "earliest" : "latest"});
  }
  props.insert(props.end(), o.props.begin(), o.props.end());
  int rc = w4_consumer_new(W4_PROG, props, "bad property ", &e->rk,
                           o.group.empty() ? nullptr : exporter_rebalance, e);
  if (rc != 0)
    return rc;
  rd_kafka_poll_set_consumer(e->rk);
  return 0;
}

/* Joins the consumer group on the topic (-g). */
static bool exporter_subscribe(exporter *e) {
  rd_kafka_topic_partition_list_t *sub = rd_kafka_topic_partition_list_new(1);
  rd_kafka_topic_partition_list_add(sub, e->o.topic.c_str(),
                                    RD_KAFKA_PARTITION_UA);
  rd_kafka_resp_err_t err = rd_kafka_subscribe(e->rk, sub);
  rd_kafka_topic_partition_list_destroy(sub);
  if (err)
    fprintf(stderr, "w4metrics-exporter: subscribe: %s\n",
            rd_kafka_err2str(err));
  return !err;
}

/* Reports the first value of each partition of the monitoring topic that
 * is not a record; the monitor counts them all. */
static void exporter_bad(exporter *e, const rd_kafka_message_t *m,
                         const std::string &why) {
  if (!e->bad_partitions.insert(m->partition).second)
    return;
  fprintf(stderr,
          "w4metrics-exporter: partition %d offset %lld of %s: not a "
          "monitoring record: %s (further ones of this partition are only "
          "counted)\n",
          static_cast<int>(m->partition), static_cast<long long>(m->offset),
          rd_kafka_topic_name(m->rkt), why.c_str());
}

/* Counts and reports the records that the position of m's partition
 * jumped over before m. Poll thread. */
static void exporter_jump(exporter *e, const rd_kafka_message_t *m) {
  int64_t jumped = w4_feed_jump(&e->expect, m->partition, m->offset);
  if (jumped <= 0)
    return;
  {
    std::lock_guard<std::mutex> guard(e->mon.lock);
    e->mon.feed.skipped_records += static_cast<uint64_t>(jumped);
  }
  fprintf(stderr,
          "w4metrics-exporter: partition %d of %s: %lld records skipped, "
          "offsets %lld to %lld: the position was reset past them (the "
          "topic no longer held them)\n",
          static_cast<int>(m->partition), rd_kafka_topic_name(m->rkt),
          static_cast<long long>(jumped),
          static_cast<long long>(m->offset - jumped),
          static_cast<long long>(m->offset - 1));
}

/* Decodes one consumed value and adds it to the monitor. */
static void exporter_take(exporter *e, const rd_kafka_message_t *m,
                          w4_record *rec) {
  std::string err;
  exporter_jump(e, m);
  e->positions[m->partition] = m->offset + 1;
  if (!w4_monitor_take(&e->mon, m->payload, m->len, w4_mono_ms(), w4_wall_ms(),
                       rec, &err))
    exporter_bad(e, m, err);
}

/* Settles what is due, keeps the page's history going and prints the rows
 * of --report. */
static void exporter_tick(exporter *e) {
  std::vector<w4_audit_row> rows;
  w4_monitor_tick(&e->mon, w4_mono_ms(), w4_wall_ms(), &rows);
  if (!e->dropped_said) {
    std::lock_guard<std::mutex> guard(e->mon.lock);
    if (e->mon.agg.dropped_series > 0) {
      fprintf(stderr,
              "w4metrics-exporter: /metrics holds --max-series %ld lines: "
              "records of new series are only counted in "
              "w4metrics_dropped_series_total from now on\n",
              e->o.max_series);
      e->dropped_said = true;
    }
  }
  if (e->o.report)
    w4_audit_table_print(rows, &e->report_head);
}

/* Saves the audit's state with the read positions that go with it, unless
 * the previous save is still on its way. Poll thread. */
static void exporter_save(exporter *e) {
  if (!e->store.producer)
    return;
  w4_state_store_poll(&e->store);
  if (e->store.saved != e->saves_shown) {
    std::lock_guard<std::mutex> guard(e->mon.lock);
    e->mon.audit.saved_totals.swap(e->saving_totals);
    e->saves_shown = e->store.saved;
  }
  if (e->store.inflight > 0)
    return;
  w4_state_snapshot snap;
  snap.positions = e->positions;
  {
    std::lock_guard<std::mutex> guard(e->mon.lock);
    snap.state = w4_audit_save(e->mon.audit, w4_mono_ms());
    e->saving_totals = e->mon.audit.totals;
  }
  w4_state_store_save(&e->store, snap);
}

/* Opens the state's topic and restores the latest state saved for this
 * exporter's group and topic, with its read positions; without one, an
 * exporter that starts at the end of the topic audits only the windows
 * that begin from now on, since it missed the first records of the
 * others. */
static bool exporter_restore(exporter *e) {
  std::string group = e->o.group.empty() ? W4_DEFAULT_GROUP : e->o.group;
  std::string key = group + std::string(1, '\0') + e->o.topic;
  std::vector<w4_prop> props = {{"bootstrap.servers", e->o.bootstrap}};
  props.insert(props.end(), e->o.props.begin(), e->o.props.end());
  std::string err;
  if (!w4_state_store_open(&e->store, props, e->o.state_topic, key, &err)) {
    fprintf(stderr, "w4metrics-exporter: cannot keep the state: %s\n",
            err.c_str());
    return false;
  }
  w4_state_snapshot snap;
  if (w4_state_store_load(e->store, props,
                          static_cast<int>(e->o.connect_timeout_ms), &snap) &&
      w4_audit_load(&e->mon.audit, snap.state, w4_mono_ms())) {
    e->positions = snap.positions;
    e->follow.saved = snap.positions;
    e->expect = snap.positions;
    e->mon.audit.saved_totals = e->mon.audit.totals;
    fprintf(stderr,
            "w4metrics-exporter: state restored from %s: %zu streams, read "
            "positions of %zu partitions\n",
            e->o.state_topic.c_str(), e->mon.audit.streams.size(),
            snap.positions.size());
  } else if (!e->o.from_beginning) {
    e->mon.audit.from_window = w4_wall_ms();
  }
  e->mon.audit.show_saved = true;
  return true;
}

/* Rebalance callback of -g: partitions whose position the restored state
 * holds start there. */
static void exporter_rebalance(rd_kafka_t *rk, rd_kafka_resp_err_t err,
                               rd_kafka_topic_partition_list_t *parts,
                               void *opaque) {
  exporter *e = static_cast<exporter *>(opaque);
  bool cooperative =
      strcmp(rd_kafka_rebalance_protocol(rk), "COOPERATIVE") == 0;
  /* A partition starts from the group's offset, not where this exporter
   * left it (another may have read on): only a saved position is a jump's
   * reference. */
  for (int i = 0; i < parts->cnt; i++)
    e->expect.erase(parts->elems[i].partition);
  if (err == RD_KAFKA_RESP_ERR__ASSIGN_PARTITIONS) {
    for (int i = 0; i < parts->cnt; i++) {
      auto s = e->follow.saved.find(parts->elems[i].partition);
      if (s != e->follow.saved.end())
        parts->elems[i].offset = e->expect[s->first] = s->second;
    }
    if (cooperative)
      rd_kafka_error_destroy(rd_kafka_incremental_assign(rk, parts));
    else
      rd_kafka_assign(rk, parts);
  } else if (cooperative) {
    rd_kafka_error_destroy(rd_kafka_incremental_unassign(rk, parts));
  } else {
    rd_kafka_assign(rk, nullptr);
  }
}

/* Shows whether the cluster answers, with a line on stderr when that
 * changes. Poll thread. */
static void exporter_cluster_up(exporter *e, bool up) {
  if (up)
    e->last_contact = w4_mono_ms();
  if (up == e->cluster_up)
    return;
  e->cluster_up = up;
  {
    std::lock_guard<std::mutex> guard(e->mon.lock);
    e->mon.feed.cluster_up = up;
  }
  fprintf(stderr, "w4metrics-exporter: %s\n",
          up ? "the cluster answers again"
             : "the cluster does not answer; waiting for it");
}

/* A message tells that the cluster answers, librdkafka's event that every
 * broker is down that it does not; after W4_PROBE_MS without either, a
 * metadata request asks. Poll thread. */
static void exporter_watch_cluster(exporter *e, const rd_kafka_message_t *m) {
  if (m && m->err == RD_KAFKA_RESP_ERR__ALL_BROKERS_DOWN)
    exporter_cluster_up(e, false);
  else if (m && !m->err)
    exporter_cluster_up(e, true);
  else if (w4_mono_ms() - e->last_contact >= W4_PROBE_MS) {
    exporter_cluster_up(e,
                        w4_topic_partition_cnt(e->rk, e->o.topic, 1000) >= 0);
    e->last_contact = w4_mono_ms(); /* the next probe in W4_PROBE_MS */
  }
}

/* The poll loop: follows the topic's partitions (alone) and takes records
 * until a signal. */
static void exporter_run(exporter *e) {
  int64_t next_tick = 0, next_save = 0;
  w4_record rec;
  e->last_contact = w4_mono_ms();
  while (!w4_stop_requested) {
    if (e->o.group.empty())
      w4_follow_partitions(&e->follow, e->rk, e->o.topic, e->o.from_beginning,
                           W4_PROG);
    rd_kafka_message_t *m = rd_kafka_consumer_poll(e->rk, 100);
    exporter_watch_cluster(e, m);
    if (m) {
      if (!m->err)
        exporter_take(e, m, &rec);
      else
        w4_consumer_error(W4_PROG, m);
      rd_kafka_message_destroy(m);
    }
    if (w4_mono_ms() >= next_tick) {
      exporter_tick(e);
      next_tick = w4_mono_ms() + 500;
    }
    w4_state_store_poll(&e->store);
    if (w4_mono_ms() >= next_save) {
      exporter_save(e);
      next_save = w4_mono_ms() + e->o.save_interval_ms;
    }
  }
  /* What was read up to the stop is saved, so that a restart reads none of
   * it again. */
  if (e->store.producer) {
    exporter_tick(e);
    for (int64_t end = w4_mono_ms() + 5000;
         e->store.inflight > 0 && w4_mono_ms() < end;)
      rd_kafka_poll(e->store.producer, 100);
    exporter_save(e);
  }
}

/* Sets the counters' options from the command line. */
static void exporter_configure(exporter *e) {
  bool whole = e->o.group.empty() || e->o.force_audit;
  w4_monitor_opts mo;
  mo.by_topic = e->o.by_topic;
  mo.gaps = whole;
  mo.audit = whole;
  mo.settle_ms = e->o.settle_ms;
  mo.max_age_ms = e->o.max_age_ms;
  mo.horizon_ms = e->o.horizon_ms;
  mo.history_step_ms = e->o.history_step_ms;
  mo.expire_ms = e->o.expire_ms;
  mo.max_series = static_cast<uint64_t>(e->o.max_series);
  w4_monitor_init(&e->mon, mo);
  if (!whole)
    fprintf(stderr, "w4metrics-exporter: with -g this exporter sees a share "
                    "of the records: the audit and the missing-record count "
                    "are off (--audit forces them)\n");
}

int main(int argc, char **argv) {
  exporter e;
  int rc = parse_args(argc, argv, &e.o);
  if (rc >= 0)
    return rc;
  exporter_configure(&e);

  w4_stop_on_signals();
  /* A scraper that hangs up mid-answer must not end the exporter. */
  signal(SIGPIPE, SIG_IGN);

  w4_http http;
  std::string err;
  if (!e.o.web_config.empty() &&
      !w4_http_set_web_config(&http, e.o.web_config, &err)) {
    fprintf(stderr, "w4metrics-exporter: --web.config.file %s: %s\n",
            e.o.web_config.c_str(), err.c_str());
    return 2;
  }
  /* Every connection is a file: as many as the hard limit allows. */
  w4_http_raise_nofile();
  if ((rc = exporter_consumer_new(&e)) != 0)
    return rc;
  if (!w4_monitor_serve(&e.mon, &http, e.o.listen_addr, e.o.port, &err)) {
    fprintf(stderr, "w4metrics-exporter: cannot listen on %s:%d: %s\n",
            e.o.listen_addr.c_str(), e.o.port, err.c_str());
    rd_kafka_destroy(e.rk);
    return 1;
  }
  /* The cluster must answer once; afterwards outages are only reported. */
  if (w4_topic_partition_cnt(e.rk, e.o.topic,
                             static_cast<int>(e.o.connect_timeout_ms)) < 0) {
    fprintf(stderr,
            "w4metrics-exporter: cannot reach the cluster at %s within %ld "
            "ms\n",
            e.o.bootstrap.c_str(), e.o.connect_timeout_ms);
    w4_http_stop(&http);
    rd_kafka_destroy(e.rk);
    return 1;
  }
  if (e.mon.o.audit && e.o.state && !exporter_restore(&e)) {
    w4_http_stop(&http);
    rd_kafka_destroy(e.rk);
    return 1;
  }
  {
    std::lock_guard<std::mutex> guard(e.mon.lock);
    e.mon.feed.shown = true;
  }
  std::string base = w4_http_base_url(http, e.o.listen_addr);
  fprintf(stderr, "w4metrics-exporter: serving %s/metrics\n", base.c_str());
  fprintf(stderr, "w4metrics-exporter: page at %s/\n", base.c_str());
  if (e.o.group.empty() || exporter_subscribe(&e))
    exporter_run(&e);
  else
    rc = 1;
  w4_http_stop(&http);
  rd_kafka_consumer_close(e.rk);
  rd_kafka_destroy(e.rk);
  w4_state_store_close(&e.store, 5000);
  return rc < 0 ? 0 : rc;
}

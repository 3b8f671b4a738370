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
#include "exporter/shards.h"
#include "exporter/statestore.h"
#include "w4consumer.h"
#include "w4record.h"
#include "w4tool.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <librdkafka/rdkafka.h>
#include <map>
#include <memory>
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
  long history_step_ms = 5000;
  std::string web_config; /* --web.config.file: TLS, basic auth */
  int64_t expire_ms = 3600000;
  long max_series = 1000000;
  /* With -g: the exporters' own topic of shards. */
  std::string shard_topic; /* empty: w4_shard_topic_name */
  long shard_partitions = 16;
  int64_t shard_retention_ms = 86400000;
};

/* What the exporter keeps of a shard it owns besides the monitor's: its
 * store (through the main store's producer) and the totals of the save on
 * its way. */
struct exporter_shard_io {
  w4_state_store store;
  std::map<w4_audit_key, w4_audit_totals> saving_totals;
  uint64_t saves_shown = 0;
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
  /* With -g, of the poll thread: the producer that routes records to the
   * shard topic, the next offset of each monitoring partition owned that
   * was routed and of those the cluster took as committed, and the stores
   * of the shards owned. */
  rd_kafka_t *router = nullptr;
  std::map<int32_t, int64_t> routed;
  std::map<int32_t, int64_t> committed;
  std::map<int32_t, std::unique_ptr<exporter_shard_io>> shard_io;
  /* Stores whose last saves were not acknowledged when their shard was given
   * up: the producer still names them. */
  std::vector<std::unique_ptr<exporter_shard_io>> shard_io_gone;
  int64_t started_wall = 0;
  int32_t shards = 0; /* partitions of the shard topic */
  bool route_error_said = false;
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
      "  -g, --group GROUP          share the topic and the audit with "
      "other exporters\n"
      "                             through this consumer group (shards)\n"
      "  --shard-topic TOPIC        the group's topic of shards (default "
      "TOPIC-shards-GROUP)\n"
      "  --shard-partitions N       its partitions when created: at most "
      "as many exporters\n"
      "                             share the audit (default 16)\n"
      "  --shard-retention DURATION its retention when created (default "
      "1d)\n"
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
      "  --audit                    (kept for old command lines: the audit "
      "is always on)\n"
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
  } else if (a == "--shard-topic") {
    o->shard_topic = v;
  } else if (a == "--shard-partitions") {
    if (w4_parse_long(v, 1, 100000, &o->shard_partitions))
      return -1;
    fprintf(stderr,
            "w4metrics-exporter: --shard-partitions needs 1 to 100000, got "
            "\"%s\"\n",
            v);
    return 2;
  } else if (a == "--shard-retention") {
    if (w4_parse_duration(v, &o->shard_retention_ms))
      return -1;
    fprintf(stderr,
            "w4metrics-exporter: --shard-retention needs a duration (1d, "
            "12h, or ms; at most 1y), got \"%s\"\n",
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
      /* The audit is always on; kept so that old command lines work. */
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
    /* Offsets of the monitoring topic are committed once their records are
     * routed; a dead exporter's shards move on within 15 s. */
    props.push_back({"enable.auto.commit", "false"});
    props.push_back({"session.timeout.ms", "10000"});
    props.push_back({"heartbeat.interval.ms", "3000"});
  }
  props.insert(props.end(), o.props.begin(), o.props.end());
  int rc = w4_consumer_new(W4_PROG, props, "bad property ", &e->rk,
                           o.group.empty() ? nullptr : exporter_rebalance, e);
  if (rc != 0)
    return rc;
  rd_kafka_poll_set_consumer(e->rk);
  return 0;
}

/* Joins the consumer group on the topic and the shard topic (-g). */
static bool exporter_subscribe(exporter *e) {
  rd_kafka_topic_partition_list_t *sub = rd_kafka_topic_partition_list_new(2);
  rd_kafka_topic_partition_list_add(sub, e->o.topic.c_str(),
                                    RD_KAFKA_PARTITION_UA);
  rd_kafka_topic_partition_list_add(sub, e->o.shard_topic.c_str(),
                                    RD_KAFKA_PARTITION_UA);
  rd_kafka_resp_err_t err = rd_kafka_subscribe(e->rk, sub);
  rd_kafka_topic_partition_list_destroy(sub);
  if (err)
    fprintf(stderr, "w4metrics-exporter: subscribe: %s\n",
            rd_kafka_err2str(err));
  return !err;
}

/* The properties of the exporter's own producers and of the reader of its
 * state: the connection and security of the command line. */
static std::vector<w4_prop> exporter_store_props(const exporter &e) {
  std::vector<w4_prop> props = {{"bootstrap.servers", e.o.bootstrap}};
  std::vector<w4_prop> own = w4_producer_props(e.o.props);
  props.insert(props.end(), own.begin(), own.end());
  return props;
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

/* Routes one record of the monitoring topic, unchanged, to the partition of
 * the shard topic that owns its topic-partition, with where it was read; a
 * value that is not a record is counted here. Poll thread. */
static void exporter_route(exporter *e, const rd_kafka_message_t *m,
                           w4_record *rec) {
  std::string err;
  exporter_jump(e, m);
  e->routed[m->partition] = m->offset + 1;
  if (!w4_monitor_decode(m->payload, m->len, rec, &err)) {
    {
      std::lock_guard<std::mutex> guard(e->mon.lock);
      e->mon.agg.bad_records++;
    }
    exporter_bad(e, m, err);
    return;
  }
  int32_t shard = w4_shard_of(rec->topic, rec->msg.partition, e->shards);
  std::string source = w4_shard_source(m->partition, m->offset);
  rd_kafka_resp_err_t rerr;
  /* A full queue waits for the cluster: nothing is dropped. */
  while ((rerr = rd_kafka_producev(
              e->router, RD_KAFKA_V_TOPIC(e->o.shard_topic.c_str()),
              RD_KAFKA_V_PARTITION(shard), RD_KAFKA_V_VALUE(m->payload, m->len),
              RD_KAFKA_V_HEADER(W4_SHARD_SOURCE_HEADER, source.data(),
                                static_cast<ssize_t>(source.size())),
              RD_KAFKA_V_MSGFLAGS(RD_KAFKA_MSG_F_COPY), RD_KAFKA_V_END)) ==
             RD_KAFKA_RESP_ERR__QUEUE_FULL &&
         !w4_stop_requested)
    rd_kafka_poll(e->router, 100);
  if (rerr) {
    if (!e->route_error_said)
      fprintf(stderr, "w4metrics-exporter: cannot route to %s: %s\n",
              e->o.shard_topic.c_str(), rd_kafka_err2str(rerr));
    e->route_error_said = true;
    return;
  }
  std::lock_guard<std::mutex> guard(e->mon.lock);
  e->mon.routed++;
}

/* Commits the monitoring topic's offsets routed so far once every routed
 * record is acknowledged. A commit that the cluster refuses (during a
 * rebalance) is made again at the next try, so that the next owner of a
 * partition routes as little again as can be. Poll thread. */
static void exporter_commit(exporter *e) {
  if (e->routed == e->committed || rd_kafka_flush(e->router, 10000) != 0)
    return;
  rd_kafka_topic_partition_list_t *parts =
      rd_kafka_topic_partition_list_new(static_cast<int>(e->routed.size()));
  for (const auto &kv : e->routed)
    rd_kafka_topic_partition_list_add(parts, e->o.topic.c_str(), kv.first)
        ->offset = kv.second;
  if (rd_kafka_commit(e->rk, parts, 0) == RD_KAFKA_RESP_ERR_NO_ERROR)
    e->committed = e->routed;
  rd_kafka_topic_partition_list_destroy(parts);
}

/* Takes one record of a shard's partition into that shard, once. Poll
 * thread. */
static void exporter_take_shard(exporter *e, const rd_kafka_message_t *m,
                                w4_record *rec) {
  auto it = e->mon.shards.find(m->partition);
  if (it == e->mon.shards.end())
    return;
  w4_shard *shard = it->second.get();
  shard->position = m->offset + 1;
  rd_kafka_headers_t *hdrs = nullptr;
  const void *src = nullptr;
  size_t src_len = 0;
  int32_t src_partition;
  int64_t src_offset;
  if (rd_kafka_message_headers(m, &hdrs) == RD_KAFKA_RESP_ERR_NO_ERROR &&
      rd_kafka_header_get_last(hdrs, W4_SHARD_SOURCE_HEADER, &src, &src_len) ==
          RD_KAFKA_RESP_ERR_NO_ERROR &&
      w4_shard_source_parse(src, src_len, &src_partition, &src_offset)) {
    std::lock_guard<std::mutex> guard(e->mon.lock);
    if (!w4_shard_take(shard, src_partition, src_offset))
      return;
  }
  std::string err;
  int64_t wall = w4_wall_ms();
  if (w4_monitor_decode(m->payload, m->len, rec, &err) &&
      w4_record_timely(*rec, wall, &err)) {
    w4_monitor_add_shard(&e->mon, shard, *rec, w4_mono_ms(), wall);
    return;
  }
  {
    std::lock_guard<std::mutex> guard(e->mon.lock);
    e->mon.agg.bad_records++;
  }
  exporter_bad(e, m, err);
}

/* The state key of a shard of this exporter's group and topic. */
static std::string exporter_shard_key(const exporter &e, int32_t shard) {
  std::string key("shard", 6);
  key += e.o.group + std::string(1, '\0') + e.o.topic + std::string(1, '\0');
  if (shard >= 0)
    key += std::to_string(shard);
  return key;
}

/* Takes a shard on, from its saved state when it has one; the offset of
 * the shard's partition to start from. Poll thread (rebalance). */
static int64_t exporter_shard_open(exporter *e, int32_t p,
                                   const w4_state_snapshot *saved) {
  std::unique_ptr<exporter_shard_io> io(new exporter_shard_io());
  w4_state_store_share(&io->store, e->store, exporter_shard_key(*e, p));
  std::unique_ptr<w4_shard> shard = w4_monitor_shard_new(e->mon);
  int64_t pos = RD_KAFKA_OFFSET_BEGINNING;
  if (saved && w4_shard_load(shard.get(), saved->state, w4_mono_ms())) {
    auto it = saved->positions.find(p);
    if (it != saved->positions.end())
      pos = it->second;
    shard->audit.saved_totals = shard->audit.totals;
    fprintf(stderr,
            "w4metrics-exporter: shard %d taken on from its saved state, at "
            "offset %s\n",
            static_cast<int>(p),
            pos >= 0 ? std::to_string(pos).c_str() : "0 (none read yet)");
  } else {
    /* Without a state, an exporter that started at the end audits only the
     * windows that begin from then on. */
    if (!e->o.from_beginning)
      shard->audit.from_window = e->started_wall;
    fprintf(stderr, "w4metrics-exporter: shard %d taken on, new\n",
            static_cast<int>(p));
  }
  shard->audit.show_saved = true;
  shard->position = pos >= 0 ? pos : -1;
  std::lock_guard<std::mutex> guard(e->mon.lock);
  e->mon.shards[p] = std::move(shard);
  e->shard_io[p] = std::move(io);
  /* Its streams go on from where the last owner left them. */
  int32_t shards = e->shards;
  if (pos >= 0)
    w4_aggregate_resume(&e->mon.agg, w4_mono_ms(),
                        [p, shards](const std::string &topic, int32_t part) {
                          return w4_shard_of(topic, part, shards) == p;
                        });
  return pos;
}

/* Saves a shard's state with its read position, unless its previous save is
 * still on its way; shows the totals of the last save acknowledged. Poll
 * thread. */
static void exporter_shard_save(exporter *e, int32_t p) {
  if (!e->store.producer)
    return;
  exporter_shard_io *io = e->shard_io[p].get();
  w4_shard *shard = e->mon.shards[p].get();
  if (io->store.saved != io->saves_shown) {
    std::lock_guard<std::mutex> guard(e->mon.lock);
    shard->audit.saved_totals.swap(io->saving_totals);
    io->saves_shown = io->store.saved;
  }
  if (io->store.inflight > 0)
    return;
  w4_state_snapshot snap;
  if (shard->position >= 0)
    snap.positions[p] = shard->position;
  {
    std::lock_guard<std::mutex> guard(e->mon.lock);
    snap.state = w4_shard_save(*shard, w4_mono_ms());
    io->saving_totals = shard->audit.totals;
  }
  w4_state_store_save(&io->store, snap);
}

/* Waits up to timeout_ms for every save on its way. Poll thread. */
static void exporter_saves_wait(exporter *e, int timeout_ms) {
  auto busy = [e] {
    for (const auto &kv : e->shard_io)
      if (kv.second->store.inflight > 0)
        return true;
    return false;
  };
  for (int64_t end = w4_mono_ms() + timeout_ms;
       e->store.producer && busy() && w4_mono_ms() < end;)
    rd_kafka_poll(e->store.producer, 100);
}

/* Gives a shard up: its state is saved as it stands, for the next owner.
 * Poll thread (rebalance). */
static void exporter_shard_close(exporter *e, int32_t p) {
  if (!e->shard_io.count(p))
    return;
  exporter_saves_wait(e, 5000);
  exporter_shard_save(e, p);
  exporter_saves_wait(e, 5000);
  std::unique_ptr<exporter_shard_io> io = std::move(e->shard_io[p]);
  e->shard_io.erase(p);
  if (io->store.inflight > 0)
    e->shard_io_gone.push_back(std::move(io));
  std::lock_guard<std::mutex> guard(e->mon.lock);
  e->mon.rerouted += e->mon.shards[p]->rerouted;
  e->mon.shards.erase(p);
  /* The next owner follows the shard's sequences; should it come back,
   * they are taken up from the saved position (w4_aggregate_resume). */
  int32_t shards = e->shards;
  w4_aggregate_forget(&e->mon.agg,
                      [p, shards](const std::string &topic, int32_t part) {
                        return w4_shard_of(topic, part, shards) == p;
                      });
}

/* Takes on the shards of an assignment, each from its saved state, and sets
 * where their partitions start. Poll thread (rebalance). */
static void exporter_shards_assigned(exporter *e,
                                     rd_kafka_topic_partition_list_t *parts) {
  bool any = false;
  for (int i = 0; i < parts->cnt; i++)
    any |= e->o.shard_topic == parts->elems[i].topic;
  if (!any)
    return;
  std::vector<w4_prop> props = exporter_store_props(*e);
  std::string prefix = exporter_shard_key(*e, -1);
  std::map<std::string, w4_state_snapshot> saved =
      e->o.state ? w4_state_store_load_prefix(
                       e->o.state_topic, props,
                       static_cast<int>(e->o.connect_timeout_ms), prefix)
                 : std::map<std::string, w4_state_snapshot>();
  for (int i = 0; i < parts->cnt; i++) {
    rd_kafka_topic_partition_t *tp = &parts->elems[i];
    if (e->o.shard_topic != tp->topic)
      continue;
    auto it = saved.find(exporter_shard_key(*e, tp->partition));
    tp->offset = exporter_shard_open(e, tp->partition,
                                     it == saved.end() ? nullptr : &it->second);
  }
}

/* Gives up the shards of a revocation and commits what was routed of the
 * monitoring partitions. Poll thread (rebalance). */
static void exporter_shards_revoked(exporter *e,
                                    rd_kafka_topic_partition_list_t *parts) {
  exporter_commit(e);
  for (int i = 0; i < parts->cnt; i++) {
    if (e->o.shard_topic == parts->elems[i].topic) {
      exporter_shard_close(e, parts->elems[i].partition);
    } else {
      e->routed.erase(parts->elems[i].partition);
      e->committed.erase(parts->elems[i].partition);
    }
  }
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
  if (!e->o.group.empty()) {
    for (auto &kv : e->shard_io)
      exporter_shard_save(e, kv.first);
    return;
  }
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
  std::vector<w4_prop> props = exporter_store_props(*e);
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

/* Rebalance callback of -g: shards assigned are taken on from their saved
 * state and start at its position; shards revoked are saved for the next
 * owner, and what was routed is committed. */
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
    exporter_shards_assigned(e, parts);
    if (cooperative)
      rd_kafka_error_destroy(rd_kafka_incremental_assign(rk, parts));
    else
      rd_kafka_assign(rk, parts);
  } else {
    exporter_shards_revoked(e, parts);
    if (cooperative)
      rd_kafka_error_destroy(rd_kafka_incremental_unassign(rk, parts));
    else
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
      if (m->err)
        w4_consumer_error(W4_PROG, m);
      else if (e->o.group.empty())
        exporter_take(e, m, &rec);
      else if (e->o.shard_topic == rd_kafka_topic_name(m->rkt))
        exporter_take_shard(e, m, &rec);
      else
        exporter_route(e, m, &rec);
      rd_kafka_message_destroy(m);
    }
    if (w4_mono_ms() >= next_tick) {
      exporter_tick(e);
      if (e->router)
        exporter_commit(e);
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
  if (e->router)
    exporter_commit(e);
  if (e->store.producer) {
    exporter_tick(e);
    for (int64_t end = w4_mono_ms() + 5000;
         e->store.inflight > 0 && w4_mono_ms() < end;)
      rd_kafka_poll(e->store.producer, 100);
    exporter_saves_wait(e, 5000);
    exporter_save(e);
    exporter_saves_wait(e, 5000);
  }
}

/* Sets the counters' options from the command line. */
static void exporter_configure(exporter *e) {
  w4_monitor_opts mo;
  mo.by_topic = e->o.by_topic;
  mo.sharded = !e->o.group.empty();
  mo.settle_ms = e->o.settle_ms;
  mo.max_age_ms = e->o.max_age_ms;
  mo.horizon_ms = e->o.horizon_ms;
  mo.history_step_ms = e->o.history_step_ms;
  mo.expire_ms = e->o.expire_ms;
  mo.max_series = static_cast<uint64_t>(e->o.max_series);
  w4_monitor_init(&e->mon, mo);
  if (!mo.sharded)
    return;
  if (e->o.shard_topic.empty())
    e->o.shard_topic = w4_shard_topic_name(e->o.topic, e->o.group);
  /* A dead exporter's records are routed again only once the group has
   * noticed: a window settled before then is judged short. */
  long session_ms = 10000;
  for (const w4_prop &p : e->o.props)
    if (p.first == "session.timeout.ms")
      session_ms = atol(p.second.c_str());
  if (!e->o.state)
    fprintf(stderr, "w4metrics-exporter: --no-state with -g: a shard that "
                    "moves to another exporter is audited again from the "
                    "start of the shard topic\n");
  if (e->o.settle_ms < session_ms + 5000)
    fprintf(stderr,
            "w4metrics-exporter: --settle %ld is not longer than a hand-over "
            "(session.timeout.ms %ld and a rebalance): records that a dead "
            "exporter did not route may be judged late\n",
            e->o.settle_ms, session_ms);
}

/* With -g: the store that the shards save through, the router and the
 * shard topic; false with a line on stderr. */
static bool exporter_shards_start(exporter *e) {
  std::vector<w4_prop> props = exporter_store_props(*e);
  std::string err;
  if (e->o.state && !w4_state_store_open(&e->store, props, e->o.state_topic,
                                         exporter_shard_key(*e, -1), &err)) {
    fprintf(stderr, "w4metrics-exporter: cannot keep the state: %s\n",
            err.c_str());
    return false;
  }
  std::vector<w4_prop> router = props;
  router.push_back({"client.id", "w4metrics-exporter-router"});
  router.push_back({"enable.idempotence", "true"});
  router.push_back({"linger.ms", "5"});
  rd_kafka_conf_t *conf = rd_kafka_conf_new();
  char errstr[512];
  if (w4_conf_set_all(conf, router, &err))
    e->router = rd_kafka_new(RD_KAFKA_PRODUCER, conf, errstr, sizeof(errstr));
  if (!e->router) {
    fprintf(stderr, "w4metrics-exporter: cannot route: %s\n",
            err.empty() ? w4_hide_values(errstr, router).c_str() : err.c_str());
    rd_kafka_conf_destroy(conf);
    return false;
  }
  w4_topic_create(
      e->router, e->o.shard_topic, static_cast<int>(e->o.shard_partitions),
      {{"retention.ms", std::to_string(e->o.shard_retention_ms)}}, "shard");
  /* Every exporter of the group routes by the partitions the topic has, as
   * created by whoever created it. */
  e->shards = w4_topic_partition_cnt(e->router, e->o.shard_topic,
                                     static_cast<int>(e->o.connect_timeout_ms));
  if (e->shards <= 0) {
    fprintf(stderr, "w4metrics-exporter: the shard topic %s is not there\n",
            e->o.shard_topic.c_str());
    return false;
  }
  if (e->shards != e->o.shard_partitions)
    fprintf(stderr,
            "w4metrics-exporter: the shard topic %s has %d partitions: %d "
            "shards\n",
            e->o.shard_topic.c_str(), e->shards, e->shards);
  e->started_wall = w4_wall_ms();
  return true;
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
  if (e.mon.o.sharded ? !exporter_shards_start(&e)
                      : e.mon.o.audit && e.o.state && !exporter_restore(&e)) {
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
  if (e.router) {
    rd_kafka_flush(e.router, 5000);
    rd_kafka_destroy(e.router);
  }
  w4_state_store_close(&e.store, 5000);
  return rc < 0 ? 0 : rc;
}

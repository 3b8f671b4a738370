/* The exporter's /metrics as the end-to-end tests read it: samples parsed
 * from the text format, sums of a family's series that match some labels,
 * and the audit's verdict of a group. */
#pragma once

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace w4test {

/* One sample of an exposition: its metric name, labels and value. */
struct sample {
  std::string name;
  std::map<std::string, std::string> labels;
  double value = 0;
};
using samples = std::vector<sample>;
using labels = std::map<std::string, std::string>;

/* Parses the labels of "name{a="x",b="y"}" from the brace on; false when
 * they are malformed. */
inline bool parse_labels(const std::string &s, size_t pos, labels *out) {
  while (pos < s.size() && s[pos] != '}') {
    size_t eq = s.find("=\"", pos);
    if (eq == std::string::npos)
      return false;
    std::string name = s.substr(pos, eq - pos);
    std::string value;
    size_t i = eq + 2;
    for (; i < s.size() && s[i] != '"'; i++) {
      if (s[i] == '\\' && i + 1 < s.size()) {
        i++;
        value += s[i] == 'n' ? '\n' : s[i];
      } else {
        value += s[i];
      }
    }
    (*out)[name] = value;
    pos = i + 1;
    if (pos < s.size() && s[pos] == ',')
      pos++;
  }
  return pos < s.size();
}

/* The samples of an exposition text. */
inline samples parse_exposition(const std::string &text) {
  samples out;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#')
      continue;
    size_t sp = line.rfind(' ');
    if (sp == std::string::npos)
      continue;
    sample s;
    std::string series = line.substr(0, sp);
    size_t brace = series.find('{');
    s.name = series.substr(0, brace);
    if (brace != std::string::npos &&
        !parse_labels(series, brace + 1, &s.labels)) {
      ADD_FAILURE() << "bad series: " << line;
      continue;
    }
    s.value = atof(line.c_str() + sp + 1);
    out.push_back(s);
  }
  return out;
}

/* True when the sample has every label of want with its value. */
inline bool labels_match(const sample &s, const labels &want) {
  for (const auto &kv : want) {
    auto it = s.labels.find(kv.first);
    if (it == s.labels.end() || it->second != kv.second)
      return false;
  }
  return true;
}

/* The sum of the series of name (w4metrics_ prefixed) that match want. */
inline double metric(const samples &ss, const std::string &name,
                     const labels &want = {}) {
  double sum = 0;
  for (const sample &s : ss)
    if (s.name == "w4metrics_" + name && labels_match(s, want))
      sum += s.value;
  return sum;
}

/* The largest of those series; 0 when there is none. */
inline double metric_max(const samples &ss, const std::string &name,
                         const labels &want = {}) {
  double max = 0;
  for (const sample &s : ss)
    if (s.name == "w4metrics_" + name && labels_match(s, want))
      max = std::max(max, s.value);
  return max;
}

/* How many series of name match want. */
inline int series_count(const samples &ss, const std::string &name,
                        const labels &want = {}) {
  int n = 0;
  for (const sample &s : ss)
    if (s.name == "w4metrics_" + name && labels_match(s, want))
      n++;
  return n;
}

/* The label set of a group's audit series. */
inline labels group_labels(const std::string &cluster_id,
                           const std::string &topic, const std::string &group) {
  return {{"cluster_id", cluster_id}, {"topic", topic}, {"group_id", group}};
}

/* What the audit says of one group: its counters and gauges. */
struct verdict {
  double messages, missing, duplicate, unconsumed, windows, pending, lag;
};

/* The audit's series of a group, summed over what else they carry (the
 * exporters and shards); its lag is the largest. */
inline verdict verdict_of(const samples &ss, const labels &group) {
  return {metric(ss, "audit_messages_total", group),
          metric(ss, "audit_missing_messages_total", group),
          metric(ss, "audit_duplicate_messages_total", group),
          metric(ss, "audit_unconsumed_messages_total", group),
          metric(ss, "audit_windows_total", group),
          metric(ss, "audit_pending_messages", group),
          metric_max(ss, "audit_lag_seconds", group)};
}

/* A verdict for failure messages. */
inline std::string verdict_str(const verdict &v) {
  char buf[256];
  snprintf(buf, sizeof(buf),
           "messages %.0f missing %.0f duplicate %.0f unconsumed %.0f "
           "windows %.0f pending %.0f lag %.3f s",
           v.messages, v.missing, v.duplicate, v.unconsumed, v.windows,
           v.pending, v.lag);
  return buf;
}

} // namespace w4test

/* Exporters that share the monitoring topic through a consumer group. */
#include "exporter/shards.h"
#include "exporter/varint.h"

int32_t w4_shard_of(const std::string &topic, int32_t partition,
                    int32_t shards) {
  /* FNV-1a, 64 bits, over the topic's bytes and the partition's four
   * (little endian), then a 64-bit finaliser. */
  uint64_t h = UINT64_C(14695981039346656037);
  auto mix = [&h](uint8_t b) {
    h ^= b;
    h *= UINT64_C(1099511628211);
  };
  for (char c : topic)
    mix(static_cast<uint8_t>(c));
  uint32_t p = static_cast<uint32_t>(partition);
  for (int i = 0; i < 4; i++)
    mix(static_cast<uint8_t>(p >> (8 * i)));
  /* FNV's low bits depend only on the inputs' low bits: mixed once more,
   * so that a power-of-two number of shards takes every bit into account. */
  h ^= h >> 33;
  h *= UINT64_C(0xff51afd7ed558ccd);
  h ^= h >> 33;
  h *= UINT64_C(0xc4ceb9fe1a85ec53);
  h ^= h >> 33;
  return static_cast<int32_t>(h % static_cast<uint64_t>(shards));
}

std::string w4_shard_topic_name(const std::string &topic,
                                const std::string &group) {
  std::string name = topic + "-shards-" + group;
  for (char &c : name)
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
          (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '-'))
      c = '_';
  if (name.size() > 249)
    name.resize(249);
  return name;
}

std::string w4_shard_source(int32_t partition, int64_t offset) {
  std::string out;
  w4_varint_put(&out, static_cast<uint64_t>(partition));
  w4_varint_put(&out, static_cast<uint64_t>(offset));
  return out;
}

bool w4_shard_source_parse(const void *value, size_t len, int32_t *partition,
                           int64_t *offset) {
  const char *p = static_cast<const char *>(value);
  size_t pos = 0;
  uint64_t part, off;
  if (!p || !w4_varint_get(p, len, &pos, &part) ||
      !w4_varint_get(p, len, &pos, &off) || pos != len || part > INT32_MAX ||
      off > static_cast<uint64_t>(INT64_MAX))
    return false;
  *partition = static_cast<int32_t>(part);
  *offset = static_cast<int64_t>(off);
  return true;
}

bool w4_shard_take(w4_shard *s, int32_t partition, int64_t offset) {
  auto it = s->taken.find(partition);
  if (it != s->taken.end() && offset <= it->second) {
    s->rerouted++;
    return false;
  }
  s->taken[partition] = offset;
  return true;
}

std::string w4_shard_save(const w4_shard &s, int64_t now_ms) {
  std::string out;
  w4_varint_put(&out, s.taken.size());
  for (const auto &kv : s.taken) {
    w4_varint_put(&out, static_cast<uint64_t>(kv.first));
    w4_varint_put(&out, static_cast<uint64_t>(kv.second));
  }
  out.append(w4_audit_save(s.audit, now_ms));
  return out;
}

bool w4_shard_load(w4_shard *s, const std::string &bytes, int64_t now_ms) {
  size_t pos = 0;
  uint64_t n, part, off;
  if (!w4_varint_get(bytes.data(), bytes.size(), &pos, &n) || n > bytes.size())
    return false;
  std::map<int32_t, int64_t> taken;
  for (uint64_t i = 0; i < n; i++) {
    if (!w4_varint_get(bytes.data(), bytes.size(), &pos, &part) ||
        !w4_varint_get(bytes.data(), bytes.size(), &pos, &off) ||
        part > INT32_MAX || off > static_cast<uint64_t>(INT64_MAX))
      return false;
    taken[static_cast<int32_t>(part)] = static_cast<int64_t>(off);
  }
  if (!w4_audit_load(&s->audit, bytes.substr(pos), now_ms))
    return false;
  s->taken.swap(taken);
  return true;
}

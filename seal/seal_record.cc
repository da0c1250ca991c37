#include "seal/seal_record.h"

#include <limits>
#include <vector>

#include "seal/seal_text.h"

namespace quillo {

namespace {

constexpr std::string_view kVersion = "v1";

// The fields of a line, in order.
enum Field : std::size_t {
  kFieldVersion,
  kFieldSeq,
  kFieldEpoch,
  kFieldTime,
  kFieldType,
  kFieldFile,
  kFieldLines,
  kFieldChain,
  kFieldPrev,
  kFieldMac,
  kFieldCount
};

constexpr SealType kTypes[] = {SealType::kSeal, SealType::kTombstone,
                               SealType::kHeartbeat, SealType::kStart,
                               SealType::kStop};

std::optional<SealType> parse_type(std::string_view text) {
  for (SealType type : kTypes) {
    if (text == seal_type_name(type)) return type;
  }
  return std::nullopt;
}

// A file name is one token of visible characters: no space, no control
// character that would make the line read differently.
bool valid_file_field(std::string_view text) {
  if (text.empty()) return false;
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte <= 0x20 || byte == 0x7f) return false;
  }
  return true;
}

bool parse_digest(std::string_view text, Digest* out) {
  return from_hex(text, out->data(), out->size());
}

// Everything before the MAC field.
std::string signed_text(const SealRecord& r) {
  std::string text(kVersion);
  text += ' ' + std::to_string(r.seq);
  text += ' ' + std::to_string(r.epoch);
  text += ' ' + std::to_string(r.time);
  text += ' ';
  text += seal_type_name(r.type);
  text += ' ' + r.file;
  text += ' ' + std::to_string(r.lines);
  text += ' ' + to_hex(r.chain);
  text += ' ' + to_hex(r.prev);
  return text;
}

bool parse_numbers(const std::vector<std::string_view>& f, SealRecord* r) {
  std::uint64_t time = 0;
  if (!seal_text::parse_decimal(f[kFieldSeq], &r->seq) ||
      !seal_text::parse_decimal(f[kFieldEpoch], &r->epoch) ||
      !seal_text::parse_decimal(
          f[kFieldTime], &time,
          static_cast<std::uint64_t>(
              std::numeric_limits<std::int64_t>::max())) ||
      !seal_text::parse_decimal(f[kFieldLines], &r->lines)) {
    return false;
  }
  r->time = static_cast<std::int64_t>(time);
  return true;
}

}  // namespace

const char* seal_type_name(SealType type) {
  switch (type) {
    case SealType::kSeal:
      return "seal";
    case SealType::kTombstone:
      return "tombstone";
    case SealType::kHeartbeat:
      return "heartbeat";
    case SealType::kStart:
      return "start";
    case SealType::kStop:
      return "stop";
  }
  return "?";
}

std::string format_seal_record(SealRecord* record, const SealKey& key) {
  std::string line = signed_text(*record);
  record->mac = seal_mac(key, line);
  line += ' ' + to_hex(record->mac);
  return line;
}

std::optional<SealRecord> parse_seal_record(std::string_view line) {
  if (line.size() > kMaxRecordLine) return std::nullopt;
  const std::vector<std::string_view> f = seal_text::split_fields(line);
  if (f.size() != kFieldCount || f[kFieldVersion] != kVersion) {
    return std::nullopt;
  }
  SealRecord r;
  const std::optional<SealType> type = parse_type(f[kFieldType]);
  if (!type || !valid_file_field(f[kFieldFile]) || !parse_numbers(f, &r) ||
      !parse_digest(f[kFieldChain], &r.chain) ||
      !parse_digest(f[kFieldPrev], &r.prev) ||
      !parse_digest(f[kFieldMac], &r.mac)) {
    return std::nullopt;
  }
  r.type = *type;
  r.file = std::string(f[kFieldFile]);
  return r;
}

bool seal_record_authentic(std::string_view line, const SealRecord& record,
                           const SealKey& key) {
  const std::size_t last_space = line.rfind(' ');
  if (last_space == std::string_view::npos) return false;
  return same_digest(seal_mac(key, line.substr(0, last_space)), record.mac);
}

}  // namespace quillo

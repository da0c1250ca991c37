#include "seal/seal_record.h"

#include <ostream>
#include <string>

#include <gtest/gtest.h>

namespace quillo {
namespace {

const SealKey kK0 = [] {
  SealKey key;
  for (std::size_t i = 0; i < key.size(); ++i) {
    key[i] = static_cast<std::uint8_t>(7 * i + 1);
  }
  return key;
}();

SealRecord sample_record(SealType type = SealType::kSeal) {
  SealRecord r;
  r.seq = 41;
  r.epoch = 2;
  r.time = 1796811300;
  r.type = type;
  r.file = "accesslog/202612/access_20261209101500.csv";
  r.lines = 1234;
  r.chain = sha256("chain");
  r.prev = sha256("prev");
  return r;
}

class SealRecordRoundTripTest : public ::testing::TestWithParam<SealType> {};

TEST_P(SealRecordRoundTripTest, ParsesWhatItFormats) {
  SealRecord r = sample_record(GetParam());
  const std::string line = format_seal_record(&r, epoch_key(kK0, r.epoch));
  EXPECT_EQ(line.rfind("v1 41 2 1796811300 ", 0), 0u) << line;
  EXPECT_EQ(line.substr(line.size() - 64), to_hex(r.mac));
  const std::optional<SealRecord> back = parse_seal_record(line);
  ASSERT_TRUE(back) << line;
  EXPECT_EQ(back->seq, r.seq);
  EXPECT_EQ(back->epoch, r.epoch);
  EXPECT_EQ(back->time, r.time);
  EXPECT_EQ(back->type, r.type);
  EXPECT_EQ(back->file, r.file);
  EXPECT_EQ(back->lines, r.lines);
  EXPECT_EQ(back->chain, r.chain);
  EXPECT_EQ(back->prev, r.prev);
  EXPECT_EQ(back->mac, r.mac);
  EXPECT_TRUE(seal_record_authentic(line, *back, epoch_key(kK0, r.epoch)));
}

INSTANTIATE_TEST_SUITE_P(Types, SealRecordRoundTripTest,
                         ::testing::Values(SealType::kSeal,
                                           SealType::kTombstone,
                                           SealType::kHeartbeat,
                                           SealType::kStart, SealType::kStop));

TEST(SealRecordTest, NumbersAtTheirLimitsRoundTrip) {
  SealRecord r = sample_record();
  r.seq = UINT64_MAX;
  r.time = INT64_MAX;
  r.lines = 0;
  const auto back = parse_seal_record(format_seal_record(&r, kK0));
  ASSERT_TRUE(back);
  EXPECT_EQ(back->seq, UINT64_MAX);
  EXPECT_EQ(back->time, INT64_MAX);
  EXPECT_EQ(back->lines, 0u);
}

TEST(SealRecordTest, AnyFlippedByteFailsParsingOrAuthenticity) {
  SealRecord r = sample_record();
  const SealKey key = epoch_key(kK0, r.epoch);
  const std::string line = format_seal_record(&r, key);
  int still_parsed = 0;
  for (std::size_t i = 0; i < line.size(); ++i) {
    std::string bad = line;
    bad[i] = static_cast<char>(bad[i] ^ 1);
    const auto parsed = parse_seal_record(bad);
    if (!parsed) continue;
    ++still_parsed;
    EXPECT_FALSE(seal_record_authentic(bad, *parsed, key)) << bad;
  }
  // Digits and most hex digits stay valid when flipped: every field but
  // the version and the type was tried while parseable.
  EXPECT_GT(still_parsed, 150);
}

TEST(SealRecordTest, AnotherEpochsKeyFails) {
  SealRecord r = sample_record();
  const std::string line = format_seal_record(&r, epoch_key(kK0, 2));
  const auto parsed = parse_seal_record(line);
  ASSERT_TRUE(parsed);
  EXPECT_TRUE(seal_record_authentic(line, *parsed, epoch_key(kK0, 2)));
  EXPECT_FALSE(seal_record_authentic(line, *parsed, epoch_key(kK0, 3)));
  EXPECT_FALSE(seal_record_authentic(line, *parsed, epoch_key(kK0, 1)));
  EXPECT_FALSE(seal_record_authentic(line, *parsed, kK0));
}

// A valid line with one field replaced: {field index, new text}.
struct MalformedCase {
  std::size_t field;
  std::string text;
};

void PrintTo(const MalformedCase& c, std::ostream* os) {
  *os << "field " << c.field << " \"" << c.text.substr(0, 24) << "\"";
}

class MalformedSealRecordTest
    : public ::testing::TestWithParam<MalformedCase> {};

std::string replace_field(const std::string& line, std::size_t field,
                          const std::string& text) {
  std::size_t start = 0;
  for (std::size_t i = 0; i < field; ++i) start = line.find(' ', start) + 1;
  std::size_t end = line.find(' ', start);
  if (end == std::string::npos) end = line.size();
  return line.substr(0, start) + text + line.substr(end);
}

TEST_P(MalformedSealRecordTest, IsRefused) {
  SealRecord r = sample_record();
  const std::string line = format_seal_record(&r, kK0);
  ASSERT_TRUE(parse_seal_record(line));
  const std::string bad =
      replace_field(line, GetParam().field, GetParam().text);
  EXPECT_EQ(parse_seal_record(bad), std::nullopt) << bad;
}

const std::string kZeros(64, '0');

INSTANTIATE_TEST_SUITE_P(
    Fields, MalformedSealRecordTest,
    ::testing::Values(
        MalformedCase{0, "v2"}, MalformedCase{1, "+41"},
        MalformedCase{1, "-1"}, MalformedCase{1, "041"},
        MalformedCase{1, ""}, MalformedCase{1, "18446744073709551616"},
        MalformedCase{2, "2 2"}, MalformedCase{3, "9223372036854775808"},
        MalformedCase{3, "-5"}, MalformedCase{4, "Seal"},
        MalformedCase{4, "seals"}, MalformedCase{5, "a\tb"},
        MalformedCase{5, ""}, MalformedCase{5, std::string(1000, 'x')},
        MalformedCase{6, "1e3"}, MalformedCase{7, kZeros.substr(1)},
        MalformedCase{7, "A" + kZeros.substr(1)},
        MalformedCase{8, kZeros + "0"}, MalformedCase{9, "x" + kZeros},
        MalformedCase{9, kZeros + " "}));

}  // namespace
}  // namespace quillo

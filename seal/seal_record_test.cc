#include "seal/seal_record.h"

#include <ostream>
#include <string>
#include <tuple>

#include <gtest/gtest.h>

namespace quillo {
namespace {

const SealKey kK0{1, 2, 3, 4, 5, 6, 7, 8};

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
  const std::string line = format_seal_record(&r, epoch_key(kK0, 2));
  EXPECT_EQ(line.substr(line.size() - 65), " " + to_hex(r.mac));
  const std::optional<SealRecord> back = parse_seal_record(line);
  ASSERT_TRUE(back) << line;
  EXPECT_EQ(std::make_tuple(back->seq, back->epoch, back->time, back->type,
                            back->file, back->lines, back->chain, back->prev,
                            back->mac),
            std::make_tuple(r.seq, r.epoch, r.time, r.type, r.file, r.lines,
                            r.chain, r.prev, r.mac));
  EXPECT_TRUE(seal_record_authentic(line, *back, epoch_key(kK0, 2)));
  EXPECT_FALSE(seal_record_authentic(line, *back, epoch_key(kK0, 3)));
  EXPECT_FALSE(seal_record_authentic(line, *back, kK0));
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
  const std::string line = format_seal_record(&r, kK0);
  int still_parsed = 0;
  for (std::size_t i = 0; i < line.size(); ++i) {
    std::string bad = line;
    bad[i] = static_cast<char>(bad[i] ^ 1);
    const auto parsed = parse_seal_record(bad);
    if (!parsed) continue;
    ++still_parsed;
    EXPECT_FALSE(seal_record_authentic(bad, *parsed, kK0)) << bad;
  }
  // Digits and most hex digits stay valid when flipped, so every field but
  // the version and the type was tried while parseable.
  EXPECT_GT(still_parsed, 150);
}

// A valid line with field `field` replaced by `text`.
struct MalformedCase {
  std::size_t field;
  std::string text;
};

void PrintTo(const MalformedCase& c, std::ostream* os) {
  *os << "field " << c.field << " \"" << c.text.substr(0, 24) << "\"";
}

class MalformedSealRecordTest : public ::testing::TestWithParam<MalformedCase> {
};

TEST_P(MalformedSealRecordTest, IsRefused) {
  SealRecord r = sample_record();
  std::string line = format_seal_record(&r, kK0);
  std::size_t start = 0;
  for (std::size_t i = 0; i < GetParam().field; ++i) {
    start = line.find(' ', start) + 1;
  }
  line.replace(start, line.find(' ', start) - start, GetParam().text);
  EXPECT_EQ(parse_seal_record(line), std::nullopt) << line;
}

const std::string kZeros(64, '0');

INSTANTIATE_TEST_SUITE_P(
    Fields, MalformedSealRecordTest,
    ::testing::Values(
        MalformedCase{0, "v2"}, MalformedCase{1, "+41"},
        MalformedCase{1, "041"}, MalformedCase{1, ""},
        MalformedCase{1, "18446744073709551616"}, MalformedCase{2, "2 2"},
        MalformedCase{3, "9223372036854775808"}, MalformedCase{3, "-5"},
        MalformedCase{4, "Seal"}, MalformedCase{5, "a\tb"},
        MalformedCase{5, std::string(1000, 'x')}, MalformedCase{6, "1e3"},
        MalformedCase{7, kZeros.substr(1)},
        MalformedCase{8, "A" + kZeros.substr(1)},
        MalformedCase{9, kZeros + "0"}, MalformedCase{9, kZeros + " "}));

}  // namespace
}  // namespace quillo

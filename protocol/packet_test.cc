#include "protocol/packet.h"

#include <stdexcept>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace quillo {
namespace {

using ::testing::ElementsAreArray;

std::vector<unsigned char> Body(const Packet& p) {
  return std::vector<unsigned char>(p.data.get(), p.data.get() + p.size);
}

std::string EntryText(const Entry& e) {
  return std::string(reinterpret_cast<const char*>(e.data), e.length);
}

RequestData Received(const std::vector<unsigned char>& body) {
  RequestData r;
  r.set_size(static_cast<unsigned short>(body.size()));
  std::copy(body.begin(), body.end(), r.data.get());
  r.reload_entry();
  return r;
}

TEST(PacketTest, SystemRecordMatchesWorkedExample) {
  const ReqSystemLog r("1700000000", "x", "y", "z");
  const std::vector<unsigned char> expected = {
      0x00, 0x02, 0x00, 0x01, 0x00, 0x0b, '1',  '7',  '0',  '0',  '0',
      '0',  '0',  '0',  '0',  '0',  0x00, 0x00, 0x02, 'x',  0x00, 0x00,
      0x02, 'y',  0x00, 0x00, 0x02, 'z',  0x00};
  EXPECT_THAT(Body(r), ElementsAreArray(expected));
  EXPECT_EQ(r.size, 0x1d);
  ASSERT_TRUE(r.well_formed());
  EXPECT_STREQ(r.time(), "1700000000");
  EXPECT_STREQ(r.text3(), "z");
}

TEST(PacketTest, AccessRecordMatchesWorkedExample) {
  const ReqAccessLog r("bob", "pc1", "10.0.0.5", "open", 1, 0, "docs",
                       "r|a.txt");
  const std::vector<unsigned char> expected = {
      0x00, 0x02, 0x00, 0x00, 0x00, 0x04, 'b',  'o',  'b',  0x00, 0x00,
      0x04, 'p',  'c',  '1',  0x00, 0x00, 0x09, '1',  '0',  '.',  '0',
      '.',  '0',  '.',  '5',  0x00, 0x00, 0x05, 'o',  'p',  'e',  'n',
      0x00, 0x00, 0x02, 0x00, 0x01, 0x00, 0x04, 0x00, 0x00, 0x00, 0x00,
      0x00, 0x05, 'd',  'o',  'c',  's',  0x00, 0x00, 0x08, 'r',  '|',
      'a',  '.',  't',  'x',  't',  0x00};
  EXPECT_THAT(Body(r), ElementsAreArray(expected));
  EXPECT_EQ(r.size, 0x3d);
  ASSERT_TRUE(r.well_formed());
  EXPECT_EQ(r.result(), 1);
  EXPECT_STREQ(r.path(), "r|a.txt");
}

TEST(PacketTest, SessionRequestMatchesWorkedExample) {
  const ReqSession r;
  EXPECT_THAT(Body(r), ElementsAreArray({0x00, 0x02, 0x00, 0x02, 0x00, 0x02,
                                         0x00, 0x01}));
  const ReqSession received(Received(Body(r)));
  ASSERT_TRUE(received.well_formed());
  EXPECT_EQ(received.version(), kSessionVersion);
  // Another type gives an empty request.
  EXPECT_FALSE(ReqSession(Received(Body(ReqSystemLog("1", "a", "b", "c"))))
                   .well_formed());
}

TEST(PacketTest, SetSizeLimitsTheBody) {
  Packet p;
  EXPECT_EQ(p.set_size(0), 0);
  EXPECT_EQ(p.data, nullptr);
  EXPECT_EQ(p.set_size(5000), kMaxBody);
  EXPECT_EQ(p.set_size(4096), 4096);
  EXPECT_EQ(p.set_size(7), 7);
}

TEST(PacketTest, SelfAssignmentKeepsTheRecord) {
  ReqSystemLog r("1", "a", "b", "c");
  const std::vector<unsigned char> before = Body(r);
  RequestData& alias = r;
  alias = r;
  EXPECT_EQ(Body(r), before);
  ASSERT_EQ(r.entries.size(), 5u);
  EXPECT_STREQ(r.text1(), "a");
}

TEST(PacketTest, CopyPointsIntoItsOwnBody) {
  auto original = std::make_unique<ReqSystemLog>("1", "a", "b", "c");
  RequestData copy;
  copy = *original;
  original.reset();
  ASSERT_EQ(copy.entries.size(), 5u);
  EXPECT_EQ(EntryText(copy.entries[2]), std::string("a", 2));
  EXPECT_GE(copy.entries[2].data, copy.data.get());
  EXPECT_LT(copy.entries[2].data, copy.data.get() + copy.size);
}

TEST(PacketTest, OversizeRecordIsRefusedNotSentInPart) {
  const std::string huge(5000, 'h');
  EXPECT_THROW(ReqSystemLog("1", "a", huge.c_str(), "c"), std::length_error);
  // Every entry but the last fits: one byte over the body.
  const std::string time(4096 - 4 - 3 - 3 - 3 - 2, '7');
  EXPECT_THROW(ReqSystemLog(time.c_str(), "", "", ""), std::length_error);
  EXPECT_THROW(ReqAccessLog("u", "h", "i", "o", 1, 0, "s", huge.c_str()),
               std::length_error);
}

TEST(PacketTest, RecordFillingTheBodyExactlyKeepsAllEntries) {
  // 4 + 4 + 4 + (2 + n + 1) + 4 = 4096
  const std::string text(4096 - 4 - 4 - 4 - 4 - 3, 't');
  const ReqSystemLog r("1", "a", text.c_str(), "c");
  EXPECT_EQ(r.size, kMaxBody);
  EXPECT_TRUE(r.well_formed());
}

struct ParseCase {
  std::vector<unsigned char> body;
  std::vector<std::string> entries;
};

class ParseTest : public ::testing::TestWithParam<ParseCase> {};

TEST_P(ParseTest, YieldsTheCompleteEntries) {
  const RequestData r = Received(GetParam().body);
  std::vector<std::string> got;
  for (const Entry& e : r.entries) got.push_back(EntryText(e));
  EXPECT_EQ(got, GetParam().entries);
}

INSTANTIATE_TEST_SUITE_P(
    Bodies, ParseTest,
    ::testing::Values(
        ParseCase{{}, {}},
        ParseCase{{0x00}, {}},
        ParseCase{{0x00, 0x01, 'a'}, {"a"}},
        // Ends inside the second entry's length field.
        ParseCase{{0x00, 0x01, 'a', 0x00}, {"a"}},
        // Ends inside the second entry's value.
        ParseCase{{0x00, 0x01, 'a', 0x00, 0x03, 'b', 'c'}, {"a"}},
        ParseCase{{0x00, 0x00, 0x00, 0x01, 'z'}, {"", "z"}},
        // An entry announcing more than the whole body.
        ParseCase{{0xff, 0xff, 'a', 'b'}, {}}));

TEST(PacketTest, TypedRecordFromReceivedRequest) {
  const ReqSystemLog sent("1700000000", "x", "y", "z");
  const RequestData received = Received(Body(sent));
  const ReqSystemLog system(received);
  EXPECT_EQ(system.entries.size(), 5u);
  EXPECT_TRUE(system.well_formed());
  const ReqAccessLog access(received);
  EXPECT_EQ(access.size, 0);
  EXPECT_TRUE(access.entries.empty());
  EXPECT_FALSE(access.well_formed());
}

struct MalformedCase {
  const char* name;
  std::vector<unsigned char> body;
};

class MalformedSystemTest : public ::testing::TestWithParam<MalformedCase> {};

TEST_P(MalformedSystemTest, IsNotWellFormed) {
  const ReqSystemLog r(Received(GetParam().body));
  EXPECT_FALSE(r.well_formed());
}

INSTANTIATE_TEST_SUITE_P(
    Bodies, MalformedSystemTest,
    ::testing::Values(
        MalformedCase{"MissingText3",
                      {0, 2, 0, 1, 0, 2, '1', 0, 0, 2, 'a', 0, 0, 2, 'b', 0}},
        MalformedCase{"EmptyString",
                      {0, 2, 0, 1, 0, 2, '1', 0, 0, 2, 'a', 0, 0, 2, 'b', 0,
                       0, 0}},
        MalformedCase{"NoNul",
                      {0, 2, 0, 1, 0, 2, '1', 0, 0, 2, 'a', 0, 0, 2, 'b', 0,
                       0, 1, 'c'}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(PacketTest, AccessRecordNeedsOnlyTwoBytesOfErrorNumber) {
  const std::vector<unsigned char> body = {
      0, 2, 0, 0, 0, 2, 'u', 0, 0, 2, 'h', 0, 0, 2, 'i', 0, 0, 2, 'o', 0,
      0, 2, 0, 0, 0, 2, 0, 13, 0, 2, 's', 0, 0, 2, 'p', 0};
  const ReqAccessLog r(Received(body));
  ASSERT_TRUE(r.well_formed());
  EXPECT_EQ(r.error_number(), 13);
  EXPECT_EQ(r.result(), 0);

  std::vector<unsigned char> short_result = body;
  short_result[21] = 1;  // result entry of one byte
  short_result.erase(short_result.begin() + 23);
  EXPECT_FALSE(ReqAccessLog(Received(short_result)).well_formed());
}

TEST(PacketTest, ResultCarriesItsCode) {
  const ResultData r(0);
  EXPECT_THAT(Body(r), ElementsAreArray({0, 0}));
  EXPECT_EQ(ResultData(0x1234).code(), 0x1234);
  EXPECT_EQ(ResultData().code(), -1);
}

}  // namespace
}  // namespace quillo

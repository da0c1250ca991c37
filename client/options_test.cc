#include "client/options.h"

#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace quillo {
namespace {

using ::testing::ElementsAre;

struct Parsed {
  CommandLine cl;
  std::string out;
};

Parsed Parse(std::vector<const char*> args) {
  args.insert(args.begin(), "quillo-send");
  char* buf = nullptr;
  size_t len = 0;
  std::FILE* out = open_memstream(&buf, &len);
  Parsed p;
  try {
    p.cl = parse_command_line(static_cast<int>(args.size()), args.data(), out);
  } catch (...) {
    std::fclose(out);
    std::free(buf);
    throw;
  }
  std::fclose(out);
  p.out.assign(buf, len);
  std::free(buf);
  return p;
}

std::string ErrorOf(std::vector<const char*> args) {
  try {
    Parse(std::move(args));
  } catch (const std::invalid_argument& e) {
    return e.what();
  }
  return "no error";
}

TEST(OptionsTest, CommandLineErrors) {
  EXPECT_EQ(ErrorOf({}), "invalid argument!!");
  EXPECT_EQ(ErrorOf({"a", "b", "c", "d"}), "invalid argument!!");
  EXPECT_EQ(ErrorOf({"--system", "a", "b", "c"}), "too few argument!!");
  EXPECT_EQ(ErrorOf({"--access", "1", "2", "3", "4", "5", "6", "7"}),
            "too few argument!!");
  const std::string time(65, '7');
  EXPECT_EQ(ErrorOf({"--system", time.c_str(), "a", "b", "c"}),
            "TIME longer than 64 bytes");
  EXPECT_EQ(ErrorOf({"--system", time.c_str() + 1, "a", "b", "c"}),
            "no error");
}

TEST(OptionsTest, OptionOrderDoesNotMatter) {
  const Parsed before = Parse({"--system", "a", "b", "c", "d"});
  const Parsed after = Parse({"a", "b", "c", "d", "--system"});
  EXPECT_EQ(before.cl.kind, CommandLine::System);
  EXPECT_EQ(after.cl.kind, CommandLine::System);
  EXPECT_EQ(before.cl.log_data, after.cl.log_data);
}

TEST(OptionsTest, LastKindWinsAndDashWordsAreData) {
  const Parsed p = Parse({"-a", "-s", "u", "-x", "i", "o", "1", "0", "s", "p"});
  EXPECT_EQ(p.cl.kind, CommandLine::System);
  EXPECT_THAT(p.cl.log_data,
              ElementsAre("u", "-x", "i", "o", "1", "0", "s", "p"));
}

TEST(OptionsTest, VersionAndHelpStopTheScan) {
  const Parsed v = Parse({"-V", "--bogus"});
  EXPECT_TRUE(v.cl.done);
  EXPECT_EQ(v.out, "quillo-send : Ver.0.01\n");
  const Parsed h = Parse({"--system", "--help"});
  EXPECT_TRUE(h.cl.done);
  EXPECT_EQ(h.out,
            "quillo-send [-hV] [--system|--access] LOG_DATA ...\n"
            "quillo-send --stream [--format=fields|samba-audit] [--confirm]\n");
}

TEST(OptionsTest, StreamTakesNoRecordOnTheCommandLine) {
  const Parsed s = Parse({"--format=samba-audit", "--stream", "--confirm"});
  EXPECT_TRUE(s.cl.stream);
  EXPECT_TRUE(s.cl.confirm);
  EXPECT_EQ(s.cl.format, CommandLine::SambaAudit);
  EXPECT_EQ(Parse({"--stream"}).cl.format, CommandLine::Fields);
  EXPECT_FALSE(s.cl.transactions);
  EXPECT_TRUE(Parse({"--stream", "--transactions"}).cl.transactions);
  EXPECT_EQ(ErrorOf({"--stream", "--system", "1", "a", "b", "c"}),
            "invalid argument!!");
  EXPECT_EQ(ErrorOf({"--stream", "--format=csv"}), "invalid argument!!");
}

}  // namespace
}  // namespace quillo

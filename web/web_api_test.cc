#include "web/web_api.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "testing/temp_tree.h"

namespace quillo {
namespace {

using ::testing::HasSubstr;

TEST(PrometheusTextTest, CountersBecomeTypedSamplesAndJunkIsLeftOut) {
  EXPECT_EQ(prometheus_text("requests_access 12\n"
                            "forward_spool_bytes 4096\n"
                            "Bad-Name 3\n"
                            "half_line\n"
                            "negative -1\n"),
            "# TYPE quillo_requests_access counter\n"
            "quillo_requests_access 12\n"
            "# TYPE quillo_forward_spool_bytes gauge\n"
            "quillo_forward_spool_bytes 4096\n");
}

// Every refusal names the parameter at fault, whatever its place.
struct Refused {
  const char* path;
  WebParams params;
  const char* parameter;
};

class WebApiRefusalTest : public ::testing::TestWithParam<Refused> {};

TEST_P(WebApiRefusalTest, IsA400NamingTheParameter) {
  quillo_test::TempTree tree;
  const WebApi api(tree.path() + "/logs", tree.path() + "/stats");
  const WebAnswer answer = api.get(GetParam().path, GetParam().params, 1700000000);
  EXPECT_EQ(answer.status, 400);
  EXPECT_THAT(answer.body,
              HasSubstr(std::string("\"parameter\":\"") + GetParam().parameter + "\""));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WebApiRefusalTest,
    ::testing::Values(
        Refused{"/api/rows", {{"user", "a"}, {"since", "yesterday-ish"}}, "since"},
        Refused{"/api/rows", {{"kind", "disk"}}, "kind"},
        Refused{"/api/rows", {{"result", "maybe"}}, "result"},
        Refused{"/api/rows", {{"output", "csv"}}, "output"},
        Refused{"/api/rows", {{"root", "/etc"}}, "root"},
        Refused{"/api/rows", {{"limit", "0"}}, "limit"},
        Refused{"/api/rows", {{"limit", "100001"}}, "limit"},
        Refused{"/api/rows", {{"after", "-1"}}, "after"},
        Refused{"/api/count", {{"by", "path"}}, "by"},
        Refused{"/api/rows", {{"last", "0"}}, "last"},
        Refused{"/api/count", {{"by", "path"}}, "by"},
        Refused{"/api/count", {{"by", "user"}, {"until", "2026-02-30"}}, "until"}),
    // Stable names, so that a test keeps its name from build to build.
    [](const ::testing::TestParamInfo<Refused>& info) {
      return std::string(info.param.parameter) + "_" + std::to_string(info.index);
    });

}  // namespace
}  // namespace quillo

#include "web/web_assets.h"

#include <regex>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace quillo {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;

struct Route {
  const char* url;
  const char* file;  // nullptr: nothing served
};

class WebAssetRouteTest : public ::testing::TestWithParam<Route> {};

TEST_P(WebAssetRouteTest, ServesOnlyThePagesAndTheirFiles) {
  const WebAsset* asset = find_asset(GetParam().url);
  if (GetParam().file == nullptr) {
    EXPECT_EQ(asset, nullptr) << asset->name;
  } else {
    ASSERT_NE(asset, nullptr);
    EXPECT_STREQ(asset->name, GetParam().file);
    EXPECT_FALSE(asset->body.empty());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Urls, WebAssetRouteTest,
    ::testing::Values(
        Route{"/", "index.html"}, Route{"/search", "search.html"},
        Route{"/alerts", "alerts.html"}, Route{"/login", "login.html"},
        Route{"/static/app.js", "app.js"}, Route{"/static/style.css", "style.css"},
        Route{"/static/search.js", "search.js"},
        // Pages have one address each; no name is a path.
        Route{"/index", nullptr}, Route{"/index.html", nullptr},
        Route{"/search.html", nullptr}, Route{"/static/login.html", nullptr},
        Route{"/static/../app.js", nullptr}, Route{"/static//app.js", nullptr},
        Route{"/static/", nullptr}, Route{"/static/app.js/", nullptr},
        Route{"//search", nullptr}, Route{"/search/", nullptr},
        Route{"search", nullptr}, Route{"", nullptr}, Route{"/app.js", nullptr},
        Route{"/nope", nullptr}));

TEST(WebAssetTest, ContentTypesFollowTheFileKind) {
  EXPECT_THAT(find_asset("/")->content_type, StartsWith("text/html"));
  EXPECT_THAT(find_asset("/static/app.js")->content_type,
              StartsWith("text/javascript"));
  EXPECT_THAT(find_asset("/static/style.css")->content_type,
              StartsWith("text/css"));
  EXPECT_THAT(std::string(find_asset("/login")->body), HasSubstr("<form"));
}

// What the Content-Security-Policy (default-src 'self') would refuse, and
// the calls that would run log text as markup, are in no page: the pages
// are safe by construction, not by escaping.
class WebAssetSafetyTest : public ::testing::TestWithParam<std::size_t> {};

TEST_P(WebAssetSafetyTest, NoMarkupFromTextInlineCodeOrOutsideAddress) {
  const WebAsset& asset = kWebAssets[GetParam()];
  const std::string body(asset.body);
  for (const char* banned :
       {"innerHTML", "outerHTML", "insertAdjacentHTML", "document.write",
        "eval(", "new Function", "javascript:", "style=", "//fonts."}) {
    EXPECT_THAT(body, ::testing::Not(HasSubstr(banned))) << asset.name;
  }
  // The one URL allowed is the SVG namespace, which is never fetched.
  const std::regex url("https?://(?!www\\.w3\\.org/2000/svg['\"])");
  EXPECT_FALSE(std::regex_search(body, url)) << asset.name;
  if (std::string(asset.content_type).rfind("text/html", 0) != 0) return;
  const std::regex handler("<[^>]*\\son[a-z]+\\s*=", std::regex::icase);
  EXPECT_FALSE(std::regex_search(body, handler)) << asset.name;
  // Every script is a file of its own, and every file a page loads is
  // served.
  const std::regex script("<script([^>]*)>");
  const std::regex loads("(?:src|href)=\"(/static/[^\"]+)\"");
  for (std::sregex_iterator m(body.begin(), body.end(), script), end; m != end; ++m) {
    EXPECT_THAT((*m)[1].str(), HasSubstr(" src=\"/static/")) << asset.name;
  }
  for (std::sregex_iterator m(body.begin(), body.end(), loads), end; m != end; ++m) {
    EXPECT_NE(find_asset((*m)[1].str()), nullptr) << asset.name << ": " << (*m)[1];
  }
}

INSTANTIATE_TEST_SUITE_P(EveryFile, WebAssetSafetyTest,
                         ::testing::Range<std::size_t>(0, kWebAssetCount),
                         [](const ::testing::TestParamInfo<std::size_t>& info) {
                           std::string name = kWebAssets[info.param].name;
                           for (char& c : name) {
                             if (c == '.') c = '_';
                           }
                           return name;
                         });

}  // namespace
}  // namespace quillo

#include "web/web_assets.h"

#include <string>

namespace quillo {
namespace {

constexpr std::string_view kStatic = "/static/";
constexpr std::string_view kHtml = ".html";

const WebAsset* named(std::string_view name) {
  for (std::size_t i = 0; i < kWebAssetCount; ++i) {
    if (name == kWebAssets[i].name) return &kWebAssets[i];
  }
  return nullptr;
}

bool is_html(std::string_view name) {
  return name.size() >= kHtml.size() &&
         name.substr(name.size() - kHtml.size()) == kHtml;
}

}  // namespace

const WebAsset* find_asset(std::string_view url_path) {
  if (url_path.empty() || url_path[0] != '/') return nullptr;
  if (url_path == "/") return named("index.html");
  if (url_path.substr(0, kStatic.size()) == kStatic) {
    const std::string_view file = url_path.substr(kStatic.size());
    // Pages have a path of their own; /static/ serves what they load.
    return is_html(file) ? nullptr : named(file);
  }
  const std::string_view page = url_path.substr(1);
  // The dashboard is "/" only, and a page's name has no dot or slash.
  if (page.empty() || page == "index" ||
      page.find_first_of("./") != std::string_view::npos) {
    return nullptr;
  }
  return named(std::string(page) + std::string(kHtml));
}

}  // namespace quillo

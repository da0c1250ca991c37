// The pages of quillo-web: the HTML, CSS and JS files of web/pages/,
// compiled into the program by the build (web/embed_pages.cmake), so that
// nothing is read from disk to serve them. They hold no log data (the
// pages fetch it from /api/ with the session cookie), so they are served
// without the token.
//
//   GET /                 index.html (the dashboard)
//   GET /NAME             NAME.html (search, alerts, login)
//   GET /static/FILE      FILE, a style sheet, script or image (no HTML)
//
// Lookups are by exact name in the table: no path is ever opened, so
// "..", "%2e" or a doubled slash name nothing.

#ifndef QUILLO_WEB_WEB_ASSETS_H_
#define QUILLO_WEB_WEB_ASSETS_H_

#include <cstddef>
#include <string_view>

namespace quillo {

struct WebAsset {
  const char* name;          // the file's name in web/pages/
  const char* content_type;  // "text/html; charset=utf-8"...
  std::string_view body;
};

// The asset served at `url_path` (the request's path without its query),
// or nullptr when there is none.
const WebAsset* find_asset(std::string_view url_path);

// Every embedded file, in the order the build listed them (made by the
// build in web_pages_data.cc).
extern const WebAsset kWebAssets[];
extern const std::size_t kWebAssetCount;

}  // namespace quillo

#endif  // QUILLO_WEB_WEB_ASSETS_H_

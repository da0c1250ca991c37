// The read-only API of quillo-web over one log root, free of HTTP: a
// request is a path and its query parameters, an answer a status, a
// content type and a body.
//
//   GET /api/rows?FILTERS&limit=N&after=K   rows as quillo-query --output
//       json prints them for the same filters, in time order: at most N
//       (default 1000, at most 100000) after the first K; the answer's
//       `next` is the `after` of the next page, empty on the last one
//   GET /api/count?by=FIELD&FILTERS         [{"value":...,"count":...}],
//       largest first, the numbers of quillo-query --count-by
//   GET /api/rows?FILTERS&last=N          the last N rows (at most 100000)
//   GET /metrics                            quillod's counters file as
//       Prometheus text: "quillo_<name> <value>" with its "# TYPE"
//
// FILTERS are quillo-query's options without their dashes (kind, since,
// until, user, host, ip, op, result, share, path, not-user, ...), with the
// same values and time forms. A parameter that quillo-query would refuse,
// or that the API does not know, gives 400 and {"error":..., "parameter":
// NAME}. Every query reads the tree afresh through the reader library.

#ifndef QUILLO_WEB_WEB_API_H_
#define QUILLO_WEB_WEB_API_H_

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace quillo {

using WebParams = std::vector<std::pair<std::string, std::string>>;

struct WebAnswer {
  int status = 200;
  std::string content_type = "application/json";
  std::string body;
  std::string next;  // /api/rows: the next page's `after`, empty: none
  std::vector<std::pair<std::string, std::string>> headers;  // more of them
};

inline constexpr std::int64_t kDefaultRowLimit = 1000;
inline constexpr std::int64_t kMaxRowLimit = 100000;

class WebApi {
 public:
  // `log_root` is read, never written; `stats_path` is quillod's counters
  // file.
  WebApi(std::string log_root, std::string stats_path);

  // The answer to GET `path` with `params` at time `now`; 404 for a path
  // that is not the API's.
  WebAnswer get(const std::string& path, const WebParams& params,
                std::int64_t now) const;

  const std::string& log_root() const { return log_root_; }

 private:
  WebAnswer rows(const WebParams& params, std::int64_t now) const;
  WebAnswer count(const WebParams& params, std::int64_t now) const;
  WebAnswer metrics() const;

  std::string log_root_;
  std::string stats_path_;
};

// {"error":"<message>","parameter":"<name>"} (the parameter left out when
// empty), as a 400 answer.
WebAnswer bad_request(const std::string& message, const std::string& parameter);

// quillod's "name value" counter lines as Prometheus text exposition.
std::string prometheus_text(const std::string& counters);

}  // namespace quillo

#endif  // QUILLO_WEB_WEB_API_H_

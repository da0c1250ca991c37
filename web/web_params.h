// The query parameters every API endpoint shares: quillo-query's filters
// by their option names, whole numbers within bounds, and the errors they
// give as 400 answers naming the parameter.

#ifndef QUILLO_WEB_WEB_PARAMS_H_
#define QUILLO_WEB_WEB_PARAMS_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "query/query_options.h"
#include "reader/log_query.h"
#include "web/web_api.h"

namespace quillo {

// `text` as a JSON string, quotes included.
std::string json_string(const std::string& text);

// The options the filters of `params` make, parsed as quillo-query parses
// them; the answer is set instead (400) when one is refused or unknown.
// `own` names the parameters the endpoint reads itself.
bool parse_filters(const WebParams& params, std::int64_t now,
                   const std::vector<std::string>& own, QueryOptions* options,
                   WebAnswer* answer);

// A whole number from `params` named `name`, within [low, high], left as
// it is when the parameter is absent; false (and the answer set) for one
// that is not such a number.
bool number_param(const WebParams& params, const std::string& name,
                  std::int64_t low, std::int64_t high, std::int64_t* value,
                  WebAnswer* answer);

// Whether `params` holds `name`.
bool has_param(const WebParams& params, const std::string& name);

// Rows the reader leaves out are the tree's business, not the client's.
class QuietObserver final : public ReadObserver {
 public:
  void entry_left_out(const std::string&, std::string_view) override {}
  void line_left_out(const std::string&, int64_t, std::string_view) override {}
};

}  // namespace quillo

#endif  // QUILLO_WEB_WEB_PARAMS_H_

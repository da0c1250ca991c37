#include "web/web_params.h"

#include <cstdlib>

#include "logstore/log_kind.h"
#include "query/row_printer.h"

namespace quillo {
namespace {

// The filters quillo-query takes, by their option names.
bool is_filter(const std::string& name) {
  if (name == "kind" || name == "since" || name == "until") return true;
  const std::string field = name.compare(0, 4, "not-") == 0 ? name.substr(4) : name;
  const LogKindInfo& access = kind_info(LogKind::kAccess);
  for (std::size_t f = 0; f < access.column_count; ++f) {
    if (field == access.columns[f]) return true;
  }
  return false;
}

}  // namespace

std::string json_string(const std::string& text) {
  std::string out;
  append_json_string(out, text);
  return out;
}

bool parse_filters(const WebParams& params, std::int64_t now,
                   const std::vector<std::string>& own, QueryOptions* options,
                   WebAnswer* answer) {
  std::vector<std::string> args;
  for (const auto& [name, value] : params) {
    bool mine = false;
    for (const std::string& o : own) mine = mine || o == name;
    if (mine) continue;
    if (!is_filter(name)) {
      *answer = bad_request("unknown parameter", name);
      return false;
    }
    args.push_back("--" + name + "=" + value);
    try {
      // Parsed as it grows, so that the refusal names its parameter.
      *options = parse_query_options(args, now);
    } catch (const UsageError& e) {
      *answer = bad_request(e.what(), name);
      return false;
    }
  }
  if (args.empty()) *options = parse_query_options(args, now);
  return true;
}

bool number_param(const WebParams& params, const std::string& name,
                  std::int64_t low, std::int64_t high, std::int64_t* value,
                  WebAnswer* answer) {
  for (const auto& [key, text] : params) {
    if (key != name) continue;
    char* end = nullptr;
    const long long parsed = std::strtoll(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || parsed < low || parsed > high) {
      *answer = bad_request("not a whole number from " + std::to_string(low) +
                                " to " + std::to_string(high),
                            name);
      return false;
    }
    *value = parsed;
  }
  return true;
}

bool has_param(const WebParams& params, const std::string& name) {
  for (const auto& param : params) {
    if (param.first == name) return true;
  }
  return false;
}

}  // namespace quillo

#include "query/query_options.h"

#include <algorithm>
#include <map>
#include <optional>

#include "base/root_dir.h"
#include "config/config_xml.h"
#include "logstore/log_row.h"
#include "paths/appliance_paths.h"
#include "query/visible_text.h"
#include "reader/local_time.h"

namespace quillo {
namespace {

constexpr int64_t kDay = 86400;

// `text` in quotes for a message, as shown (visible_text.h).
std::string quoted(const std::string& text) {
  return "\"" + visible(text) + "\"";
}

// The field a filter or summary option names ("user", "op", ...); -1 when
// it names none.
int field_by_name(const std::string& name) {
  const LogKindInfo& access = kind_info(LogKind::kAccess);
  for (std::size_t f = 0; f < access.column_count; ++f) {
    if (name == access.columns[f]) return static_cast<int>(f);
  }
  return -1;
}

bool all_digits(const std::string& s, std::size_t pos, std::size_t len) {
  if (pos + len > s.size()) return false;
  for (std::size_t i = pos; i < pos + len; ++i) {
    if (s[i] < '0' || s[i] > '9') return false;
  }
  return true;
}

// The instant a bound at the local wall time `wall` stands for. A bound
// covers every row of its time: in an hour the clocks repeat, --since
// takes the first occurrence and --until the second; in an hour they
// skipped, both mean the moment of the jump (--until the second before).
int64_t instant_of(int64_t wall, TimeBound bound) {
  const LocalInstants at = local_instants(wall);
  return bound == TimeBound::kSince ? at.first : at.last;
}

// Local midnight of the day `t` falls in, `days_back` days earlier.
int64_t local_midnight(int64_t t, int days_back, TimeBound bound) {
  const int64_t wall = wall_of(t);
  // Floor division: the day of a time before 1970 starts before it.
  const int64_t day = (wall >= 0 ? wall : wall - (kDay - 1)) / kDay;
  return instant_of((day - days_back) * kDay, bound);
}

// "YYYY-MM-DD", then optionally " hh:mm" or " hh:mm:ss" (or "T" for the
// space). False when `text` is not of that form or names a day or time
// the calendar does not have (2026-02-29, 24:00, 23:59:60): such a field
// is refused, never carried into the next day or minute.
bool parse_calendar(const std::string& text, TimeBound bound, int64_t* out) {
  const std::size_t n = text.size();
  if (n != 10 && n != 16 && n != 19) return false;
  if (!all_digits(text, 0, 4) || text[4] != '-' || !all_digits(text, 5, 2) ||
      text[7] != '-' || !all_digits(text, 8, 2)) {
    return false;
  }
  RowTimeFields c;
  std::string hour_minute = "00:00";
  std::string second = "00";
  if (n > 10) {
    if ((text[10] != ' ' && text[10] != 'T') || !all_digits(text, 11, 2) ||
        text[13] != ':' || !all_digits(text, 14, 2)) {
      return false;
    }
    hour_minute = text.substr(11, 5);
    if (n == 19) {
      if (text[16] != ':' || !all_digits(text, 17, 2)) return false;
      second = text.substr(17, 2);
    }
  }
  // The calendar check is the row times': the same fields as a stored
  // time. A bound names no leap second.
  const std::string time = text.substr(0, 4) + "/" + text.substr(5, 2) + "/" +
                           text.substr(8, 2) + " " + hour_minute + ":" + second;
  if (!parse_row_time(time, &c) || c.second > 59) return false;
  *out = instant_of(wall_seconds(c), bound);
  return true;
}

// "-N" and a unit; false when `text` is not of that form.
bool parse_relative(const std::string& text, int64_t now, int64_t* out) {
  static const std::map<char, int64_t> kUnits = {
      {'s', 1}, {'m', 60}, {'h', 3600}, {'d', kDay}};
  if (text.size() < 3 || text.size() > 10 || text[0] != '-' ||
      !all_digits(text, 1, text.size() - 2)) {
    return false;
  }
  const auto unit = kUnits.find(text.back());
  if (unit == kUnits.end()) return false;
  *out = now - std::stoll(text.substr(1, text.size() - 2)) * unit->second;
  return true;
}

struct Parser {
  const std::vector<std::string>& args;
  int64_t now;
  std::size_t i = 0;
  QueryOptions options;
  std::vector<std::string> seen;  // the options given, without "--"

  // The value of option `name`: after "=" in `arg`, or the next argument.
  std::string value(const std::string& name, bool inline_value,
                    const std::string& inline_text) {
    if (inline_value) return inline_text;
    if (i + 1 >= args.size()) throw UsageError(name + " needs a value");
    return args[++i];
  }

  void one(const std::string& arg);
  bool mode_flag(const std::string& name, bool inline_value);
  void filter(const std::string& name, const std::string& text);
  void check() const;
  void check_seal_mode() const;
};

Output output_by_name(const std::string& name) {
  if (name == "csv") return Output::kCsv;
  if (name == "json") return Output::kJson;
  if (name == "table") return Output::kTable;
  throw UsageError("--output takes csv, json or table, not " + quoted(name));
}

LogKind kind_by_name(const std::string& name) {
  if (const std::optional<LogKind> kind = kind_named(name)) return *kind;
  throw UsageError("--kind takes system, access or alert, not " + quoted(name));
}

int count_by_name(const std::string& name) {
  if (name == "hour") return kByHour;
  if (name == "day") return kByDay;
  const int field = field_by_name(name);
  if (field < 0 || field == kPath) {
    throw UsageError(
        "--count-by takes user, host, ip, op, result, share, "
        "hour or day, not " +
        quoted(name));
  }
  return field;
}

void Parser::filter(const std::string& name, const std::string& text) {
  FieldFilter f;
  f.negate = name.compare(0, 4, "not-") == 0;
  f.field = field_by_name(f.negate ? name.substr(4) : name);
  f.pattern = text;
  if (f.field == kResult) {
    if (text != "ok" && text != "fail") {
      throw UsageError("--" + name + " takes ok or fail");
    }
    f.word_only = true;
  }
  if (f.pattern.empty()) throw UsageError("--" + name + " needs a pattern");
  options.filters.push_back(f);
}

void Parser::one(const std::string& arg) {
  if (arg == "-h" || arg == "--help") {
    options.help = true;
    return;
  }
  if (arg == "-f" || arg == "--follow") {
    options.follow = true;
    seen.push_back("follow");
    return;
  }
  if (arg.compare(0, 2, "--") != 0) {
    throw UsageError("unexpected argument " + quoted(arg));
  }
  const std::size_t eq = arg.find('=');
  const bool has_inline = eq != std::string::npos;
  const std::string name = arg.substr(2, has_inline ? eq - 2 : eq);
  const std::string inline_text = has_inline ? arg.substr(eq + 1) : "";
  if (mode_flag(name, has_inline)) return;
  const int field =
      field_by_name(name.compare(0, 4, "not-") == 0 ? name.substr(4) : name);
  if (field < 0 && name != "root" && name != "kind" && name != "since" &&
      name != "until" && name != "output" && name != "count-by" &&
      name != "lines" && name != "verify-key") {
    throw UsageError("unknown option " + quoted(arg));
  }
  seen.push_back(name);
  const std::string text = value("--" + name, has_inline, inline_text);
  if (field >= 0) {
    filter(name, text);
  } else if (name == "root") {
    if (text.empty()) throw UsageError("--root needs a folder");
    options.root = text;
  } else if (name == "kind") {
    options.kind = kind_by_name(text);
    options.has_kind = true;
  } else if (name == "verify-key") {
    if (text.empty()) throw UsageError("--verify-key needs a key");
    options.verify_key = text;
  } else if (name == "since") {
    options.since = parse_time_arg(text, now, TimeBound::kSince);
    options.has_since = true;
  } else if (name == "until") {
    options.until = parse_time_arg(text, now, TimeBound::kUntil);
  } else if (name == "output") {
    options.output = output_by_name(text);
  } else if (name == "count-by") {
    options.count_by = count_by_name(text);
  } else if (name == "lines") {
    if (!all_digits(text, 0, text.size()) || text.empty() || text.size() > 6) {
      throw UsageError("--lines takes a number of rows");
    }
    options.lines = std::stoi(text);
  }
}

// --setup-keys and --verify, which take no value; false for any other
// name.
bool Parser::mode_flag(const std::string& name, bool inline_value) {
  if (name != "setup-keys" && name != "verify") return false;
  if (inline_value) throw UsageError("--" + name + " takes no value");
  const Mode mode = name == "verify" ? Mode::kVerify : Mode::kSetupKeys;
  if (options.mode != Mode::kQuery && options.mode != mode) {
    throw UsageError("--setup-keys and --verify do not combine");
  }
  options.mode = mode;
  return true;
}

void Parser::check_seal_mode() const {
  static const char* const kVerifyOptions[] = {"verify-key", "kind", "since",
                                                "until", "root"};
  for (const std::string& name : seen) {
    if (options.mode == Mode::kSetupKeys) {
      throw UsageError("--setup-keys takes no other option");
    }
    if (options.mode == Mode::kVerify &&
        std::find(std::begin(kVerifyOptions), std::end(kVerifyOptions),
                  name) == std::end(kVerifyOptions)) {
      throw UsageError("--" + name + " does not combine with --verify");
    }
    if (options.mode == Mode::kQuery && name == "verify-key") {
      throw UsageError("--verify-key needs --verify");
    }
  }
}

void Parser::check() const {
  check_seal_mode();
  const bool system = options.kind == LogKind::kSystem;
  if (system && !options.filters.empty()) {
    throw UsageError("field filters apply to access and alert rows only");
  }
  if (system && options.count_by >= 0 && options.count_by < kFieldCount) {
    throw UsageError("system rows can be counted by hour or day only");
  }
  if (options.since > options.until) {
    throw UsageError("--since lies after --until");
  }
  if (options.follow && options.count_by >= 0) {
    throw UsageError("--follow and --count-by do not combine");
  }
  if (options.follow && options.until != QueryOptions().until) {
    throw UsageError("--follow and --until do not combine");
  }
}

}  // namespace

int64_t parse_time_arg(const std::string& text, int64_t now, TimeBound bound) {
  if (text == "now") return now;
  if (text == "today") return local_midnight(now, 0, bound);
  if (text == "yesterday") return local_midnight(now, 1, bound);
  // Every value is a valid time, those before 1970 too, so success is
  // told apart from the value.
  int64_t t = 0;
  if (!parse_calendar(text, bound, &t) && !parse_relative(text, now, &t)) {
    throw UsageError("cannot read the time " + quoted(text) +
                     " (YYYY-MM-DD [hh:mm[:ss]], today, yesterday, -2h, "
                     "-7d)");
  }
  return t;
}

QueryOptions parse_query_options(const std::vector<std::string>& args,
                                 int64_t now) {
  Parser parser{args, now, 0, QueryOptions(), {}};
  for (; parser.i < args.size(); ++parser.i) {
    parser.one(args[parser.i]);
    if (parser.options.help) return parser.options;
  }
  parser.check();
  return parser.options;
}

const char* usage_text() {
  return "usage: quillo-query [--root DIR] [--kind system|access|alert]\n"
         "         [--since TIME] [--until TIME] [--FIELD PATTERN]...\n"
         "         [--not-FIELD PATTERN]... [--output csv|json|table]\n"
         "         [--follow [--lines N]] [--count-by FIELD|hour|day]\n"
         "       quillo-query --setup-keys\n"
         "       quillo-query --verify [--verify-key KEY] [--kind KIND]\n"
         "         [--since TIME] [--until TIME] [--root DIR]\n"
         "FIELD: user host ip op result share path (access and alert rows)\n"
         "TIME: YYYY-MM-DD, \"YYYY-MM-DD hh:mm[:ss]\", now, today, "
         "yesterday, -30m, -2h, -7d\n";
}

LogQuery log_query(const QueryOptions& options) {
  LogQuery query;
  query.kind = options.kind;
  query.since = options.since;
  query.until = options.until;
  query.has_since = options.has_since;
  query.last_rows = options.lines;
  query.filters = options.filters;
  query.want_times = options.output == Output::kJson;
  return query;
}

std::string configured_log_root() {
  ConfigXml config(MakePaths(base::root_from_env()).config);
  config.load();
  return config.log_root();
}

}  // namespace quillo

// The parts of an alert condition that look at more than one row: a rate
// threshold per key, the "extension changed" test for renames, and the
// containment script to run when the threshold is reached.
//
//   <threshold><count>200</count><seconds>60</seconds><per>user</per></threshold>
//   <extchange enable="true"/>
//   <response><script>/mnt/data/bin/quillo-contain.sh</script>
//             <timeout>30</timeout></response>
//
// All three are optional children of an "alert" element; a condition
// without them matches and batches one row at a time as it always did.

#ifndef QUILLO_ALERT_RATE_RULE_H_
#define QUILLO_ALERT_RATE_RULE_H_

#include <optional>
#include <string>
#include <string_view>

namespace Corvel {
class CDOMNode;
}  // namespace Corvel

namespace quillo {

class ConfigXml;

// Which column's value a threshold counts by; kAll counts every row under
// one key.
enum class RatePer { kUser, kIp, kHost, kShare, kAll };

// "user", "ip", "host", "share", "all".
const char* rate_per_name(RatePer per);

struct Threshold {
  static constexpr int kMaxCount = 100000;
  static constexpr int kMaxSeconds = 86400;

  int count = 0;    // rows of one key within `seconds` that fire the condition
  int seconds = 0;  // the window, and the hold after a firing
  RatePer per = RatePer::kUser;

  bool operator==(const Threshold& o) const {
    return count == o.count && seconds == o.seconds && per == o.per;
  }
};

struct Response {
  static constexpr int kDefaultTimeout = 30;
  static constexpr int kMaxTimeout = 300;

  std::string script;  // run with argv, no shell
  int timeout = kDefaultTimeout;  // seconds before it is killed

  bool operator==(const Response& o) const {
    return script == o.script && timeout == o.timeout;
  }
};

// What an "alert" element says beyond the one-row condition. `error` is
// set, and the condition is to be left out, when an element is present but
// malformed.
struct RateRule {
  std::optional<Threshold> threshold;
  bool extchange = false;
  std::optional<Response> response;
  std::string error;

  bool operator==(const RateRule& o) const {
    return threshold == o.threshold && extchange == o.extchange &&
           response == o.response;
  }
};

// Reads "threshold", "extchange" and "response" below `element`.
RateRule read_rate_rule(const ConfigXml& config,
                        const Corvel::CDOMNode& element);

// The extension of the last path component (after its last "."; empty
// when it has none), ASCII letters lowered.
std::string path_extension(std::string_view path);

// For a rename row's path "OLD -> NEW": whether NEW's extension differs
// from OLD's. False for a path without " -> ".
bool extension_changed(std::string_view rename_path);

}  // namespace quillo

#endif  // QUILLO_ALERT_RATE_RULE_H_

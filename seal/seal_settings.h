// The sealing settings of the configuration document:
//
//   <sealconf enable="true"><epochminutes>15</epochminutes></sealconf>
//
// Without the element, or with enable other than "true", sealing is off.
// epochminutes is 1 to 1440 (default 15); another value is reported in
// `error` and the default used.

#ifndef QUILLO_SEAL_SEAL_SETTINGS_H_
#define QUILLO_SEAL_SEAL_SETTINGS_H_

#include <string>

namespace quillo {

class ConfigXml;

inline constexpr int kDefaultEpochMinutes = 15;
inline constexpr int kMaxEpochMinutes = 1440;

struct SealSettings {
  bool enable = false;
  int epoch_minutes = kDefaultEpochMinutes;
  std::string error;  // "epochminutes: ..." when the value was not taken
};

SealSettings read_seal_settings(const ConfigXml& config);

}  // namespace quillo

#endif  // QUILLO_SEAL_SEAL_SETTINGS_H_

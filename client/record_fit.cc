#include "client/record_fit.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace quillo {
namespace {

constexpr char kEllipsis[] = "...";
constexpr std::size_t kEllipsisLength = 3;

bool is_continuation(char c) {
  return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

// Cuts `field` so that it is `excess` bytes shorter, or to "..." alone:
// the kept head ends on a character boundary and "..." is appended.
void shorten(std::string& field, std::size_t excess) {
  std::size_t keep = field.size() > excess + kEllipsisLength
                         ? field.size() - excess - kEllipsisLength
                         : 0;
  while (keep > 0 && is_continuation(field[keep])) --keep;
  field.erase(keep);
  field += kEllipsis;
}

std::size_t total(const std::vector<std::string>& fields) {
  std::size_t sum = 0;
  for (const std::string& field : fields) sum += field.size();
  return sum;
}

}  // namespace

std::string system_record_error(const std::vector<std::string>& fields) {
  if (!fields.empty() && fields[0].size() > kMaxTimeBytes) {
    return "TIME longer than " + std::to_string(kMaxTimeBytes) + " bytes";
  }
  return "";
}

int fit_fields(std::vector<std::string>& fields, std::size_t room, int first,
               const std::vector<int>& keep) {
  std::vector<bool> done(fields.size(), false);
  for (const int k : keep) {
    if (k >= 0 && static_cast<std::size_t>(k) < fields.size()) done[k] = true;
  }
  int shortened = 0;
  int next = first;
  for (std::size_t sum = total(fields); sum > room; sum = total(fields)) {
    if (next < 0 || done[next]) {
      // The longest field not yet cut to the bone.
      next = -1;
      for (std::size_t i = 0; i < fields.size(); ++i) {
        if (!done[i] && fields[i].size() > kEllipsisLength &&
            (next < 0 || fields[i].size() > fields[next].size())) {
          next = static_cast<int>(i);
        }
      }
      if (next < 0) break;  // nothing left to cut
    }
    std::string& field = fields[next];
    if (field.size() <= kEllipsisLength) {
      done[next] = true;
      continue;
    }
    shorten(field, sum - room);
    ++shortened;
    done[next] = true;
  }
  return shortened;
}

int fit_access_fields(std::vector<std::string>& fields) {
  // RESULT and ERRNO travel as numbers: their text takes no body room.
  std::vector<std::string> text = fields;
  text[4].clear();
  text[5].clear();
  const int n = fit_fields(text, kAccessTextRoom, 7, {4, 5});
  for (const int i : {0, 1, 2, 3, 6, 7}) fields[i] = text[i];
  return n;
}

int fit_system_fields(std::vector<std::string>& fields) {
  return fit_fields(fields, kSystemTextRoom, -1, {0});
}

std::unique_ptr<quillo::RequestData> build_record(
    bool access, std::vector<std::string> fields) {
  if (access) {
    fit_access_fields(fields);
    // Base 0 (decimal, 0x hexadecimal, leading 0 octal), no error
    // detection; the record keeps the low 16 bits, so -1 sends 65535.
    const unsigned long result = std::strtoul(fields[4].c_str(), nullptr, 0);
    const long error_number = std::strtol(fields[5].c_str(), nullptr, 0);
    return std::make_unique<quillo::ReqAccessLog>(
        fields[0].c_str(), fields[1].c_str(), fields[2].c_str(),
        fields[3].c_str(), static_cast<int>(result & 0xffff),
        static_cast<std::uint16_t>(error_number & 0xffff), fields[6].c_str(),
        fields[7].c_str());
  }
  fit_system_fields(fields);
  return std::make_unique<quillo::ReqSystemLog>(
      fields[0].c_str(), fields[1].c_str(), fields[2].c_str(),
      fields[3].c_str());
}

}  // namespace quillo

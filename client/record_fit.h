// Making a record's fields fit one request body (kMaxBody bytes), so that
// a long record is logged shortened instead of refused and lost.

#ifndef QUILLO_CLIENT_RECORD_FIT_H_
#define QUILLO_CLIENT_RECORD_FIT_H_

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "protocol/packet.h"

namespace quillo {

// Text the body can hold besides the entries' fixed parts: an access record
// carries six strings (each with its 2-byte length and NUL) and three
// 2-byte or 4-byte number entries, a system record four strings and the
// type entry.
inline constexpr std::size_t kAccessTextRoom = 4096 - 32;
inline constexpr std::size_t kSystemTextRoom = 4096 - 16;

// Longest TIME a system record may carry. A time is never cut, which would
// change it; the daemon reads only its leading number, and no 32-bit time
// takes more than 11 characters, so a longer field is no time and its
// record is refused. Within this bound a system record always fits.
inline constexpr std::size_t kMaxTimeBytes = 64;

// Why a system record's fields (TIME TEXT1 TEXT2 TEXT3) can never be sent,
// "TIME longer than 64 bytes"; empty when they can.
std::string system_record_error(const std::vector<std::string>& fields);

// Shortens `fields` until their lengths add up to at most `room`: first
// the field `first` (the path of an access record; -1 for none) down to
// "..." if need be, then the longest remaining field, and so on. Each cut
// falls on a UTF-8 character boundary and ends in "...". Fields listed in
// `keep` (numbers, the time) are never cut. Returns the number of fields
// shortened.
int fit_fields(std::vector<std::string>& fields, std::size_t room, int first,
               const std::vector<int>& keep);

// The same for the text fields of an access record, in command-line order
// (USER HOST IP OPERATION RESULT ERRNO SHARE PATH), and of a system record
// (TIME TEXT1 TEXT2 TEXT3).
int fit_access_fields(std::vector<std::string>& fields);
int fit_system_fields(std::vector<std::string>& fields);

// The request for a record given as on the command line (8 access fields,
// RESULT and ERRNO read with base 0 and kept to their low 16 bits, or 4
// system fields), its fields fitted first so that it is sent whole. Raises
// std::length_error for fields no fit makes room for (a system record with
// a system_record_error()).
std::unique_ptr<quillo::RequestData> build_record(
    bool access, std::vector<std::string> fields);

}  // namespace quillo

#endif  // QUILLO_CLIENT_RECORD_FIT_H_

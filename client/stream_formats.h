// The line formats of `quillo-send --stream`: one record per line.
//
// fields: tab-separated fields of one record, the kind first:
//   system<TAB>TIME<TAB>TEXT1<TAB>TEXT2<TAB>TEXT3
//   access<TAB>USER<TAB>HOST<TAB>IP<TAB>OPERATION<TAB>RESULT<TAB>ERRNO
//         <TAB>SHARE<TAB>PATH
// with "\t", "\n", "\r" and "\\" as escapes inside a field. A system
// record whose TIME is longer than kMaxTimeBytes is unparseable.
//
// samba-audit: a message of Samba's full_audit module written with
// "full_audit:prefix = %u|%m|%I|%S|%P", after anything up to and including
// its "smbd_audit:" tag (the syslog header rsyslog's templates add):
//   user|machine|ip|share|sharepath|op|ok|args...
//   user|machine|ip|share|sharepath|op|fail (error text)|args...
// mapped to an access record by this table (paths made relative to the
// share path; the share's own folder becomes "."):
//   openat, open  r|PATH or w|PATH  ->  open,   path "r|REL" / "w|REL"
//   unlinkat      PATH              ->  delete, path "REL"
//   renameat      OLD|NEW           ->  rename, path "OLDREL -> NEWREL"
//   mkdirat       PATH              ->  mkdir,  path "REL"
// RESULT is 1 for "ok" and 0 for "fail"; ERRNO is the number whose text
// (the C library's, in the "C" locale) the failure gives, 0 when unknown.
// Other operations are skipped.

#ifndef QUILLO_CLIENT_STREAM_FORMATS_H_
#define QUILLO_CLIENT_STREAM_FORMATS_H_

#include <string>
#include <vector>

namespace quillo {

struct StreamRecord {
  bool access = true;
  // In command-line order: USER HOST IP OPERATION RESULT ERRNO SHARE PATH,
  // or TIME TEXT1 TEXT2 TEXT3; RESULT and ERRNO as text, read as on the
  // command line.
  std::vector<std::string> fields;
};

struct ParsedLine {
  enum Kind {
    kRecord,      // `record` holds it
    kSkipped,     // a line with nothing to log (an operation not mapped)
    kUnparseable  // not a line of the format; `reason` says why
  };
  Kind kind = kUnparseable;
  StreamRecord record;
  std::string reason;
  bool unknown_error_text = false;  // a failure whose text gave ERRNO 0
};

ParsedLine parse_fields_line(const std::string& line);
ParsedLine parse_samba_audit_line(const std::string& line);

// The error number whose strerror() text in the "C" locale is `text`, or 0.
int errno_from_text(const std::string& text);

}  // namespace quillo

#endif  // QUILLO_CLIENT_STREAM_FORMATS_H_

// Fuzzes a notification script's answer through the judgement applied to
// it after every notice request: parse the answer, take the first
// entrylist/entry below the root and its "result" attribute. A missing
// part is the XML layer's error and a parse failure may also surface as
// libxml++'s exception; both make the request "response invalid". Any other
// exception escaping is a finding, because the notice code catches only
// those two.
//
// The steps mirror the answer reader of notice/notice.cc, which is not
// reachable from outside that file.

#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>

#include <libxml++/exceptions/exception.h>

#include "support/xml/dom.h"

namespace {

std::string read_result(const std::string& answer) {
  Corvel::CDOMXmlDocument doc;
  std::istringstream in(answer);
  doc.Load(in);
  const Corvel::CDOMNode root = doc.GetRootNode();
  const Corvel::CDOMElement entry(root.SelectSingleNode("entrylist/entry"));
  return entry.GetAttributeValue("result").raw();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string answer(reinterpret_cast<const char*>(data), size);
  try {
    const std::string result = read_result(answer);
    // Judged as the notice code does: only "0" is success.
    volatile bool ok = result == "0";
    (void)ok;
  } catch (const Corvel::CXMLError&) {
  } catch (const xmlpp::exception&) {
  }
  return 0;
}

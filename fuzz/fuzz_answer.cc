// Fuzzes a notification script's answer through the judgement applied to
// it after every notice request. Whatever the bytes, the judgement either
// returns the answer (result "0") or raises CmdExecError; any other
// exception escaping, a crash or a hang is a finding.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "notice/notice.h"
#include "support/exec/command.h"

using quillo::CmdExecError;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string answer(reinterpret_cast<const char*>(data), size);
  try {
    if (quillo::judge_notice_answer("script", answer) != answer) std::abort();
  } catch (const CmdExecError&) {
  }
  return 0;
}

// installx64: performs the installer's Plug and Play device work as a 64-bit process.
#include "counterpart/counterpart.h"
#include "common/report.h"
#include "platform/port.h"
#include "runlog/run_log.h"

int main(int argc, char** argv) {
  if (port::initialize() != 0) return 3;
  port::SYSTEMTIME started{};
  port::GetLocalTime(&started);
  int result = run_counterpart(argc, argv);
  append_started_program_log("installx64", argc, argv, started, result, printed_transcript());
  port::shutdown();
  return result;
}

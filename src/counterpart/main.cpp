// installx64: performs the installer's Plug and Play device work as a 64-bit process.
#include "counterpart/counterpart.h"
#include "platform/port.h"

int main(int argc, char** argv) {
  if (port::initialize() != 0) return 3;
  int result = run_counterpart(argc, argv);
  port::shutdown();
  return result;
}

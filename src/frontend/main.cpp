// install: installs, configures and removes the halvik driver.
#include "frontend/program.h"
#include "platform/port.h"

int main(int argc, char** argv) {
  // The simulated backend says itself why its machine can't be loaded.
  if (port::initialize() != 0) return -1;
  run_installer(argc, argv);
}

#include "common/run_switches.h"

int verbose = 1;
int interactive = 1;

#include "server/end_process.h"

#include <cstdlib>

void end_process(int status) { std::exit(status); }

// The trade history view. Not offered yet.
#include "server/exchange.h"

int Exchange::handle_view_history(const korvane::History&) { return 0; }

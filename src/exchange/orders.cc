// Buying and selling. Not offered yet.
#include "server/exchange.h"

int Exchange::handle_buy(const korvane::Buy&) { return -1; }
int Exchange::handle_sell(const korvane::Sell&) { return -1; }
int Exchange::check_trading_bot(std::string, uint64_t, bool) { return -1; }
int Exchange::create_trade_history(std::string, uint64_t, uint64_t, bool) { return -1; }

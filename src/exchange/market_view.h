// The market view: every coin's price and stock, for anyone connected.
#ifndef KORVANE_EXCHANGE_MARKET_VIEW_H_
#define KORVANE_EXCHANGE_MARKET_VIEW_H_

// Prints one MarketResponse per coin that has a market row, in the order of the coin ids (BTC,
// ETH, XRP, SOL); rows of other symbols are not shown. Prints nothing when the read fails. Needs
// no session: prices and stock are public. Returns 0 when the market was read, else -1.
int handle_view_market();

#endif  // KORVANE_EXCHANGE_MARKET_VIEW_H_

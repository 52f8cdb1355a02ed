// Every sentence the page says about what the server did, and about input it refuses to send.
// The server often answers a refusal with a bare line or with nothing; these turn that into
// words. The order texts are the command-line client's (tools/korvane/outcome.cc), so a trader
// reads the same reason in both.

export const COINS = ['BTC', 'ETH', 'XRP', 'SOL'];

// Lines the server prints, as it prints them.
const NO_SUCH_LOGIN = 'There is no username, password';
const MULTI_LOGIN = 'Do not multi-login!';
const DUPLICATE = 'Duplicate ID';
const BOT_GUARD = '[-] DETECTED Trading Bot';
const FILTER_PREFIX = 'Detected SQL Injection: ';

// Characters the server's filter refuses in names and addresses; a sign-up that holds one ends
// the session, so the page never sends them.
const FILTERED = ['\'', '"', ' ', '$', ')', '(', ';', '-', '#', '\\'];
const MAX_NAME_BYTES = 32;
const MAX_ADDRESS_BYTES = 255;
const FEE_PERCENT = 25n;
const INT64_MAX = (1n << 63n) - 1n;
// Amounts travel as JavaScript numbers, exact up to 2^53 - 1: far above any stock.
const MAX_AMOUNT = BigInt(Number.MAX_SAFE_INTEGER);
// Orders carry a time the trade log can hold (up to 2038-01-19 03:14:07 UTC).
export const LATEST_TRADE_TIME = 2147483647;

const byteLength = (text) => new TextEncoder().encode(text).length;

function characterName(c) {
  return c === ' ' ? 'a space' : `“${c}”`;
}

function filteredIn(text) {
  return FILTERED.find((c) => text.includes(c));
}

// "YYYY-MM-DD HH:MM:SS UTC" of seconds since 1970.
export function utcTime(seconds) {
  const iso = new Date(Number(seconds) * 1000).toISOString();
  return `${iso.slice(0, 10)} ${iso.slice(11, 19)} UTC`;
}

// --- Input checks: each returns a sentence, or null when the input may be sent. ---

export function checkName(name) {
  if (name === '') return 'Enter a name.';
  if (byteLength(name) > MAX_NAME_BYTES) return `A name has at most ${MAX_NAME_BYTES} bytes.`;
  const c = filteredIn(name);
  if (c !== undefined) return `A name may not contain ${characterName(c)}.`;
  return null;
}

export function checkPassword(password) {
  return password === '' ? 'Enter a password.' : null;
}

// The amount as a BigInt, or a sentence.
export function parseAmount(text) {
  const t = text.trim();
  if (!/^[0-9]+$/.test(t) || BigInt(t) === 0n) {
    return { error: `Enter an amount of whole coins above 0${t === '' ? '' : `, not “${t}”`}.` };
  }
  if (BigInt(t) > MAX_AMOUNT) return { error: `An amount is at most ${MAX_AMOUNT} coins.` };
  return { amount: BigInt(t) };
}

export function checkAddress(address) {
  if (address === '') return 'Enter an address.';
  if (byteLength(address) > MAX_ADDRESS_BYTES) {
    return `An address has at most ${MAX_ADDRESS_BYTES} bytes.`;
  }
  const c = filteredIn(address);
  if (c !== undefined) return `An address may not contain ${characterName(c)}.`;
  return null;
}

// The server keeps an entry only with a memo that starts with a number above 0.
export function checkMemo(memo) {
  if (!/^[0-9]+$/.test(memo) || BigInt(memo) === 0n || BigInt(memo) > INT64_MAX) {
    return 'A memo is a whole number above 0; the exchange keeps no address without one.';
  }
  return null;
}

export function parseEntry(text) {
  const t = text.trim();
  if (!/^[0-9]+$/.test(t) || Number(t) === 0 || Number(t) > 2147483647) {
    return { error: 'Enter the number of an entry, a whole number above 0.' };
  }
  return { entry: Number(t) };
}

// --- What an answer means. Each returns { ok, text }. ---

export function signUpOutcome(name, answer) {
  const doc = answer.docs[0];
  if (doc && doc.acc_id !== undefined) {
    return { ok: true, text: `Signed up as ${name} (account ${doc.acc_id}). Sign in to trade.` };
  }
  if (answer.lines.includes(DUPLICATE)) {
    return { ok: false, text: `Not signed up: the name ${name} is taken.` };
  }
  return { ok: false, text: `Not signed up${filterReason(answer)}.` };
}

export function signInOutcome(answer, signedIn) {
  if (signedIn) return { ok: true, text: '' };
  if (answer.lines.includes(NO_SUCH_LOGIN)) {
    return { ok: false, text: 'Not signed in: wrong name or password.' };
  }
  if (answer.lines.includes(MULTI_LOGIN)) {
    return { ok: false, text: 'Not signed in: this session has had its sign-in.' };
  }
  return { ok: false, text: `Not signed in${filterReason(answer)}.` };
}

function filterReason(answer) {
  const line = answer.lines.find((l) => l.startsWith(FILTER_PREFIX));
  if (!line) return '';
  return `: the exchange refuses ${characterName(line.slice(FILTER_PREFIX.length))} in it`;
}

// An order: "traded ..." from its TradeResponse, or "not traded" with the reason the answer
// shows, as the command-line client words it. `order` is { buy, coin, amount, at } and
// `holding` the coins of that kind the account held before (for a sell), when known.
export function orderOutcome(order, answer, holding) {
  const trade = answer.docs.find((d) => d.coin_cur_price !== undefined);
  const symbol = COINS[order.coin];
  if (trade) {
    return {
      ok: true,
      text: `traded: ${order.buy ? 'bought' : 'sold'} ${trade.amount} ${trade.symbol} at ` +
        `${trade.coin_cur_price} KRW, total ${trade.total_price} KRW`,
    };
  }
  const side = order.buy ? 'buy' : 'sell';
  if (answer.lines.includes(BOT_GUARD)) {
    return {
      ok: false,
      text: `not traded: bot guard: a ${side} of ${symbol} at ${utcTime(order.at)} was made ` +
        'already; wait a second',
    };
  }
  if (!order.buy) {
    if (holding !== undefined && holding < order.amount) {
      return {
        ok: false,
        text: `not traded: you hold ${holding} ${symbol}, fewer than ${order.amount}`,
      };
    }
    return { ok: false, text: 'not traded' };
  }
  const [priceLine, stockLine] = answer.lines;
  if (!/^[0-9]+$/.test(priceLine ?? '') || !/^[0-9]+$/.test(stockLine ?? '')) {
    return { ok: false, text: 'not traded' };
  }
  const price = BigInt(priceLine);
  const stock = BigInt(stockLine);
  const coins = `${order.amount} ${symbol}`;
  if (order.amount > stock) {
    return {
      ok: false,
      text: `not traded: the exchange has ${stock} ${symbol} in stock, fewer than ${order.amount}`,
    };
  }
  const value = price * order.amount;
  const cost = value + (value * FEE_PERCENT) / 100n;
  if (cost > INT64_MAX) {
    return {
      ok: false,
      text: `not traded: ${coins} at ${price} KRW cost more than any balance can hold`,
    };
  }
  return {
    ok: false,
    text: `not traded: ${coins} at ${price} KRW cost ${cost} KRW with the ${FEE_PERCENT} % fee, ` +
      'more than your KRW balance',
  };
}

export function historyOutcome(answer) {
  const trades = answer.docs.filter((d) => d.trade_time !== undefined || d.total_price);
  return { ok: true, trades, text: trades.length === 0 ? 'no trades' : '' };
}

export function addAddressOutcome(answer) {
  const doc = answer.docs.find((d) => d.address !== undefined);
  if (doc) return { ok: true, text: 'Address added.', doc };
  const reason = filterReason(answer);
  return {
    ok: false,
    text: `Not added${reason || ': an account keeps at most ten addresses'}.`,
  };
}

export function rewriteOutcome(entry, answer) {
  const doc = answer.docs.find((d) => d.new_addr !== undefined);
  if (doc) return { ok: true, text: `Entry ${doc.id} rewritten.`, doc };
  const reason = filterReason(answer);
  return {
    ok: false,
    text: `Not rewritten${reason || `: you keep no entry ${entry}, or it holds that address already`}.`,
  };
}

// A rewrite of every entry prints the code it was asked with, then one id per entry.
export function rewriteAllOutcome(answer) {
  const reason = filterReason(answer);
  if (reason) return { ok: false, text: `Not rewritten${reason}.` };
  const ids = answer.lines.slice(1).filter((l) => /^[0-9]+$/.test(l));
  if (ids.length === 0) return { ok: false, text: 'Not rewritten: you keep no addresses.' };
  return { ok: true, ids, text: `Entries ${ids.join(', ')} rewritten.` };
}

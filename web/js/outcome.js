// Every sentence the page says about what the server did, and about input it refuses to send.
// The server often answers a refusal with a bare line or with nothing; these turn that into
// words. They are the command-line client's (tools/korvane/outcome.cc, text_rules.cc), so a
// trader reads the same reason in both.

export const COINS = ['BTC', 'ETH', 'XRP', 'SOL'];

// Lines the server prints, as it prints them.
const NO_SUCH_LOGIN = 'There is no username, password';
const MULTI_LOGIN = 'Do not multi-login!';
const DUPLICATE = 'Duplicate ID';
const BOT_GUARD = '[-] DETECTED Trading Bot';

// Characters the server's filter refuses in names, addresses and memos; a sign-up that holds one
// ends the session, so the page never sends them.
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

// Each filtered character in words: a blank, for one, is invisible in the server's line.
const CHARACTER_NAMES = {
  '\'': 'a single quote (\')', '"': 'a double quote (")', ' ': 'a blank',
  '$': 'a dollar sign ($)', ')': 'a parenthesis ())', '(': 'a parenthesis (()',
  ';': 'a semicolon (;)', '-': 'a hyphen (-)', '#': 'a hash sign (#)', '\\': 'a backslash (\\)',
};
const FILTERED_LIST = 'blanks and \' " $ ( ) ; - # \\';

const bad = (what, text) => `bad ${what} '${text}': `;

// "YYYY-MM-DD HH:MM:SS UTC" of seconds since 1970.
export function utcTime(seconds) {
  const iso = new Date(Number(seconds) * 1000).toISOString();
  return `${iso.slice(0, 10)} ${iso.slice(11, 19)} UTC`;
}

// --- Input checks: each returns a sentence, or null when the input may be sent. ---

// The first filtered character in the text, which a person reads from the left.
function filterProblem(what, text) {
  const c = [...text].find((ch) => FILTERED.includes(ch));
  if (c === undefined) return null;
  return `${bad(what, text)}it holds ${CHARACTER_NAMES[c]}; the server refuses ${FILTERED_LIST} ` +
    'in names, addresses and memos';
}

export function checkName(name) {
  if (name === '') return 'bad name \'\': a name needs at least one character';
  const bytes = byteLength(name);
  if (bytes > MAX_NAME_BYTES) {
    return `${bad('name', name)}it takes ${bytes} bytes; a name takes at most ${MAX_NAME_BYTES}`;
  }
  return filterProblem('name', name);
}

export function checkPassword(password) {
  return password === '' ? 'bad password: enter one' : null;
}

// The amount as a BigInt, or a sentence.
export function parseAmount(text) {
  const t = text.trim();
  if (!/^[0-9]+$/.test(t) || BigInt(t) === 0n) {
    return { error: `${bad('amount', t)}expected a whole number of coins above 0` };
  }
  if (BigInt(t) > MAX_AMOUNT) {
    return { error: `${bad('amount', t)}the page takes at most ${MAX_AMOUNT} coins` };
  }
  return { amount: BigInt(t) };
}

export function checkAddress(address) {
  if (address === '') return 'bad address \'\': an address needs at least one character';
  const bytes = byteLength(address);
  if (bytes > MAX_ADDRESS_BYTES) {
    return `bad address: it takes ${bytes} bytes; an address takes at most ${MAX_ADDRESS_BYTES}`;
  }
  return filterProblem('address', address);
}

// The server's own test: the number at the start of the text, which must not be 0. So an entry
// without a memo is never kept.
export function checkMemo(memo) {
  const digits = /^[0-9]+/.exec(memo);
  if (!digits || BigInt(digits[0]) === 0n) {
    return `${bad('memo', memo)}expected a whole number other than 0`;
  }
  return filterProblem('memo', memo);
}

export function parseEntry(text) {
  const t = text.trim();
  if (!/^[0-9]+$/.test(t) || Number(t) === 0 || Number(t) > 2147483647) {
    return { error: `bad entry id '${t}': expected a whole number above 0` };
  }
  return { entry: Number(t) };
}

// --- What an answer means. Each returns { ok, text }. ---

export function signUpOutcome(name, answer) {
  const doc = answer.docs[0];
  if (doc && doc.acc_id !== undefined) {
    return { ok: true, text: `signed up as ${name} (account ${doc.acc_id}); sign in to trade` };
  }
  if (answer.lines.includes(DUPLICATE)) {
    return { ok: false, text: `not signed up: the name '${name}' is taken` };
  }
  return { ok: false, text: 'not signed up' };
}

export function signInOutcome(answer, signedIn) {
  if (signedIn) return { ok: true, text: '' };
  if (answer.lines.includes(NO_SUCH_LOGIN)) {
    return { ok: false, text: 'not signed in: no account has that name and password' };
  }
  if (answer.lines.includes(MULTI_LOGIN)) {
    return { ok: false, text: 'not signed in: this connection has had its one sign-in' };
  }
  return { ok: false, text: 'not signed in' };
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
        'already; wait a second',  // the client adds "or give another --at"; the page has none
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

export function historyOutcome(answer, coin, buy) {
  const trades = answer.docs.filter((d) => d.total_price !== undefined);
  if (trades.length > 0) return { ok: true, trades, text: '' };
  return {
    ok: true,
    trades,
    text: `no trades: this account has ${buy ? 'bought' : 'sold'} no ${COINS[coin]}`,
  };
}

// The page checked the address and the memo before sending: what is left is the count.
export function addAddressOutcome(answer) {
  const doc = answer.docs.find((d) => d.address !== undefined);
  if (doc) return { ok: true, text: 'address added', doc };
  return { ok: false, text: 'not added: your address book holds ten entries, the most it keeps' };
}

export function rewriteOutcome(entry, answer) {
  const doc = answer.docs.find((d) => d.new_addr !== undefined);
  if (doc) return { ok: true, text: `entry ${doc.id} rewritten`, doc };
  return {
    ok: false,
    text: `entry ${entry} not rewritten: you have no entry ${entry}, or it holds that address ` +
      'already',
  };
}

// A rewrite of every entry prints the code it was asked with, then one id per entry.
export function rewriteAllOutcome(address, answer) {
  const ids = answer.lines.slice(1);
  if (ids.length === 0) {
    return { ok: false, ids, text: 'nothing overwritten: your address book is empty' };
  }
  return {
    ok: true,
    ids,
    text: `overwrote the address of entries ${ids.join(', ')} with '${address}'`,
  };
}

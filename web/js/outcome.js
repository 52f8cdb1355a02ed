// Every sentence the page says about what the server did, and about input it refuses to send.
// What became of a request is what its outcome line says (protocol.js asks for it on every
// request): done, or refused with one reason code of the server's table, which the page says in
// words of its own, one sentence a code. The limits and the filtered characters are the server's
// own, from wire_facts.js, which tools/wire_facts writes from the server's headers.
import {
  FEE_PERCENT,
  FILTERED_CHARACTERS,
  FILTERED_CHARACTER_NAMES,
  LATEST_TRADE_TIME,
  MAX_ADDRESS_BOOK_ENTRIES,
  MAX_ADDRESS_BYTES,
  MAX_USERNAME_BYTES,
  REASONS,
} from './wire_facts.js';

export const COINS = ['BTC', 'ETH', 'XRP', 'SOL'];

// Amounts travel as JavaScript numbers, exact up to 2^53 - 1: far above any stock.
const MAX_AMOUNT = BigInt(Number.MAX_SAFE_INTEGER);
// Orders carry a time the trade log can hold (up to 2038-01-19 03:14:07 UTC).
export { LATEST_TRADE_TIME };

const byteLength = (text) => new TextEncoder().encode(text).length;

const FILTERED_LIST = FILTERED_CHARACTERS.map((c) => (c === ' ' ? 'blanks' : c)).join(' ');

const bad = (what, text) => `bad ${what} '${text}': `;

// "YYYY-MM-DD HH:MM:SS UTC" of seconds since 1970.
export function utcTime(seconds) {
  const iso = new Date(Number(seconds) * 1000).toISOString();
  return `${iso.slice(0, 10)} ${iso.slice(11, 19)} UTC`;
}

// --- Input checks: each returns a sentence, or null when the input may be sent. ---

// The first filtered character in the text, which a person reads from the left.
function filterProblem(what, text) {
  const c = [...text].find((ch) => FILTERED_CHARACTERS.includes(ch));
  if (c === undefined) return null;
  return `${bad(what, text)}it holds ${FILTERED_CHARACTER_NAMES[c]}; the server refuses ` +
    `${FILTERED_LIST} in names, addresses and memos`;
}

export function checkName(name) {
  if (name === '') return 'bad name \'\': a name needs at least one character';
  const bytes = byteLength(name);
  if (bytes > MAX_USERNAME_BYTES) {
    return `${bad('name', name)}it takes ${bytes} bytes; a name takes at most ${MAX_USERNAME_BYTES}`;
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

// The server's own test (src/base/decimal.cc): the number at the start of the text, read as
// strtoll reads it (white space, a sign, digits; no digits read as 0), must not be 0. A number
// too large for 64 bits is not 0 either: the server's reading saturates. So an entry without a
// memo is never kept, and "+7" is as good as "7".
export function checkMemo(memo) {
  const digits = /^[ \t\n\v\f\r]*[+-]?([0-9]*)/.exec(memo)[1];
  if (!/[1-9]/.test(digits)) return `${bad('memo', memo)}expected a whole number other than 0`;
  return filterProblem('memo', memo);
}

export function parseEntry(text) {
  const t = text.trim();
  if (!/^[0-9]+$/.test(t) || Number(t) === 0 || Number(t) > 2147483647) {
    return { error: `bad entry id '${t}': expected a whole number above 0` };
  }
  return { entry: Number(t) };
}

// --- What an outcome line says, in words. ---

// One sentence for each reason code of the server's table. `c` holds what the page knows of the
// request: coin (a symbol), amount, side ("buy" or "sell"), at (its time), name, entry, detail.
const WORDS = {
  ok: () => 'done as asked',
  bot_guard: (c) => `the bot guard: this account made a ${c.side} of ${c.coin} at ` +
    `${utcTime(c.at)} already; wait a second`,
  no_stock: (c) => `the exchange holds fewer ${c.coin} than the ${c.amount} you asked for`,
  no_krw: (c) => `your KRW do not cover ${c.amount} ${c.coin} and the ${FEE_PERCENT} % fee`,
  no_coins: (c) => `you hold fewer ${c.coin} than the ${c.amount} you offered`,
  book_full: () => `your address book holds ${MAX_ADDRESS_BOOK_ENTRIES} entries, the most it keeps`,
  not_your_entry: (c) => `you have no entry ${c.entry}`,
  same_address: (c) => `entry ${c.entry} holds that address already`,
  name_taken: (c) => `the name '${c.name}' is taken`,
  bad_name: () => `the server takes no name that is empty or longer than ${MAX_USERNAME_BYTES} ` +
    'bytes, and ended the session',
  bad_login: () => 'no account has that name and password',
  not_signed_in: () => 'this session is not signed in',
  sign_in_spent: () => 'this session has had its one sign-in',
  filtered: (c) => `it holds ${FILTERED_CHARACTER_NAMES[c.detail] ?? `'${c.detail}'`}, which the ` +
    'server refuses',
  bad_amount: () => 'the amount is 0, or more than any balance can hold',
  bad_coin: () => 'the exchange has no such coin',
  too_long: () => `the address takes more than ${MAX_ADDRESS_BYTES} bytes`,
  bad_memo: () => 'the memo is not a whole number other than 0',
  bad_time: () => 'its time is after 2038-01-19, which the trade log cannot hold',
  bad_text: () => 'a text holds a NUL byte, which the database cannot take',
  too_large: () => 'a balance or the stock would grow past what it can hold',
  busy: () => 'the database kept it waiting too long; nothing was applied, try again',
  no_database: () => 'the server lost its database and ended the session; whether it was ' +
    'applied is not known',
  database: () => 'the database refused it for a reason of its own',
  not_offered: () => 'the exchange does not offer that yet',
  unknown_event: () => 'the server does not know that request',
  malformed: () => 'the server could not read the request',
};

// The reason codes of the server's table that have no words here: none, or the page is behind.
export function reasonsWithoutWords() {
  return Object.keys(REASONS).filter((code) => !(code in WORDS));
}

// Why the answer's request was refused, in words; null when it was done. An answer without an
// outcome line, or with a reason the page has no words for, is said as such.
function refusal(answer, context = {}) {
  const o = answer.outcome;
  if (!o) return 'the server did not say what became of it';
  if (o.outcome === 'done') return null;
  const words = WORDS[o.reason];
  if (!words) return `the server refused it (${o.reason}: ${REASONS[o.reason] ?? 'unknown'})`;
  return words({ ...context, detail: o.detail });
}

// The ids the request made, as numbers.
const madeIds = (answer) => (answer.outcome?.ids ?? []).map(Number);

// --- What an answer means. Each returns { ok, text } and what else it holds. ---

export function signUpOutcome(name, answer) {
  const why = refusal(answer, { name });
  if (why) return { ok: false, text: `not signed up: ${why}` };
  return { ok: true, text: `signed up as ${name} (account ${madeIds(answer)[0]})` };
}

export function signInOutcome(answer) {
  const why = refusal(answer);
  if (why) return { ok: false, text: `not signed in: ${why}` };
  return { ok: true, text: '' };
}

// The fee the server takes on a trade of `value` KRW (src/account/money.h): FEE_PERCENT of it,
// truncated.
export const tradeFee = (value) => (value * BigInt(FEE_PERCENT)) / 100n;

// An order: "traded ..." from its TradeResponse, with what left or entered the KRW balance, or
// "not traded" with its reason. `order` is { buy, coin, amount, at }.
export function orderOutcome(order, answer) {
  const symbol = COINS[order.coin];
  const why = refusal(answer,
    { coin: symbol, amount: order.amount, side: order.buy ? 'buy' : 'sell', at: order.at });
  if (why) return { ok: false, text: `not traded: ${why}` };
  const trade = answer.docs.find((d) => d.coin_cur_price !== undefined);
  // A buy pays the value and the fee; a sell is paid the value less the fee.
  const value = BigInt(trade.total_price);
  const fee = tradeFee(value);
  const krw = order.buy ? `+ fee ${fee} KRW = ${value + fee} KRW left your balance`
    : `- fee ${fee} KRW = ${value - fee} KRW entered your balance`;
  return {
    ok: true,
    text: `traded: ${order.buy ? 'bought' : 'sold'} ${trade.amount} ${trade.symbol} at ` +
      `${trade.coin_cur_price} KRW, total ${value} KRW ${krw}`,
  };
}

// Enter in the amount field places no order: a side is chosen by its own button.
export const ORDER_NEEDS_SIDE = 'Enter places no order: press Buy or Sell';

// An order's outcome stands when reading the balances after it failed (`why`): that is said
// apart. Once the connection is gone the account's views are too, so the outcome is repeated here
// with the way back.
export function staleAfterOrder(outcomeText, why, lost) {
  if (!lost) {
    return `the balances shown are from before your last order: reading them again failed (${why})`;
  }
  return `your last order: ${outcomeText}; then the connection was lost before the balances ` +
    'were read again: reconnect and sign in to see them';
}

export function historyOutcome(answer, coin, buy) {
  const why = refusal(answer);
  const trades = answer.docs.filter((d) => d.total_price !== undefined);
  if (why) return { ok: false, trades, text: `no history: ${why}` };
  if (trades.length > 0) return { ok: true, trades, text: '' };
  return {
    ok: true,
    trades,
    text: `no trades: this account has ${buy ? 'bought' : 'sold'} no ${COINS[coin]}`,
  };
}

// The entries of an address list: { id, coin, address, memo } each, in the order of their ids.
export function addressList(answer) {
  const why = refusal(answer);
  const entries = answer.docs.filter((d) => d.id !== undefined && d.address !== undefined)
    .map((d) => ({ id: Number(d.id), coin: d.symbol, address: d.address, memo: d.memo }));
  return { ok: !why, entries, text: why ? `no address list: ${why}` : '' };
}

export function addAddressOutcome(answer) {
  const why = refusal(answer);
  if (why) return { ok: false, text: `not added: ${why}` };
  return { ok: true, text: `address added as entry ${madeIds(answer)[0]}` };
}

export function rewriteOutcome(entry, answer) {
  const why = refusal(answer, { entry });
  if (why) return { ok: false, text: `entry ${entry} not rewritten: ${why}` };
  return { ok: true, text: `entry ${entry} rewritten` };
}

export function rewriteAllOutcome(address, answer) {
  const why = refusal(answer);
  const ids = madeIds(answer);
  if (why) return { ok: false, ids, text: `nothing overwritten: ${why}` };
  if (ids.length === 0) {
    return { ok: false, ids, text: 'nothing overwritten: your address book is empty' };
  }
  return {
    ok: true,
    ids,
    text: `overwrote the address of entries ${ids.join(', ')} with '${address}'`,
  };
}

// What the page asks before a rewrite of every entry: what each entry holds now.
export function rewriteAllQuestion(entries, address) {
  if (entries.length === 0) return null;
  const now = entries.map((e) => `entry ${e.id} (${e.coin}) '${e.address}'`).join(', ');
  return `Rewrite all overwrites ${now} with '${address}'. Overwrite them?`;
}

// --- A request whose connection was lost before its answer came. ---

// What a person can do to learn what became of `change` (see app.js) by hand.
function howToCheck(change) {
  if (change.order) {
    const o = change.order;
    return `sign in again and look for a ${o.buy ? 'buy' : 'sell'} of ${o.amount} ` +
      `${COINS[o.coin]} at ${utcTime(o.at)} in its history`;
  }
  return 'sign in again and look at your addresses';
}

// The connection was lost during `change`, and the page could not settle it: `why` says why.
export function unsettled(change, why) {
  return `the connection was lost during the ${change.what}, and ${why}: whether it was ` +
    `applied is not known; ${howToCheck(change)}`;
}

// The connection was lost during `change`; a new session found it `applied` or not.
export function settled(change, applied) {
  const lost = `the connection was lost during the ${change.what}; a new session found that it`;
  return applied ? `${lost} was applied` : `${lost} was not applied`;
}

// The facts of the wire the page holds to, as the server holds to them. Written by
// tools/wire_facts from src/base/wire_facts.h, src/base/filter_characters.h,
// src/base/reasons.h and src/server/dispatch.h; do not edit it, run
// `build/tools/wire_facts > web/js/wire_facts.js` instead (a test compares the two).

// One request is one read of the server: at most this many bytes.
export const MAX_REQUEST_BYTES = 10240;
export const MAX_USERNAME_BYTES = 32;
export const MAX_ADDRESS_BYTES = 255;
export const MAX_ADDRESS_BOOK_ENTRIES = 10;
// The entry id of a rewrite that rewrites every entry of the book.
export const EVERY_ADDRESS_BOOK_ENTRY = -1;
export const STARTING_KRW = 100000000;
// The fee on each side of a trade, in percent of its value.
export const FEE_PERCENT = 25;
// The last second an order can carry (2038-01-19 03:14:07 UTC).
export const LATEST_TRADE_TIME = 2147483647;
// The server prints the prompt after every answer; nothing else it prints ends without a
// line end.
export const PROMPT = '> ';
// How the outcome line, the last of an answer that asked for it, starts.
export const OUTCOME_LINE_START = '{"outcome":';
// The line a connection closed before its server starts gets (then the reason, no prompt),
// and the line of a server that cannot reach the exchange's database.
export const CLOSING_LINE = 'closed: ';
export const CONNECTION_ERROR_LINE = '[MySQL] Connection Error';
// How long a person waits for the first prompt, and for an answer, before being told what
// may hold it up.
export const SLOW_GREETING_MS = 3000;
export const SLOW_ANSWER_MS = 2000;

// The characters the server refuses in names, addresses and memos, in the order it checks
// them: an outcome's detail is the first of this list that the text holds.
export const FILTERED_CHARACTERS = ['\'', '"', ' ', '$', ')', '(', ';', '-', '#', '\\'];
// Each filtered character in words: a blank, for one, is invisible in a line.
export const FILTERED_CHARACTER_NAMES = {
  '\'': 'a single quote (\')',
  '"': 'a double quote (")',
  ' ': 'a blank',
  '$': 'a dollar sign ($)',
  ')': 'a parenthesis ())',
  '(': 'a parenthesis (()',
  ';': 'a semicolon (;)',
  '-': 'a hyphen (-)',
  '#': 'a hash sign (#)',
  '\\': 'a backslash (\\)',
};

// The reasons an outcome line gives, each with its meaning.
export const REASONS = {
  ok: 'done as asked',
  bot_guard: 'the account made an order of this coin, side and time already (the bot guard)',
  no_stock: 'the exchange holds fewer coins than the buy asks for',
  no_krw: 'the account\'s KRW do not cover the buy\'s cost and fee',
  no_coins: 'the account holds fewer coins than the sell offers',
  book_full: 'the address book holds ten entries, the most it keeps',
  not_your_entry: 'no entry of the account has that id',
  same_address: 'the entry holds that address already',
  name_taken: 'an account of that name exists',
  bad_name: 'a sign-up name empty or longer than 32 bytes: the server ends the session',
  bad_login: 'no account has that name and password',
  not_signed_in: 'the request needs a signed-in session',
  sign_in_spent: 'a session allows one sign-in, and it was used: open a new session',
  filtered: 'a text holds a character the server refuses; detail gives it',
  bad_amount: 'an amount of 0, or one too large for any balance',
  bad_coin: 'no coin has that number',
  too_long: 'an address longer than 255 bytes',
  bad_memo: 'a memo that is not a number other than 0',
  bad_time: 'a time the database cannot store (after 2038-01-19)',
  bad_text: 'a text with a NUL byte, which the database cannot take',
  too_large: 'a balance or stock would pass what its column holds',
  busy: 'the database kept the request waiting for locks until its tries were spent: not applied',
  no_database: 'the database could not be reached; the server ends the session, and whether the request was applied is not known',
  database: 'the database refused a statement for a reason of its own',
  not_offered: 'deposits and deleting an address are not offered yet',
  unknown_event: 'no request has that event code',
  malformed: 'the bytes are no envelope, or lack the message the event needs',
};

// The event codes, by the names an outcome line gives them.
export const EVENTS = {
  signup: 0x10000000,
  signin: 0x10000001,
  signout: 0x10000002,
  my_info: 0x10000003,
  market: 0x10000100,
  buy: 0x20000000,
  sell: 0x20000001,
  history: 0x20000002,
  add_address: 0x20000003,
  modify_address: 0x20000004,
  delete_address: 0x20000005,
  deposit: 0x20000006,
  list_addresses: 0x20000007,
  balances: 0x20000100,
};

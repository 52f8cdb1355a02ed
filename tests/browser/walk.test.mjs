// A trader's walk through every view of the page, in a real browser against the real endpoint,
// server and database: what a person does and what the page must show them.
import assert from 'node:assert/strict';
import { after, before, test } from 'node:test';

import { Browser, Endpoint, Sql, signIn } from './harness.mjs';
import { parseAnswer } from '../../web/js/protocol.js';
import { checkAddress, checkMemo, orderOutcome, reasonsWithoutWords } from '../../web/js/outcome.js';
import { EVENTS, MAX_ADDRESS_BYTES } from '../../web/js/wire_facts.js';

let endpoint;
let b;

before(async () => {
  endpoint = await Endpoint.start();
  b = await Browser.open();
  await b.page.goto(endpoint.url);
  await b.connection('connected');
});

after(async () => {
  await b?.close();
  await endpoint?.stop();
});

test('the market is asked for as soon as the greeting comes', async () => {
  await b.text('#market tbody', 'SOL');
  const seen = await b.page.evaluate(async () => {
    const greeting = window.korvaneWire.find((m) => m.received?.endsWith('> ')).at;
    const first = window.korvaneWire.find((m) => m.sent);
    const loads = performance.getEntriesByType('resource');
    const proto = loads.find((e) => e.name.endsWith('/korvane.proto')).startTime;
    const between = loads.filter((e) => e.startTime > greeting && e.startTime < first.at);
    const root = protobuf.parse(await (await fetch('korvane.proto')).text(), { keepCase: true });
    const type = root.root.lookupType('korvane.KorvaneInterface');
    const event = type.decode(new Uint8Array(first.sent)).event_id;
    return { schemaFirst: proto < greeting, between: between.map((e) => e.name), event };
  });
  assert.deepEqual(seen, { schemaFirst: true, between: [], event: EVENTS.market });
});

test('every reason code the server gives has the page\'s words', () => {
  assert.deepEqual(reasonsWithoutWords(), []);
});

// Answers as the server prints them, and the outcome line the page reads from each.
const ANSWERS = [
  ['{"outcome":"done","event":"buy","reason":"ok","ids":[57]}\n',
    { outcome: 'done', event: 'buy', reason: 'ok', ids: [57] }],
  ['{\n "acc_id": "3"\n}\n\n{"outcome":"done","event":"signup","reason":"ok","ids":[3]}\n',
    { outcome: 'done', event: 'signup', reason: 'ok', ids: [3] }],
  ['Detected SQL Injection: \'\n{"outcome":"refused","event":"add_address","reason":"filtered",' +
    '"detail":"\'"}\n',
  { outcome: 'refused', event: 'add_address', reason: 'filtered', detail: '\'' }],
  ['There is no username, password\n', null],
  ['', null],
];

test('the outcome line is read from the end of an answer, and only from there', () => {
  for (const [text, outcome] of ANSWERS) {
    const answer = parseAnswer(text);
    assert.deepEqual(answer.outcome, outcome, text);
    assert.ok(!answer.lines.some((l) => l.startsWith('{"outcome":')), text);
  }
});

// Memos as the server reads them: a number other than 0 at the start, read as strtoll reads it.
const MEMOS = [['7', true], ['+7', true], ['\t12', true], ['007', true], ['9'.repeat(30), true],
  ['12abc', true], ['0', false], ['+0', false], ['abc', false], ['', false], ['+', false]];

test('the page takes a memo exactly when the server does', () => {
  for (const [memo, taken] of MEMOS) assert.equal(checkMemo(memo) === null, taken, memo);
});

// Addresses as the command-line client takes them (tests/unit/client_commands_test.cc): an empty
// one is refused by both, though the server would keep it, so that no entry is blank.
const ADDRESSES = [['rFirst', true], ['+7', true], ['', false], ['r 1', false],
  ['r'.repeat(MAX_ADDRESS_BYTES), true], ['r'.repeat(MAX_ADDRESS_BYTES + 1), false]];

test('the page takes an address exactly when the client does', () => {
  for (const [address, taken] of ADDRESSES) {
    assert.equal(checkAddress(address) === null, taken, address);
  }
});

// Trades' totals as the server answers them, and what moved the KRW balance as the server moves
// it: the 25 % fee is truncated, and exact past 2^53.
const TRADES = [[true, '7', '+ fee 1 KRW = 8 KRW left your balance'],
  [false, '9007199254740993', '- fee 2251799813685248 KRW = 6755399441055745 KRW entered']];

test('a trade\'s note says what left or entered the balance, fee included', () => {
  for (const [buy, total, said] of TRADES) {
    const docs = [{ coin_cur_price: 1, total_price: total }];
    const answer = { outcome: { outcome: 'done' }, docs };
    assert.match(orderOutcome({ buy, coin: 2 }, answer).text, new RegExp(`${total} KRW \\${said}`));
  }
});

// Input the page stops before anything is sent: [form fields, button, note element, message].
const REFUSED_INPUT = [
  [{ Name: '', Password: 'pw' }, 'Sign in', '#account-note',
    "bad name '': a name needs at least one character"],
  [{ Name: 'ann', Password: '' }, 'Sign up', '#account-note', 'bad password: enter one'],
  [{ Name: 'ann', Password: '' }, 'Sign in', '#account-note', 'bad password: enter one'],
  [{ Name: 'mary-jane', Password: 'pw' }, 'Sign up', '#account-note',
    "bad name 'mary-jane': it holds a hyphen (-); the server refuses"],
  [{ Name: 'a'.repeat(33), Password: 'pw' }, 'Sign up', '#account-note',
    'it takes 33 bytes; a name takes at most 32'],
];
// Orders the page does not send: [amount, button or 'Enter' in the amount, note]. Enter chooses
// no side (a buy here would show in the history of XRP below).
const REFUSED_ORDERS = [
  ['0', 'Buy', "bad amount '0': expected a whole number of coins above 0"],
  ['ten', 'Sell', "bad amount 'ten': expected a whole number of coins above 0"],
  ['', 'Buy', "bad amount '': expected a whole number of coins above 0"],
  ['1.5', 'Buy', "bad amount '1.5'"],
  ['5', 'Enter', 'Enter places no order: press Buy or Sell'],
];

test('bad sign-up and sign-in input is stopped in the page', async () => {
  for (const step of REFUSED_INPUT) await b.step(...step);
  // Nothing reached the server: the session is still the first, and still greeted.
  assert.equal(await b.page.$eval('#connection', (el) => el.dataset.state), 'connected');
});

test('a sign-up signs in at once with the password it was given', async () => {
  await b.step({ Name: 'walker', Password: 'right-pass' }, 'Sign up', '#account-note',
    /^signed up as walker \(account [0-9]+\)$/);
  await b.text('#user-name', 'walker');
  await b.text('#balance-total', '100000000');
  // The password field keeps nothing.
  assert.equal(await b.page.$eval('input[name=password]', (el) => el.value), '');
  await b.press('Sign out');
  await b.text('#account-note', 'signed out');
});

test('a taken name and a wrong password are refused with their reasons', async () => {
  const steps = [
    [{ Name: 'walker', Password: 'other-pass' }, 'Sign up',
      "not signed up: the name 'walker' is taken"],
    [{ Password: 'wrong' }, 'Sign in', 'not signed in: no account has that name and password'],
  ];
  for (const [fields, button, note] of steps) {
    await b.connection('connected');
    await b.step(fields, button, '#account-note', note);
  }
  await b.connection('connected');
  await signIn(b, 'walker', 'right-pass');
  // Said to a screen reader, and the focus goes to what the sign-in shows.
  await b.text('#account-note[aria-live="polite"]', 'signed in as walker');
  assert.equal(await b.page.evaluate(() => document.activeElement.id), 'signed-in-text');
});

test('the market lists every coin with its price and stock', async () => {
  await b.text('#market tbody', 'SOL');
  const rows = await b.rows('#market');
  assert.deepEqual(rows.map((r) => r[0]), ['BTC', 'ETH', 'XRP', 'SOL']);
  for (const r of rows) assert.match(`${r[1]} ${r[2]}`, /^[0-9]+ [0-9]+$/);
});

test('bad amounts, and Enter without a side, are stopped in the page', async () => {
  for (const [amount, button, message] of REFUSED_ORDERS) {
    await b.step({ Amount: amount }, button, '#order-note', message);
  }
});

test('a buy trades, and market and balances follow it', async () => {
  const start = Object.fromEntries((await b.rows('#market')).map((r) => [r[0], r]));
  const price = start.XRP[1];
  await b.step({ Coin: 'XRP', Amount: '100' }, 'Buy', '#order-note',
    `traded: bought 100 XRP at ${price} KRW, total ${100 * price} KRW + fee ${25 * price} KRW ` +
    `= ${125 * price} KRW left your balance`);
  await b.text('#balances tbody', `XRP100${100 * price}`);
  const krw = 100000000 - 125 * price;  // the price plus the 25 % fee
  await b.text('#balances tbody', `KRW${krw}${krw}`);
  await b.text('#balance-total', String(krw + 100 * price));
  await b.text('#market tbody', `XRP${price}${start.XRP[2] - 100}`);
});

test('a double click on Buy, and Enter after it, place one order', async () => {
  await b.choose('Coin', 'ETH');
  await b.fill('Amount', '1');
  // The account's vault row, held here, keeps the order in flight until the clicks are done.
  const sql = new Sql();
  try {
    await sql.query('BEGIN');
    await sql.query('SELECT v.acc_id FROM kv_uservault v JOIN kv_account a USING (acc_id) ' +
      "WHERE a.username='walker' FOR UPDATE");
    await b.control('button', 'Buy').click({ count: 2 });
    await b.page.focus('input[name=amount]');
    await b.page.keyboard.press('Enter');
    await b.text('#order-note', 'buying 1 ETH…');
    assert.equal(await b.page.$eval('#order-form button', (el) => el.disabled), true);
  } finally {
    await sql.query('ROLLBACK');
    await sql.close();
  }
  await b.text('#order-note', /^traded: bought 1 ETH at [0-9]+ KRW/);
  // The history comes after every order the clicks sent: one trade, and no refusal since.
  await b.step({ Side: 'Buy' }, 'Show history', '#history caption', 'Buys of ETH');
  assert.equal((await b.rows('#history')).length, 1);
  assert.match(await b.page.$eval('#order-note', (el) => el.textContent), /^traded: bought 1 ETH/);
});

// Refusals of the server, each with its reason in words: [fields, button, note, reason].
const REFUSALS = [
  [{ Coin: 'BTC', Amount: '1000' }, 'Buy', '#order-note',
    'not traded: your KRW do not cover 1000 BTC and the 25 % fee'],
  [{ Coin: 'BTC', Amount: '1001' }, 'Buy', '#order-note',
    'not traded: the exchange holds fewer BTC than the 1001 you asked for'],
  [{ Coin: 'SOL', Amount: '1' }, 'Sell', '#order-note',
    'not traded: you hold fewer SOL than the 1 you offered'],
  [{ Entry: '999', 'New address': 'rNowhere' }, 'Rewrite entry', '#address-note',
    'entry 999 not rewritten: you have no entry 999'],
];

test('refused requests are shown with their reasons', async () => {
  for (const step of REFUSALS) await b.step(...step);
});

test('a sell trades and the history shows both trades with their times', async () => {
  const sold = await b.step({ Coin: 'XRP', Amount: '40' }, 'Sell', '#order-note',
    /^traded: sold 40 XRP at [0-9]+ KRW/);
  const price = Number(sold.match(/at ([0-9]+) KRW/)[1]);
  assert.ok(sold.endsWith(`total ${40 * price} KRW - fee ${10 * price} KRW = ${30 * price} KRW ` +
    'entered your balance'), sold);
  await b.text('#balances tbody', 'XRP60');
  const utc = /^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d UTC$/;
  for (const [side, amount] of [['Buy', '100'], ['Sell', '40']]) {
    await b.step({ Side: side }, 'Show history', '#history caption', `${side}s of XRP`);
    const rows = await b.rows('#history');
    assert.equal(rows.length, 1);
    assert.match(rows[0][0], utc);
    assert.equal(rows[0][2], amount);
  }
  await b.step({ Coin: 'ETH' }, 'Show history', '#history-note',
    'no trades: this account has sold no ETH');
});

test('a sale another tab made first is refused with the server\'s reason', async () => {
  await b.choose('Coin', 'ETH');
  await b.text('#balances tbody', 'ETH1');
  const other = await b.tab();
  try {
    // Its clock an hour behind: the bot guard's one sale per second never meets the two sales.
    await other.page.evaluateOnNewDocument(() => {
      const now = Date.now;
      Date.now = () => now() - 3600000;
    });
    await other.page.goto(endpoint.url);
    await other.connection('connected');
    await signIn(other, 'walker', 'right-pass');
    await other.step({ Coin: 'ETH', Amount: '1' }, 'Sell', '#order-note', /^traded: sold 1 ETH/);
  } finally {
    await other.close();
  }
  // This tab still shows the coin it held: the server says why, and the balances follow.
  await b.step({ Amount: '1' }, 'Sell', '#order-note',
    'not traded: you hold fewer ETH than the 1 you offered');
  await b.text('#balances tbody', 'ETH0');
});

// Addresses the filter lets through that a careless page would not show as they are, and what
// it shows: a right-to-left override would show the rest reversed.
const ODD_ADDRESSES = [['<img/src/onerror=window.korvaneRan=1>'], ['{'], ['}'],
  ['rAB\u202EDC', 'rAB\\u202EDC']];

test('an address that is markup shows as text and runs nothing', async () => {
  for (const [address] of ODD_ADDRESSES) {
    await b.step({ Coin: 'XRP', Address: address, Memo: '1234' }, 'Add address',
      '#address-note', /^address added as entry [0-9]+$/);
  }
  const rows = await b.rows('#addresses');
  assert.deepEqual(rows.map((r) => r.slice(1)),
    ODD_ADDRESSES.map(([a, shown]) => ['XRP', shown ?? a, '1234']));
  for (const r of rows) assert.match(r[0], /^[0-9]+$/);
  assert.equal(await b.page.$$eval('img', (imgs) => imgs.length), 0);
  assert.equal(await b.page.evaluate(() => window.korvaneRan), undefined);
});

// The entries the table shows, as "id address".
const entries = () => b.rows('#addresses').then((rows) => rows.map((r) => `${r[0]} ${r[2]}`));

test('addresses are added and rewritten, one entry or all, each shown with its id', async () => {
  // Input the page stops, then a memo the server reads as 77.
  const refused = [
    [{ Address: '', Memo: '5' }, 'Add address',
      "bad address '': an address needs at least one character"],
    [{ Address: 'rFirst', Memo: '' }, 'Add address',
      "bad memo '': expected a whole number other than 0"],
    [{ Memo: '+0' }, 'Add address', "bad memo '+0': expected a whole number other than 0"],
    [{ Entry: '1', 'New address': '' }, 'Rewrite entry',
      "bad address '': an address needs at least one character"],
  ];
  for (const [fields, button, note] of refused) await b.step(fields, button, '#address-note', note);
  const shown = await b.step({ Memo: '+77' }, 'Add address', '#address-note',
    /^address added as entry [0-9]+$/);
  const added = shown.match(/[0-9]+$/)[0];
  assert.deepEqual((await b.rows('#addresses')).at(-1), [added, 'XRP', 'rFirst', '+77']);
  const before = await entries();
  assert.equal(before.length, ODD_ADDRESSES.length + 1);

  // Rewrite all says what it would overwrite, and nothing goes until asked to.
  await b.step({ 'New address': 'rEvery' }, 'Rewrite all', '#rewrite-question',
    `, entry ${added} (XRP) 'rFirst' with 'rEvery'. Overwrite them?`);
  await b.press('Keep them');
  await b.text('#address-note', 'nothing overwritten');
  assert.deepEqual(await entries(), before);
  await b.press('Rewrite all');
  await b.text('#rewrite-question', 'Overwrite them?');
  await b.press('Overwrite all');
  const ids = before.map((e) => e.split(' ')[0]);
  await b.text('#address-note', `overwrote the address of entries ${ids.join(', ')} with 'rEvery'`);
  assert.deepEqual(await entries(), ids.map((id) => `${id} rEvery`));

  await b.step({ Entry: added, 'New address': 'rLast' }, 'Rewrite entry', '#address-note',
    `entry ${added} rewritten`);
  assert.deepEqual(await entries(), ids.map((id) => `${id} ${id === added ? 'rLast' : 'rEvery'}`));
  await b.step({ Entry: added, 'New address': 'rLast' }, 'Rewrite entry', '#address-note',
    `entry ${added} not rewritten: entry ${added} holds that address already`);
});

// Answers the server never gives, in place of a history's answer: [pattern, replacement, words].
// The page closes the session, opens a new one and says why, and the market is back.
const ODD_ANSWERS = [
  ['"trade_time": "[0-9]+"', '"trade_time": 1e400',
    'the server\'s answer could not be read (the field trade_time holds Infinity)'],
  ['"price": "[0-9]+"', '"price": 12a',
    'the server\'s answer could not be read (it is not the JSON the server prints)'],
  ['("total_price"[^]*)> $', '$1', 'the answer is late (none came within 1 s)'],  // no prompt
];

test('an odd answer or none closes the session; a new one takes its place', async () => {
  const limits = '/js/protocol.js';
  const late = await b.page.evaluate(async (m) => (await import(m)).ANSWER_LIMITS.lateMs, limits);
  for (const [pattern, replacement, words] of ODD_ANSWERS) {
    await b.page.evaluate(async (m, p, r) => {
      (await import(m)).ANSWER_LIMITS.lateMs = 1000;
      const re = new RegExp(p);
      window.korvaneTamper = (t) => (re.test(t) ? t.replace(re, r) : undefined);
    }, limits, pattern, replacement);
    await b.step({ Coin: 'XRP', Side: 'Buy' }, 'Show history', '#account-note',
      `not done: ${words}: the session was closed and a new one opened`);
    await b.page.evaluate(async (m, ms) => { (await import(m)).ANSWER_LIMITS.lateMs = ms; },
      limits, late);
    await b.connection('connected');
    await b.text('#market tbody', 'SOL');
    await signIn(b, 'walker', 'right-pass');
  }
});

test('signing out ends the session and a fresh one signs in again', async () => {
  await b.press('Sign out');
  await b.text('#account-note', 'signed out');
  assert.equal(await b.page.evaluate(() => document.activeElement.name), 'name');
  await b.connection('connected');
  assert.equal(await b.page.$eval('#trading', (el) => el.hidden), true);
  await signIn(b, 'walker', 'right-pass');
  await b.text('#balances tbody', 'XRP60');
  // The address list comes with the sign-in, also after a reload.
  const shown = await entries();
  assert.equal(shown.length, ODD_ADDRESSES.length + 1);
  await b.page.reload();
  await b.connection('connected');
  await signIn(b, 'walker', 'right-pass');
  assert.deepEqual(await entries(), shown);
});

test('the page logged no console errors', () => {
  assert.deepEqual(b.errors, []);
});

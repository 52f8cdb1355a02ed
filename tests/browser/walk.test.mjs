// A trader's walk through every view of the page, in a real browser against the real endpoint,
// server and database: what a person does and what the page must show them.
import assert from 'node:assert/strict';
import { after, before, test } from 'node:test';

import { Browser, Endpoint, signIn } from './harness.mjs';

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

// Input the page stops before anything is sent: [form fields, button, note element, message].
const REFUSED_INPUT = [
  [{ Name: '', Password: 'pw' }, 'Sign in', '#account-note',
    "bad name '': a name needs at least one character"],
  [{ Name: 'ann', Password: '' }, 'Sign up', '#account-note', 'bad password: enter one'],
  [{ Name: 'mary-jane', Password: 'pw' }, 'Sign up', '#account-note',
    "bad name 'mary-jane': it holds a hyphen (-); the server refuses"],
  [{ Name: 'a'.repeat(33), Password: 'pw' }, 'Sign up', '#account-note',
    'it takes 33 bytes; a name takes at most 32'],
];
const REFUSED_ORDERS = [
  ['0', "bad amount '0': expected a whole number of coins above 0"],
  ['ten', "bad amount 'ten': expected a whole number of coins above 0"],
  ['', "bad amount '': expected a whole number of coins above 0"],
  ['1.5', "bad amount '1.5'"],
];

test('bad sign-up and sign-in input is stopped in the page', async () => {
  for (const step of REFUSED_INPUT) await b.step(...step);
  // Nothing reached the server: the session is still the first, and still greeted.
  assert.equal(await b.page.$eval('#connection', (el) => el.dataset.state), 'connected');
});

test('a wrong password is refused with its reason, and a fresh session signs in', async () => {
  const steps = [
    [{ Name: 'walker', Password: 'right-pass' }, 'Sign up', 'signed up as walker (account'],
    [{ Password: 'other-pass' }, 'Sign up', "not signed up: the name 'walker' is taken"],
    [{ Password: 'wrong' }, 'Sign in', 'not signed in: no account has that name and password'],
  ];
  for (const [fields, button, note] of steps) await b.step(fields, button, '#account-note', note);
  // The password field keeps nothing.
  assert.equal(await b.page.$eval('input[name=password]', (el) => el.value), '');
  await b.connection('connected');
  await signIn(b, 'walker', 'right-pass');
});

test('the market lists every coin with its price and stock', async () => {
  await b.text('#market tbody', 'SOL');
  const rows = await b.rows('#market');
  assert.deepEqual(rows.map((r) => r[0]), ['BTC', 'ETH', 'XRP', 'SOL']);
  for (const r of rows) assert.match(`${r[1]} ${r[2]}`, /^[0-9]+ [0-9]+$/);
});

test('bad amounts are stopped in the page', async () => {
  for (const [amount, message] of REFUSED_ORDERS) {
    await b.step({ Amount: amount }, 'Buy', '#order-note', message);
  }
});

test('a buy trades, and market and balances follow it', async () => {
  const start = Object.fromEntries((await b.rows('#market')).map((r) => [r[0], r]));
  const price = start.XRP[1];
  await b.step({ Coin: 'XRP', Amount: '100' }, 'Buy', '#order-note',
    `traded: bought 100 XRP at ${price} KRW, total ${100 * price} KRW`);
  await b.text('#balances tbody', `XRP100${100 * price}`);
  const krw = 100000000 - 125 * price;  // the price plus the 25 % fee
  await b.text('#balances tbody', `KRW${krw}${krw}`);
  await b.text('#balance-total', String(krw + 100 * price));
  await b.text('#market tbody', `XRP${price}${start.XRP[2] - 100}`);
});

test('an order the balance cannot pay is refused with its reason', async () => {
  await b.step({ Coin: 'BTC', Amount: '1000' }, 'Buy', '#order-note',
    new RegExp('^not traded: 1000 BTC at [0-9]+ KRW cost [0-9]+ KRW with the 25 % fee, ' +
      'more than your KRW balance$'));
});

// Refusals of the server, each with its reason in words: [fields, button, note, reason].
const REFUSALS = [
  [{ Coin: 'BTC', Amount: '1001' }, 'Buy', '#order-note',
    /^not traded: the exchange has [0-9]+ BTC in stock, fewer than 1001$/],
  [{ Coin: 'SOL', Amount: '1' }, 'Sell', '#order-note',
    /^not traded: you hold 0 SOL, fewer than 1$/],
  [{ Entry: '999', 'New address': 'rNowhere' }, 'Rewrite entry', '#address-note',
    /^entry 999 not rewritten: you have no entry 999, or it holds that address already$/],
];

test('refused requests are shown with their reasons', async () => {
  for (const step of REFUSALS) await b.step(...step);
});

test('a sell trades and the history shows both trades with their times', async () => {
  await b.step({ Coin: 'XRP', Amount: '40' }, 'Sell', '#order-note',
    /^traded: sold 40 XRP at [0-9]+ KRW/);
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

// Addresses the filter lets through that a careless page would not show as they are.
const ODD_ADDRESSES = ['<img/src/onerror=window.korvaneRan=1>', '{', '}'];

test('an address that is markup shows as text and runs nothing', async () => {
  for (const address of ODD_ADDRESSES) {
    await b.step({ Coin: 'XRP', Address: address, Memo: '1234' }, 'Add address',
      '#address-note', 'address added');
  }
  assert.deepEqual(await b.rows('#addresses'), ODD_ADDRESSES.map((a) => ['', 'XRP', a, '1234']));
  assert.equal(await b.page.$$eval('img', (imgs) => imgs.length), 0);
  assert.equal(await b.page.evaluate(() => window.korvaneRan), undefined);
});

test('addresses are added and rewritten, one entry or all', async () => {
  const steps = [
    [{ Address: 'rFirst', Memo: '' }, 'Add address',
      "bad memo '': expected a whole number other than 0"],
    [{ Memo: '77' }, 'Add address', 'address added'],
    [{ 'New address': 'rEvery' }, 'Rewrite all',
      /^overwrote the address of entries [0-9, ]+ with 'rEvery'$/],
  ];
  let shown;
  for (const [fields, button, note] of steps) {
    shown = await b.step(fields, button, '#address-note', note);
  }
  // Every entry of the account, each now shown with its id.
  const ids = shown.match(/[0-9]+/g);
  const entries = () => b.rows('#addresses').then((rows) => rows.map((r) => `${r[0]} ${r[2]}`));
  assert.equal(ids.length, ODD_ADDRESSES.length + 1);
  assert.deepEqual(await entries(), ids.map((id) => `${id} rEvery`));
  const last = ids.at(-1);
  await b.step({ Entry: last, 'New address': 'rLast' }, 'Rewrite entry', '#address-note',
    `entry ${last} rewritten`);
  assert.deepEqual(await entries(), ids.map((id) => `${id} ${id === last ? 'rLast' : 'rEvery'}`));
});

test('signing out ends the session and a fresh one signs in again', async () => {
  await b.press('Sign out');
  await b.text('#account-note', 'signed out');
  await b.connection('connected');
  assert.equal(await b.page.$eval('#trading', (el) => el.hidden), true);
  await signIn(b, 'walker', 'right-pass');
  await b.text('#balances tbody', 'XRP60');
});

test('the page logged no console errors', () => {
  assert.deepEqual(b.errors, []);
});

// The page on a phone-wide screen while things go wrong under it: the database restarts in the
// middle of a session, a session's server dies during an order, and the endpoint stops and comes
// back.
import assert from 'node:assert/strict';
import { after, before, test } from 'node:test';

import { Browser, Endpoint, Sql, database, signIn } from './harness.mjs';

const PHONE_WIDTH = 360;

let endpoint;
let b;

before(async () => {
  endpoint = await Endpoint.start();
  b = await Browser.open(PHONE_WIDTH);
  await b.page.goto(endpoint.url);
  await b.connection('connected');
  await signIn(b, 'faulty', 'pw', { signUp: true });
});

after(async () => {
  await b?.close();
  await endpoint?.stop();
  // A failed test may leave the database stopped; the next file needs it.
  database('start');
});

// Nothing on the page is wider than the screen, every control shown is inside it, no table is cut
// off, and the status dot keeps its size however the words beside it wrap.
async function fitsThePhone() {
  assert.equal(await b.page.evaluate(() => document.documentElement.scrollWidth), PHONE_WIDTH);
  assert.deepEqual(await b.page.$$eval('.scroll', (els) => els
    .filter((el) => el.offsetParent !== null && el.scrollWidth > el.clientWidth)
    .map((el) => el.firstElementChild.id)), []);
  const dot = await b.page.$eval('#connection .dot', (el) => {
    const r = el.getBoundingClientRect();
    return `${r.width}x${r.height}`;
  });
  assert.match(dot, /^([1-9][0-9.]*)x\1$/);
  const outside = await b.page.$$eval('button, input, select', (els, width) =>
    els.filter((el) => el.offsetParent !== null).filter((el) => {
      const r = el.getBoundingClientRect();
      return r.left < 0 || r.right > width;
    }).map((el) => el.outerHTML), PHONE_WIDTH);
  assert.deepEqual(outside, []);
}

test('at 360 px the signed-in page fits the screen', fitsThePhone);

test('an order sent while the database restarts trades once it is back', async () => {
  await b.choose('Coin', 'ETH');
  await b.fill('Amount', '2');
  database('stop');
  await b.press('Buy');
  database('start');
  await b.text('#order-note', /^traded: bought 2 ETH at [0-9]+ KRW/);
  await b.text('#balances tbody', 'ETH2');
  await b.connection('connected');
});

// The one order waiting for a lock, by the live count: the lock-wait picture of INNODB_TRX is a
// cache that asking often keeps from being refreshed.
const ORDER_WAITS = ['SELECT VARIABLE_VALUE FROM information_schema.GLOBAL_STATUS ' +
  "WHERE VARIABLE_NAME='INNODB_ROW_LOCK_CURRENT_WAITS'", '1'];

// A session's server killed while its order waits: [what is done to the account meanwhile, the
// note that then says what became of the order, and what it says]. When the new session cannot
// sign in, the page says where to look, under the account.
const CUTS = [
  [null, '#order-note', new RegExp('^the connection was lost during the buy of 1 SOL; a new ' +
    'session found that it was not applied$')],
  ["UPDATE kv_account SET password=SHA2('changed', 256) WHERE username='faulty'", '#account-note',
    new RegExp('^the connection was lost during the buy of 1 SOL, and the new session could not ' +
      'sign in: whether it was applied is not known; sign in again and look for a buy of 1 SOL ' +
      'at [0-9-]+ [0-9:]+ UTC in its history$')],
];

test('a server that dies during an order: the page signs in again and says what became of it',
  async () => {
    for (const [meanwhile, where, said] of CUTS) {
      await b.choose('Coin', 'SOL');
      await b.fill('Amount', '1');
      // The account's vault row, held here, keeps the order waiting at its first statement.
      const lock = new Sql();
      const other = new Sql();
      const [account] = await other.query(
        "SELECT CONCAT(acc_id, ' ', password) FROM kv_account WHERE username='faulty'");
      const [id, password] = account.split(' ');
      try {
        await lock.query('BEGIN');
        await lock.query(`SELECT acc_id FROM kv_uservault WHERE acc_id=${id} FOR UPDATE`);
        await b.press('Buy');
        await lock.until(...ORDER_WAITS);
        if (meanwhile) await other.query(meanwhile);
        await b.text('#connection', 'still waiting for the answer: the server is waiting for ' +
          'the exchange\'s database');
        assert.ok(endpoint.killServers() >= 1);
        // The new session's history waits for the account's orders under way: let this one go
        // as far as it goes without its server.
        await lock.close();
        await b.text(where, said);
      } finally {
        await other.query(`UPDATE kv_account SET password='${password}' WHERE acc_id=${id}`);
        await lock.close();
        await other.close();
      }
      await b.connection('connected');
      if (meanwhile) await signIn(b, 'faulty', 'pw');
      await b.text('#user-name', 'faulty');
    }
    // Signed in again: the order goes now, once.
    await b.step({}, 'Buy', '#order-note', /^traded: bought 1 SOL at [0-9]+ KRW/);
    await b.text('#balances tbody', 'SOL1');
  });

test('at 360 px the history fits the screen', async () => {
  await b.step({ Side: 'Buy' }, 'Show history', '#history caption', 'Buys of SOL');
  await fitsThePhone();
});

test('a session the server ended says what the server said last', async () => {
  // At the prompt, as an idle one ends; the trading view's note stays where it can be read.
  assert.ok(endpoint.killServers('SIGTERM') >= 1);
  await b.text('#connection-text', 'Connection lost: the server ended the session at the ' +
    'prompt: a session left idle ends after a while');
  await b.text('#account-note', 'traded: bought 1 SOL');
  database('stop');
  try {
    await b.press('Reconnect');
    await b.text('#connection-text', 'Connection lost: the exchange\'s database could not be ' +
      'reached (the server said "[MySQL] Connection Error"); try again later');
  } finally {
    database('start');
  }
  await b.press('Reconnect');
  await b.connection('connected');
  await signIn(b, 'faulty', 'pw');
});

// Endpoints that cannot serve one more session from here: [options, the second tab's state and
// words]. A tab waiting for a place gets it when the first one goes.
const FULL = [
  [['--max-sessions', '1'], 'connecting', 'Connecting… still waiting for a place: the server may ' +
    'be serving its most sessions at once'],
  [['--max-per-source', '1'], 'refused', 'Refused: too many sessions from your address (the most ' +
    'is 1); end one or try later'],
];

test('a full endpoint and a refused session are said in words', async () => {
  for (const [options, state, words] of FULL) {
    const full = await Endpoint.start(undefined, options);
    const tabs = [];
    try {
      tabs.push(await b.tab(full.url));
      await tabs[0].connection('connected');
      tabs.push(await b.tab(full.url));
      await tabs[1].connection(state);
      await tabs[1].text('#connection-text', words);
      await tabs.shift().page.close();
      if (state === 'connecting') await tabs[0].connection('connected');
      assert.deepEqual(tabs[0].errors, []);
    } finally {
      for (const t of tabs) await t.page.close();
      await full.stop();
    }
  }
});

test('an order that waits while the endpoint stops keeps its outcome; one click reconnects ' +
  'once the endpoint is back', async () => {
  const port = endpoint.webPort;
  await b.choose('Coin', 'ETH');
  await b.fill('Amount', '1');
  // The account's vault row, held here, keeps the order waiting until the endpoint has told its
  // server to stop: the server then ends after answering it, before the balances are read again.
  const lock = new Sql();
  let stopped;
  try {
    await lock.query('BEGIN');
    await lock.query('SELECT v.acc_id FROM kv_uservault v JOIN kv_account a USING (acc_id) ' +
      "WHERE a.username='faulty' FOR UPDATE");
    await b.press('Buy');
    await b.text('#order-note', 'buying 1 ETH…');
    await lock.until(...ORDER_WAITS);
    ({ stopped } = await endpoint.stopping());
  } finally {
    await lock.close();
  }
  await stopped;
  await b.connection('lost');
  await b.text('#connection', 'Connection lost');
  // The trade is said as traded, with the way to see the balances after it.
  const traded = /traded: bought 1 ETH at [0-9]+ KRW, total [0-9]+ KRW \+ fee [0-9]+ KRW/;
  await b.text('#account-note', new RegExp(`^your last order: ${traded.source}.*; then the ` +
    'connection was lost before the balances were read again: reconnect and sign in'));
  assert.equal(await b.page.$eval('#trading', (el) => el.hidden), true);
  await fitsThePhone();
  endpoint = await Endpoint.start(port);
  await b.press('Reconnect');
  await b.connection('connected');
  await signIn(b, 'faulty', 'pw');
  await b.text('#balances tbody', 'ETH3');
});

test('the page logged no console errors', () => {
  assert.deepEqual(b.errors, []);
});

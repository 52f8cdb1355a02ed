// The README's pictures of the page: a trader's session at desktop and at phone width, saved as
// docs/page-desktop.png and docs/page-phone.png. Run by scripts/screenshots through
// tests/browser/run, against the real endpoint, server and a fresh database.
import path from 'node:path';
import { after, before, test } from 'node:test';

import { Browser, Endpoint, ROOT, signIn } from './harness.mjs';

let endpoint;

before(async () => { endpoint = await Endpoint.start(); });
after(async () => { await endpoint?.stop(); });

// What the pictures show: a few trades, a history and an address.
async function session(b, name) {
  await b.page.goto(endpoint.url);
  await b.connection('connected');
  await signIn(b, name, 'correct-horse', { signUp: true });
  const steps = [
    [{ Coin: 'XRP', Amount: '1500' }, 'Buy', '#order-note', 'traded: bought 1500 XRP'],
    [{ Coin: 'ETH', Amount: '3' }, 'Buy', '#order-note', 'traded: bought 3 ETH'],
    [{ Coin: 'XRP', Amount: '400' }, 'Sell', '#order-note', 'traded: sold 400 XRP'],
    [{ Address: 'rKorvaneExampleAddress1', Memo: '1234' }, 'Add address', '#address-note',
      'address added'],
    [{ Side: 'Buy' }, 'Show history', '#history caption', 'Buys of XRP'],
    [{ Coin: 'BTC', Amount: '5' }, 'Buy', '#order-note',
      'not traded: your KRW do not cover 5 BTC'],
  ];
  for (const step of steps) await b.step(...step);
}

const PICTURES = [[1280, 'page-desktop.png', 'alice'], [360, 'page-phone.png', 'bob']];

for (const [width, file, name] of PICTURES) {
  test(`the page at ${width} px`, async () => {
    const b = await Browser.open(width);
    try {
      await session(b, name);
      await b.page.evaluate(() => document.activeElement?.blur());
      await b.page.screenshot({ path: path.join(ROOT, 'docs', file), fullPage: true });
    } finally {
      await b.close();
    }
  });
}

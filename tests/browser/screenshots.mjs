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
  for (const [coin, amount, button, done] of [['XRP', '1500', 'Buy', 'bought'],
    ['ETH', '3', 'Buy', 'bought'], ['XRP', '400', 'Sell', 'sold']]) {
    await b.choose('Coin', coin);
    await b.fill('Amount', amount);
    await b.press(button);
    await b.text('#order-note', `traded: ${done} ${amount} ${coin}`);
  }
  await b.fill('Address', 'rKorvaneExampleAddress1');
  await b.fill('Memo', '1234');
  await b.press('Add address');
  await b.text('#address-note', 'address added');
  await b.choose('Coin', 'XRP');
  await b.choose('Side', 'Buy');
  await b.press('Show history');
  await b.text('#history caption', 'Buys of XRP');
  await b.fill('Amount', '0');
  await b.press('Sell');
  await b.text('#order-note', 'bad amount');
  await b.choose('Coin', 'BTC');
  await b.fill('Amount', '5');
  await b.press('Buy');
  await b.text('#order-note', 'not traded: 5 BTC');
}

for (const [width, file, name] of [[1280, 'page-desktop.png', 'alice'], [360, 'page-phone.png', 'bob']]) {
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

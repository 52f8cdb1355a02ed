// The page's views: forms that call the session, tables filled from its answers. Everything that
// comes from the server is shown with textContent, never parsed as markup: names, addresses and
// memos pass the server's filter with "<" and ">" in them.
import { Session, bytesText, endpointUrl } from './protocol.js';
import * as say from './outcome.js';

const $ = (id) => document.getElementById(id);

const STATE_TEXT = { connecting: 'Connecting…', connected: 'Connected', lost: 'Connection lost' };

let session = null;
let balances = null;  // the last BalanceResponse, as BigInts by coin index and 'krw'
let market = null;    // the last market: price by coin index, as BigInts

function note(id, text, ok = true) {
  const p = $(id);
  p.textContent = text;
  p.classList.toggle('bad', !ok);
}

function clearNotes() {
  for (const id of ['account-note', 'order-note', 'history-note', 'address-note']) note(id, '');
}

// A new server process for the next sign-in: a process allows one, whatever its outcome.
function connect() {
  if (session) session.end();
  const s = new Session(endpointUrl());
  session = s;
  s.addEventListener('state', () => {
    if (s !== session) return;
    showConnection(s.state, s.reason);
    if (s.state === 'lost') showSignedIn(null);
    if (s.state === 'connected') refreshMarket();
  });
  showConnection(s.state);
}

function showConnection(state, reason = '') {
  $('connection').dataset.state = state;
  $('connection-text').textContent = STATE_TEXT[state] + (reason ? `: ${reason}` : '');
  $('reconnect').hidden = state !== 'lost';
  for (const button of document.querySelectorAll('main button')) {
    button.disabled = state !== 'connected';
  }
}

function showSignedIn(name) {
  const signedIn = name !== null;
  $('account-form').hidden = signedIn;
  $('signed-in').hidden = !signedIn;
  $('trading').hidden = !signedIn;
  $('user-name').textContent = name ?? '';
  if (!signedIn) {
    balances = null;
    $('history').hidden = true;
    $('addresses').hidden = true;
    $('addresses').tBodies[0].replaceChildren();
  }
}

function row(cells, header = false) {
  const tr = document.createElement('tr');
  cells.forEach((text, i) => {
    const cell = document.createElement(header && i === 0 ? 'th' : 'td');
    if (header && i === 0) cell.scope = 'row';
    cell.textContent = String(text);
    tr.append(cell);
  });
  return tr;
}

// Runs `work` and turns a lost connection into a note instead of an unhandled rejection.
async function guarded(noteId, work) {
  try {
    await work();
  } catch (e) {
    note(noteId, `not done: ${e.message}`, false);
  }
}

async function refreshMarket() {
  const answer = await session.request('market').catch(() => null);
  if (!answer) return;
  market = answer.docs.map((d) => BigInt(d.price));
  $('market').tBodies[0].replaceChildren(
    ...answer.docs.map((d) => row([d.symbol, d.price, d.stock], true)));
}

async function refreshBalances() {
  const answer = await session.request('balance');
  const doc = answer.docs[0];
  if (!doc) {
    balances = null;
    return false;
  }
  balances = { krw: BigInt(doc.krw) };
  const keys = ['btc', 'eth', 'xrp', 'sol'];
  keys.forEach((k, i) => { balances[i] = BigInt(doc[k]); });
  let total = balances.krw;
  const rows = [row(['KRW', doc.krw, doc.krw], true)];
  keys.forEach((k, i) => {
    const value = market ? balances[i] * market[i] : 0n;
    total += value;
    rows.push(row([say.COINS[i], doc[k], value], true));
  });
  $('balances').tBodies[0].replaceChildren(...rows);
  $('balance-total').textContent = String(total);
  return true;
}

async function signUp(name, password) {
  const answer = await session.request('signUp', { name, password });
  const outcome = say.signUpOutcome(name, answer);
  note('account-note', outcome.text, outcome.ok);
}

async function signIn(name, password) {
  const answer = await session.request('signIn', { name, password });
  // Success prints nothing: the balances, which only a signed-in session gets, tell.
  let ok = answer.lines.length === 0;
  if (ok) {
    await refreshMarket();  // the values of the balances
    ok = await refreshBalances();
  }
  const outcome = say.signInOutcome(answer, ok);
  if (ok) {
    showSignedIn(name);
    note('account-note', outcome.text);
    return;
  }
  connect();
  note('account-note', outcome.text, false);
}

async function signOut() {
  await session.request('signOut');
  showSignedIn(null);
  connect();
  note('account-note', 'signed out');
}

async function order(buy, text) {
  const amount = say.parseAmount(text);
  if (amount.error) return note('order-note', amount.error, false);
  const coin = Number($('coin').value);
  const at = Math.min(Math.floor(Date.now() / 1000), say.LATEST_TRADE_TIME);
  const request = { buy, coin, amount: amount.amount, at };
  const holding = balances ? balances[coin] : undefined;
  const answer = await session.request(buy ? 'buy' : 'sell',
    { coin, amount: Number(amount.amount), at });
  const outcome = say.orderOutcome(request, answer, holding);
  note('order-note', outcome.text, outcome.ok);
  await refreshMarket();
  await refreshBalances();
}

async function showHistory(buy) {
  const coin = Number($('coin').value);
  const answer = await session.request('history', { coin, buy });
  const outcome = say.historyOutcome(answer, coin, buy);
  const table = $('history');
  table.caption.textContent = `${buy ? 'Buys' : 'Sells'} of ${say.COINS[coin]}`;
  table.tBodies[0].replaceChildren(...outcome.trades.map((t) =>
    row([t.trade_time === undefined ? '' : say.utcTime(t.trade_time), t.price, t.amount,
      t.total_price])));
  table.hidden = outcome.trades.length === 0;
  note('history-note', outcome.text);
}

async function addAddress(address, memo) {
  const coin = Number($('coin').value);
  const answer = await session.request('addAddress', { coin, address, memo });
  const outcome = say.addAddressOutcome(answer);
  note('address-note', outcome.text, outcome.ok);
  if (!outcome.ok) return;
  const d = outcome.doc;
  $('addresses').tBodies[0].append(
    row(['', bytesText(d.symbol), bytesText(d.address), bytesText(d.memo)]));
  $('addresses').hidden = false;
}

// The entries shown are those added on this page, oldest first. A rewrite of every entry names
// all of the account's entries in the same order: when they are as many, each row gets its id.
function rewriteAllRows(ids, to) {
  const rows = [...$('addresses').tBodies[0].rows];
  rows.forEach((tr, i) => {
    tr.cells[2].textContent = to;
    if (ids.length === rows.length) tr.cells[0].textContent = ids[i];
  });
}

// The row of entry `id`, or else the first without an id that holds `from`, gets `to`.
function rewriteRow(id, from, to) {
  const rows = [...$('addresses').tBodies[0].rows];
  const tr = rows.find((r) => r.cells[0].textContent === String(id)) ??
    rows.find((r) => r.cells[0].textContent === '' && r.cells[2].textContent === from);
  if (!tr) return;
  tr.cells[0].textContent = String(id);
  tr.cells[2].textContent = to;
}

async function rewrite(all, entryText, address) {
  if (all) {
    const answer = await session.request('rewriteAll', { address });
    const outcome = say.rewriteAllOutcome(address, answer);
    note('address-note', outcome.text, outcome.ok);
    if (outcome.ok) rewriteAllRows(outcome.ids, address);
    return;
  }
  const entry = say.parseEntry(entryText);
  if (entry.error) return note('address-note', entry.error, false);
  const answer = await session.request('rewriteAddress', { entry: entry.entry, address });
  const outcome = say.rewriteOutcome(entry.entry, answer);
  note('address-note', outcome.text, outcome.ok);
  if (outcome.ok) {
    rewriteRow(outcome.doc.id, bytesText(outcome.doc.origin_addr),
      bytesText(outcome.doc.new_addr));
  }
}

// Wires a form: its submit button's value says which action; `check` returns a sentence for
// input not to send, or runs the action.
function onSubmit(id, noteId, action) {
  const form = $(id);
  form.addEventListener('submit', (e) => {
    e.preventDefault();
    const button = e.submitter;
    note(noteId, '');
    guarded(noteId, () => action(form.elements, button ? button.value : ''));
  });
}

onSubmit('account-form', 'account-note', async (f, which) => {
  const name = f.name.value;
  const password = f.password.value;
  const problem = say.checkName(name) ?? say.checkPassword(password);
  if (problem) return note('account-note', problem, false);
  f.password.value = '';  // never kept past the request
  clearNotes();
  await (which === 'signup' ? signUp(name, password) : signIn(name, password));
});

$('sign-out').addEventListener('click', () => guarded('account-note', signOut));

onSubmit('order-form', 'order-note', (f, which) => order(which === 'buy', f.amount.value));

onSubmit('history-form', 'history-note', (f) => showHistory(f.side.value === 'buy'));

onSubmit('address-form', 'address-note', async (f) => {
  const address = f.address.value;
  const memo = f.memo.value.trim();
  const problem = say.checkAddress(address) ?? say.checkMemo(memo);
  if (problem) return note('address-note', problem, false);
  await addAddress(address, memo);
});

onSubmit('rewrite-form', 'address-note', async (f, which) => {
  const address = f.address.value;
  const problem = say.checkAddress(address);
  if (problem) return note('address-note', problem, false);
  await rewrite(which === 'all', f.entry.value, address);
});

$('reconnect').addEventListener('click', () => {
  clearNotes();
  connect();
});

showSignedIn(null);
connect();

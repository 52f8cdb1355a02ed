// The page's views: forms that call the session, tables filled from its answers. Everything that
// comes from the server is shown with textContent, never parsed as markup: names, addresses and
// memos pass the server's filter with "<" and ">" in them. Characters that would turn or hide
// the text around them show as escapes (visible()).
import { ConnectionLost, Session, bytesText, endpointUrl, visible } from './protocol.js';
import * as say from './outcome.js';

const $ = (id) => document.getElementById(id);

const STATE_TEXT = {
  connecting: 'Connecting…',
  connected: 'Connected',
  lost: 'Connection lost',
  refused: 'Refused',
};
// What may hold a long wait up, said after the first seconds of it.
const WAIT_TEXT = {
  greeting: 'Connecting… still waiting for a place: the server may be serving its most ' +
    'sessions at once, and a new one waits for one of them to end',
  answer: 'Connected: still waiting for the answer: the server is waiting for the exchange\'s ' +
    'database (a lock held by another request, or a connection being made again)',
};

let session = null;
// The name and password of this page's sign-in, held (never in a field) for as long as it lasts:
// a connection lost during a change signs in again with them to learn what became of it.
let credentials = null;
let balances = null;  // the last BalanceResponse, as BigInts by coin index and 'krw'
let market = null;    // the last market: price by coin index, as BigInts
let entries = [];     // the address list last shown: { id, coin, address, memo }
const busy = new Set();  // the forms whose request is in flight: their buttons wait for it
let staleSaid = false;   // whether the account's note says the balances shown are stale

// The notes of the account's views, which are hidden with them.
const TRADING_NOTES = ['order-note', 'history-note', 'address-note'];

// Shows `text` in note `id`; a note whose view is hidden is said under the account instead,
// where it can be read.
function note(id, text, ok = true) {
  const p = $(id).closest('[hidden]') && text ? $('account-note') : $(id);
  p.textContent = visible(text);
  p.classList.toggle('bad', !ok);
}

function clearNotes() {
  for (const id of ['account-note', 'order-note', 'history-note', 'address-note']) note(id, '');
  staleSaid = false;
}

// A new server process for the next sign-in: a process allows one, whatever its outcome.
// A session the page ended as broken is replaced at once, unless it was itself such a
// replacement that never got an answer right: then the person decides (Reconnect).
function connect({ replacing = false } = {}) {
  if (session) session.end();
  const s = new Session(endpointUrl());
  session = s;
  let shown = s.state;
  s.addEventListener('state', () => {
    if (s !== session) return;
    showConnection(s);
    if (s.state === shown) return;  // only a wait that became long, or ended
    shown = s.state;
    if (s.state === 'connected') refreshMarket();
    if (s.state !== 'lost' && s.state !== 'refused') return;
    showSignedIn(null);
    if (s.reopen && !(replacing && s.answered === 0)) {
      note('account-note', s.reason, false);
      // After the requests it failed have settled: a change in flight opens its own session.
      setTimeout(() => { if (s === session) connect({ replacing: true }); });
    }
  });
  showConnection(s);
  return s;
}

function showConnection(s) {
  const { state, reason, waitingLong } = s;
  $('connection').dataset.state = state;
  $('connection-text').textContent = waitingLong ? WAIT_TEXT[waitingLong]
    : STATE_TEXT[state] + (reason ? `: ${reason}` : '');
  $('reconnect').hidden = state !== 'lost' && state !== 'refused';
  updateControls();
}

// A button works while the session is connected and its form has no request in flight, so one
// click (or Enter) is one request.
function updateControls() {
  const connected = session?.state === 'connected';
  for (const button of document.querySelectorAll('main button')) {
    button.disabled = !connected || busy.has(button.form);
  }
}

// Shows the account's views, or the sign-in form. Focus that was in what is hidden now moves to
// what takes its place: "Signed in as …", or the name field. The notes of the hidden views are
// kept under the account.
function showSignedIn(name) {
  const signedIn = name !== null;
  const changed = signedIn === $('trading').hidden;
  const focused = document.activeElement;
  if (!signedIn) {
    const kept = TRADING_NOTES.map($).filter((p) => p.textContent && !p.closest('[hidden]'));
    if (kept.length > 0) {
      const account = $('account-note');
      account.textContent = [account.textContent, ...kept.map((p) => p.textContent)]
        .filter(Boolean).join(' ');
      account.classList.toggle('bad', kept.some((p) => p.classList.contains('bad')) ||
        account.classList.contains('bad'));
    }
    for (const id of TRADING_NOTES) note(id, '');
  }
  $('account-form').hidden = signedIn;
  $('signed-in').hidden = !signedIn;
  $('trading').hidden = !signedIn;
  $('user-name').textContent = visible(name ?? '');
  if (!signedIn) {
    balances = null;
    $('history').hidden = true;
    answerQuestion?.(false);
    showEntries([]);
  }
  // A control that ran a request was disabled meanwhile, which leaves the focus on the body.
  if (focused?.closest('[hidden]') || (changed && focused === document.body)) {
    (signedIn ? $('signed-in-text') : $('account-form').elements.name).focus();
  }
}

function row(cells, header = false) {
  const tr = document.createElement('tr');
  cells.forEach((text, i) => {
    const cell = document.createElement(header && i === 0 ? 'th' : 'td');
    if (header && i === 0) cell.scope = 'row';
    cell.textContent = visible(text);
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

// Shows the market; false when it could not be read.
async function refreshMarket() {
  const answer = await session.request('market').catch(() => null);
  if (!answer) return false;
  market = answer.docs.map((d) => BigInt(d.price));
  $('market').tBodies[0].replaceChildren(
    ...answer.docs.map((d) => row([d.symbol, d.price, d.stock], true)));
  return true;
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

function showEntries(list) {
  entries = list;
  $('addresses').tBodies[0].replaceChildren(
    ...list.map((e) => row([e.id, e.coin, e.address, e.memo])));
  $('addresses').hidden = list.length === 0;
}

// Reads the account's address book, shows it and returns it; null when it could not.
async function refreshAddresses() {
  const list = say.addressList(await session.request('listAddresses'));
  if (!list.ok) {
    note('address-note', list.text, false);
    return null;
  }
  showEntries(list.entries.map((e) =>
    ({ ...e, address: bytesText(e.address), memo: bytesText(e.memo) })));
  return entries;
}

// Signs in on the session and shows the account; false (and a fresh session) when refused.
async function signIn(name, password) {
  const answer = await session.request('signIn', { name, password });
  const outcome = say.signInOutcome(answer);
  if (!outcome.ok) {
    credentials = null;
    connect();
    note('account-note', outcome.text, false);
    return false;
  }
  credentials = { name, password };
  await showAccount(name);
  note('account-note', `signed in as ${name}`);
  return true;
}

async function showAccount(name) {
  await refreshMarket();  // the values of the balances
  await refreshBalances();
  await refreshAddresses();
  showSignedIn(name);
}

// A person signs up to trade: a sign-up that is done signs in at once, on the same session.
async function signUp(name, password) {
  const answer = await session.request('signUp', { name, password });
  const outcome = say.signUpOutcome(name, answer);
  if (!outcome.ok) return note('account-note', outcome.text, false);
  if (await signIn(name, password)) note('account-note', outcome.text);
}

async function signOut() {
  credentials = null;
  await session.request('signOut');
  showSignedIn(null);
  connect();
  note('account-note', 'signed out');
}

// Sends a request that changes the account. When the connection is lost before its answer, a new
// session signs in again and `change.check` reads whether it was applied. `change.what` names the
// request in words, `change.doing` says it as under way: the note says so until the answer, which
// may wait long for the database's locks.
async function sendChange(noteId, change, name, args) {
  note(noteId, `${change.doing}…`);
  try {
    return await session.request(name, args);
  } catch (e) {
    if (!(e instanceof ConnectionLost)) throw e;
    await settle(noteId, change);
    return null;
  }
}

// Until the new session has signed in the account's views are hidden: what cannot be settled
// before that is said under the account.
async function settle(noteId, change) {
  note(noteId, '');  // no longer under way: the account's note says what is known
  if (!credentials) {
    return note('account-note',
      say.unsettled(change, 'the page holds no password to sign in with'), false);
  }
  const { name, password } = credentials;
  const s = connect();
  note('account-note', `the connection was lost during the ${change.what}; signing in again to ` +
    'see whether it was applied', false);
  try {
    await s.greeted;
  } catch {
    return note('account-note', say.unsettled(change, 'no new session could be opened'), false);
  }
  if (!await signIn(name, password).catch(() => false)) {
    return note('account-note', say.unsettled(change, 'the new session could not sign in'),
      false);
  }
  note('account-note', '');
  const applied = await change.check().catch(() => null);
  if (applied === null) {
    return note(noteId, say.unsettled(change, 'the new session could not read it back'), false);
  }
  note(noteId, say.settled(change, applied), applied);
}

async function order(buy, text) {
  const amount = say.parseAmount(text);
  if (amount.error) return note('order-note', amount.error, false);
  const coin = Number($('coin').value);
  const at = Math.min(Math.floor(Date.now() / 1000), say.LATEST_TRADE_TIME);
  const request = { buy, coin, amount: amount.amount, at };
  const side = buy ? 'buy' : 'sell';
  // The bot guard keeps one order per account, coin, side and second: the history tells.
  const change = {
    what: `${side} of ${amount.amount} ${say.COINS[coin]}`,
    doing: `${buy ? 'buying' : 'selling'} ${amount.amount} ${say.COINS[coin]}`,
    order: request,
    check: async () => {
      const history = say.historyOutcome(await session.request('history', { coin, buy }), coin,
        buy);
      if (!history.ok) return null;
      return history.trades.some((t) => String(t.trade_time) === String(at));
    },
  };
  const answer = await sendChange('order-note', change, side,
    { coin, amount: Number(amount.amount), at });
  if (!answer) return;  // settled: the new session has shown the account as it is
  const outcome = say.orderOutcome(request, answer);
  note('order-note', outcome.text, outcome.ok);
  // The outcome stands whatever happens next: a failure to show the balances after it is said
  // apart, under the account, which stays in view when the connection goes.
  let why = null;
  try {
    if (!await refreshMarket()) why = 'the market could not be read';
    else if (!await refreshBalances()) why = 'the server showed no balances';
  } catch (e) {
    why = e.message;
  }
  if (why) {
    note('account-note', say.staleAfterOrder(outcome.text, why, session.state === 'lost'), false);
  } else if (staleSaid) {
    note('account-note', '');
  }
  staleSaid = why !== null;
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
  note('history-note', outcome.text, outcome.ok);
}

// Reads the address list back and tells whether `holds` says it shows the change.
const listShows = (holds) => async () => {
  const list = await refreshAddresses();
  return list === null ? null : holds(list);
};

async function addAddress(address, memo) {
  const coin = Number($('coin').value);
  const symbol = say.COINS[coin];
  const before = new Set(entries.map((e) => e.id));
  const change = {
    what: `addition of the address '${address}'`,
    doing: `adding the address '${address}'`,
    check: listShows((list) => list.some((e) => !before.has(e.id) && e.coin === symbol &&
      e.address === address && e.memo === memo)),
  };
  const answer = await sendChange('address-note', change, 'addAddress', { coin, address, memo });
  if (!answer) return;
  const outcome = say.addAddressOutcome(answer);
  note('address-note', outcome.text, outcome.ok);
  await refreshAddresses();
}

async function rewriteOne(entryText, address) {
  const entry = say.parseEntry(entryText);
  if (entry.error) return note('address-note', entry.error, false);
  const id = entry.entry;
  const change = {
    what: `rewrite of entry ${id}`,
    doing: `rewriting entry ${id}`,
    check: listShows((list) => list.some((e) => e.id === id && e.address === address)),
  };
  const answer = await sendChange('address-note', change, 'rewriteAddress',
    { entry: id, address });
  if (!answer) return;
  const outcome = say.rewriteOutcome(id, answer);
  note('address-note', outcome.text, outcome.ok);
  await refreshAddresses();
}

// The answer to the question on screen, if one is: true for "Overwrite all".
let answerQuestion = null;

// Shows `question` with its two buttons; resolves to true for "Overwrite all", to false for
// "Keep them" or when the account's view closes first.
function confirmRewrite(question) {
  $('rewrite-question').textContent = visible(question);
  $('rewrite-confirm').hidden = false;
  return new Promise((resolve) => {
    answerQuestion = (yes) => {
      answerQuestion = null;
      $('rewrite-confirm').hidden = true;
      resolve(yes);
    };
  });
}

$('overwrite-all').addEventListener('click', () => answerQuestion?.(true));
$('keep-all').addEventListener('click', () => answerQuestion?.(false));

// A rewrite of every entry first shows what each entry holds now, and goes only when asked to.
async function rewriteAll(address) {
  const list = await refreshAddresses();
  if (list === null) return;
  const question = say.rewriteAllQuestion(list, address);
  if (!question) return note('address-note', 'nothing to overwrite: your address book is empty');
  if (!await confirmRewrite(question)) return note('address-note', 'nothing overwritten');
  const change = {
    what: 'rewrite of every entry',
    doing: 'rewriting every entry',
    check: listShows((now) => now.length > 0 && now.every((e) => e.address === address)),
  };
  const answer = await sendChange('address-note', change, 'rewriteAll', { address });
  if (!answer) return;
  const outcome = say.rewriteAllOutcome(address, answer);
  note('address-note', outcome.text, outcome.ok);
  await refreshAddresses();
}

// Wires a form: its submit button's value says which action. The form's buttons are off until
// the action has ended.
function onSubmit(id, noteId, action) {
  const form = $(id);
  form.addEventListener('submit', async (e) => {
    e.preventDefault();
    if (busy.has(form)) return;
    const button = e.submitter;
    note(noteId, '');
    busy.add(form);
    updateControls();
    try {
      await guarded(noteId, () => action(form.elements, button ? button.value : ''));
    } finally {
      busy.delete(form);
      updateControls();
    }
  });
}

onSubmit('account-form', 'account-note', async (f, which) => {
  const name = f.name.value;
  const password = f.password.value;
  const problem = say.checkName(name) ?? say.checkPassword(password);
  if (problem) return note('account-note', problem, false);
  f.password.value = '';  // never kept in the field past the request
  clearNotes();
  await (which === 'signup' ? signUp(name, password) : signIn(name, password));
});

$('sign-out').addEventListener('click', () => guarded('account-note', signOut));

onSubmit('order-form', 'order-note', (f, which) => order(which === 'buy', f.amount.value));

// Enter in the amount field would press the form's first button, Buy. An order moves money one
// way or the other, and a trader who typed an amount to sell and pressed Enter must not have
// bought: so Enter places no order and asks for the side, which only its own button chooses
// (focused with Tab, Enter presses it as a click would).
$('order-form').elements.amount.addEventListener('keydown', (e) => {
  if (e.key !== 'Enter' || e.isComposing) return;
  e.preventDefault();
  if (!busy.has($('order-form'))) note('order-note', say.ORDER_NEEDS_SIDE, false);
});

onSubmit('history-form', 'history-note', (f) => showHistory(f.side.value === 'buy'));

onSubmit('address-form', 'address-note', async (f) => {
  const address = f.address.value;
  const memo = f.memo.value;  // sent as typed: the server reads blanks and signs as it reads them
  const problem = say.checkAddress(address) ?? say.checkMemo(memo);
  if (problem) return note('address-note', problem, false);
  await addAddress(address, memo);
});

onSubmit('rewrite-form', 'address-note', async (f, which) => {
  const address = f.address.value;
  const problem = say.checkAddress(address);
  if (problem) return note('address-note', problem, false);
  await (which === 'all' ? rewriteAll(address) : rewriteOne(f.entry.value, address));
});

$('reconnect').addEventListener('click', () => {
  clearNotes();
  connect();
});

showSignedIn(null);
connect();

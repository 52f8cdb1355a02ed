// The protocol, and nothing else: envelopes built by protobufjs from korvane.proto itself, one
// WebSocket message per request, each answer read until the prompt and split into the JSON
// documents and text lines the server printed. The views call request() and never see an event
// code or a byte.

import {
  CLOSING_LINE,
  CONNECTION_ERROR_LINE,
  EVENTS,
  EVERY_ADDRESS_BOOK_ENTRY,
  OUTCOME_LINE_START,
  PROMPT,
  SLOW_ANSWER_MS,
  SLOW_GREETING_MS,
} from './wire_facts.js';

// How long the page waits for an answer. After SLOW_ANSWER_MS it says what holds the answer up;
// after `lateMs` it takes the session for broken, closes it and opens a new one. The server's
// longest honest wait is far below: five attempts that each wait out a lock (at most 50 s a
// statement, db/statements.h), a reconnect (30 s) and the proof of a commit whose answer was
// lost (65 s) come to about six minutes. Tests shorten it.
export const ANSWER_LIMITS = { lateMs: 10 * 60 * 1000 };

const utf8 = new TextEncoder();

let envelopeType = null;  // the promise of the envelope's type

// Loads the schema once; a load that failed is tried again by the next request. Sessions start
// it as they open, so that the first request goes as soon as the greeting comes. keepCase keeps
// the proto's own field names (event_id, _id).
function envelope() {
  envelopeType ??= fetch('korvane.proto').then(async (response) => {
    if (!response.ok) throw new Error(`the page's korvane.proto: ${response.status}`);
    const root = globalThis.protobuf.parse(await response.text(), { keepCase: true }).root;
    return root.lookupType('korvane.KorvaneInterface');
  }).catch((e) => {
    envelopeType = null;
    throw new Error(`the page could not load its schema (${e.message}); nothing was sent`);
  });
  return envelopeType;
}

// The bytes of one request: `event` names a code of EVENTS; `field` and `body` the nested
// message. Every request asks for its outcome line.
async function encode(event, field, body) {
  const type = await envelope();
  const fields = { event_id: EVENTS[event], ask_outcome: true };
  if (field) fields[field] = body;
  const problem = type.verify(fields);
  if (problem) throw new Error(`request does not fit the schema: ${problem}`);
  return type.encode(type.create(fields)).finish();
}

// The fields of each answer's documents that hold numbers, and what each must be: a whole
// number (uint64 comes quoted), a time the page can show, or base64. A field marked "!" must be
// there. The views read them without checking again.
const WHOLE = /^[0-9]{1,20}$/;
const KINDS = {
  whole: (v) => (typeof v === 'string' && WHOLE.test(v)) || (Number.isSafeInteger(v) && v >= 0),
  // Seconds that Date can show (up to the year 275760).
  time: (v) => KINDS.whole(v) && BigInt(v) <= 8640000000000n,
  bytes: (v) => typeof v === 'string' && /^[A-Za-z0-9+/]*={0,2}$/.test(v) && v.length % 4 === 0,
};
const TRADE = { coin_cur_price: 'whole', amount: 'whole', total_price: 'whole' };
const SHAPES = {
  market: { symbol: 'text!', price: 'whole!', stock: 'whole!' },
  balance: { krw: 'whole!', btc: 'whole!', eth: 'whole!', xrp: 'whole!', sol: 'whole!' },
  buy: TRADE,
  sell: TRADE,
  history: { price: 'whole', amount: 'whole', total_price: 'whole', trade_time: 'time' },
  listAddresses: { id: 'whole', address: 'bytes', memo: 'bytes' },
};
KINDS.text = (v) => typeof v === 'string';

// Why the answer to request `name` is not one the server prints, or null when it is.
function oddAnswer(name, answer) {
  for (const doc of answer.docs) {
    if (doc === null || typeof doc !== 'object') return 'a document that is no object';
    for (const [field, kind] of Object.entries(SHAPES[name] ?? {})) {
      const value = doc[field];
      if (value === undefined && !kind.endsWith('!')) continue;
      if (!KINDS[kind.replace('!', '')](value)) return `the field ${field} holds ${String(value)}`;
    }
  }
  const o = answer.outcome;
  if (o !== null && (typeof o !== 'object' || typeof o.outcome !== 'string')) {
    return 'an outcome line without its outcome';
  }
  return null;
}

// What each request the page makes sends: its event and nested message.
const REQUESTS = {
  signUp: ({ name, password }) =>
    ['signup', 'event_signup', { username: utf8.encode(name), password: utf8.encode(password) }],
  signIn: ({ name, password }) =>
    ['signin', 'event_signin', { username: utf8.encode(name), password: utf8.encode(password) }],
  signOut: () => ['signout'],
  market: () => ['market'],
  balance: () => ['balances'],
  buy: ({ coin, amount, at }) => ['buy', 'event_buy', { symbol: coin, amount, timestamp: at }],
  sell: ({ coin, amount, at }) => ['sell', 'event_sell', { symbol: coin, amount, timestamp: at }],
  history: ({ coin, buy }) => ['history', 'event_history', { symbol: coin, type: buy ? 1 : 0 }],
  addAddress: ({ coin, address, memo }) =>
    ['add_address', 'event_addressbook',
      { symbol: coin, address: utf8.encode(address), memo: utf8.encode(memo) }],
  rewriteAddress: ({ entry, address }) =>
    ['modify_address', 'event_modify_addressbook',
      { _id: entry, new_addr: utf8.encode(address) }],
  rewriteAll: ({ address }) =>
    ['modify_address', 'event_modify_addressbook',
      { _id: EVERY_ADDRESS_BOOK_ENTRY, new_addr: utf8.encode(address) }],
  listAddresses: () => ['list_addresses'],
};

// An answer as values: `docs` holds the JSON documents in order, `lines` the other lines and
// `outcome` the outcome line's values ({ outcome, event, reason, detail, ids }), or null when the
// answer has none. A document is protobuf's pretty form: "{", one field a line indented by a
// blank, "}". Echoed text may be a lone "{" too, but never followed by an indented line: memos
// start with a digit.
export function parseAnswer(text) {
  const docs = [];
  const lines = [];
  const all = text.split('\n');
  while (all.length > 0 && all.at(-1) === '') all.pop();
  const last = all.at(-1);
  const outcome = last?.startsWith(OUTCOME_LINE_START) ? JSON.parse(all.pop()) : null;
  for (let i = 0; i < all.length; i++) {
    const next = all[i + 1];
    if (all[i] === '{' && next !== undefined && (next.startsWith(' "') || next === '}')) {
      const end = all.indexOf('}', i + 1);
      docs.push(JSON.parse(all.slice(i, end + 1).join('\n')));
      i = end;
    } else if (all[i] !== '') {
      lines.push(all[i]);
    }
  }
  return { docs, lines, outcome, text };
}

// The text of a bytes field, which the server's JSON gives in base64.
export function bytesText(base64) {
  const raw = atob(base64 ?? '');
  return new TextDecoder().decode(Uint8Array.from(raw, (c) => c.charCodeAt(0)));
}

// A request's connection closed before its answer came, or the page closed it: whether the
// request was applied is not known. The message says why, in words.
export class ConnectionLost extends Error {
  constructor(message = 'connection lost') {
    super(message);
    this.name = 'ConnectionLost';
  }
}

// An answer that ends in a prompt but is not what the server prints for the request.
class OddAnswer extends Error {}

// Texts the page shows may hold characters that turn or hide what follows them (a right-to-left
// override makes "abc\u202E123" read "abc321"): each shows as its escape. The server refuses the
// backslash in every text it keeps, so an escape never stands for itself.
// Controls but the tab and the line end, the bidirectional marks, overrides and isolates, and
// the invisible joiners and spaces.
const HIDDEN = new RegExp('[\\u0000-\\u0008\\u000b-\\u001f\\u007f-\\u009f\\u061c\\u200b-\\u200f' +
  '\\u202a-\\u202e\\u2060-\\u2069\\ufeff]', 'g');
export function visible(text) {
  return String(text).replace(HIDDEN,
    (c) => `\\u${c.charCodeAt(0).toString(16).toUpperCase().padStart(4, '0')}`);
}

// The last line a closed stream left that is not the outcome line, if any, at most 200
// characters.
function lastWords(text) {
  const line = text.split('\n').map((l) => l.trim())
    .filter((l) => l && !l.startsWith(OUTCOME_LINE_START)).at(-1);
  if (!line) return '';
  return line.length > 200 ? `${line.slice(0, 200)}…` : line;
}

// One server process behind one WebSocket. Its state is 'connecting' until the server's first
// prompt, then 'connected'; 'refused' when the serving side closed the connection before a server
// started for it, 'lost' once the socket closes unasked. Each change is an event "state", as is
// a wait that becomes long (`waitingLong`: 'greeting' or 'answer'). `reason` says in words why
// the session ended, when that is known; `reopen` is set when the page itself ended it because
// the stream could no longer be trusted (an answer not as the server prints them, or none in
// ANSWER_LIMITS.lateMs): a new session should take its place. Requests go one at a time, in the
// order they were made; `answered` counts those answered as the server answers.
export class Session extends EventTarget {
  constructor(url) {
    super();
    envelope().catch(() => {});  // loads while the server starts; a failure shows at a request
    this.state = 'connecting';
    this.reason = '';
    this.waitingLong = null;
    this.answered = 0;
    this.pending = '';
    this.waiting = [];  // { name, resolve, reject } of each request sent, oldest first
    this.queue = Promise.resolve();
    this.decoder = new TextDecoder();
    this.socket = new WebSocket(url);
    this.socket.binaryType = 'arraybuffer';
    this.greeted = new Promise((resolve, reject) =>
      this.waiting.push({ name: null, resolve, reject }));
    this.greeted.then(() => this.setState('connected'), () => {});
    this.timers = [setTimeout(() => this.waitLong('greeting'), SLOW_GREETING_MS)];
    this.socket.addEventListener('message', (e) => this.receive(e.data));
    this.socket.addEventListener('close', (e) => this.closed(e.code));
  }

  setState(state) {
    if (this.state === state) return;
    this.state = state;
    this.dispatchEvent(new Event('state'));
  }

  waitLong(what) {
    this.waitingLong = what;
    this.dispatchEvent(new Event('state'));
  }

  // Ends the wait for an answer (or the greeting): its timers and its words.
  stopWaiting() {
    this.timers.forEach(clearTimeout);
    this.timers = [];
    if (this.waitingLong) this.waitLong(null);
  }

  receive(data) {
    if (this.broken) return;
    this.pending += this.decoder.decode(new Uint8Array(data), { stream: true });
    if (!this.pending.endsWith(PROMPT)) return;
    const text = this.pending.slice(0, -PROMPT.length);
    this.pending = '';
    this.stopWaiting();
    const next = this.waiting.shift();
    if (!next) return this.distrust('the server sent an answer nobody asked for');
    let answer;
    try {
      answer = parseAnswer(text);
      const odd = next.name === null ? null : oddAnswer(next.name, answer);
      if (odd) throw new OddAnswer(odd);
    } catch (e) {
      this.waiting.unshift(next);
      const why = e instanceof OddAnswer ? e.message : 'it is not the JSON the server prints';
      return this.distrust(`the server's answer could not be read (${why})`);
    }
    if (next.name !== null) this.answered++;
    next.resolve(answer);
  }

  // Ends a session whose stream can no longer be trusted: every request waiting is lost, its
  // outcome unknown, with `why` as its reason.
  distrust(why) {
    this.broken = true;
    this.reopen = true;
    this.stopWaiting();
    this.reason = `${why}: the session was closed and a new one opened`;
    for (const w of this.waiting.splice(0)) w.reject(new ConnectionLost(this.reason));
    this.ended = true;
    this.socket.close();
    this.setState('lost');
  }

  // A request whose outcome line came before the end (a sign-up the server ends the session
  // for) has its answer; the others are lost. The reason is what the server said last: the
  // serving side's closing line, the database's connection error, any other last line; or, for
  // a session closed normally at the prompt, that servers end sessions left idle.
  closed(code) {
    this.stopWaiting();
    if (this.broken) return;
    const text = this.pending;
    const lines = text.split('\n');
    const closing = lines.find((l) => l.startsWith(CLOSING_LINE));
    let last = null;
    try {
      last = parseAnswer(text);
    } catch { /* a broken last answer has no outcome to give */ }
    const waiting = this.waiting.splice(0);
    const idle = waiting.length === 0 && text === '' && this.state === 'connected';
    if (last?.outcome && waiting.length > 0 && waiting[0].name !== null) {
      waiting.shift().resolve(last);
    }
    if (closing !== undefined) {
      this.reason = visible(closing.slice(CLOSING_LINE.length));
    } else if (lines.includes(CONNECTION_ERROR_LINE)) {
      this.reason = 'the exchange\'s database could not be reached (the server said ' +
        `"${CONNECTION_ERROR_LINE}"); try again later`;
    } else if (lastWords(text)) {
      this.reason = `the server said "${visible(lastWords(text))}"`;
    } else if (idle && code === 1000) {
      this.reason = 'the server ended the session at the prompt: a session left idle ends ' +
        'after a while, as do all when the service stops';
    }
    for (const w of waiting) w.reject(new ConnectionLost());
    if (!this.ended) this.setState(closing === undefined ? 'lost' : 'refused');
  }

  // Closes the socket on purpose: no "lost" follows.
  end() {
    this.ended = true;
    this.stopWaiting();
    this.socket.close();
  }

  // Sends request `name` of REQUESTS with `args`; resolves to its parsed answer, rejects when
  // the connection goes first.
  request(name, args = {}) {
    const run = async () => {
      await this.greeted;
      const [event, field, body] = REQUESTS[name](args);
      const bytes = await encode(event, field, body);
      if (this.broken) throw new ConnectionLost(this.reason);
      if (this.socket.readyState !== WebSocket.OPEN) throw new ConnectionLost();
      const answer = new Promise((resolve, reject) =>
        this.waiting.push({ name, resolve, reject }));
      this.timers = [
        setTimeout(() => this.waitLong('answer'), SLOW_ANSWER_MS),
        setTimeout(() => this.distrust('the answer is late (none came within ' +
          `${Math.round(ANSWER_LIMITS.lateMs / 1000)} s)`), ANSWER_LIMITS.lateMs),
      ];
      this.socket.send(bytes);
      return answer;
    };
    const result = this.queue.then(run, run);
    this.queue = result.catch(() => {});
    return result;
  }
}

// The WebSocket address of this page's endpoint.
export function endpointUrl() {
  const scheme = location.protocol === 'https:' ? 'wss:' : 'ws:';
  return `${scheme}//${location.host}/ws`;
}

// The protocol, and nothing else: envelopes built by protobufjs from korvane.proto itself, one
// WebSocket message per request, each answer read until the prompt and split into the JSON
// documents and text lines the server printed. The views call request() and never see an event
// code or a byte.

import { EVENTS, EVERY_ADDRESS_BOOK_ENTRY } from './wire_facts.js';

// The last line of an answer, before the prompt, when the request asked for it: what became of
// the request, as JSON on one line. Nothing else the server prints starts so: every text it
// echoes has passed a filter that refuses the double quote.
const OUTCOME = '{"outcome":';

// The server prints this after every answer (and once when a session starts); nothing else it
// prints ends without a line end.
const PROMPT = '> ';
// The one line a connection gets when it is closed before a server starts for it (too many
// sessions from one address, say): "closed: REASON", and no prompt.
const CLOSED = 'closed: ';

const utf8 = new TextEncoder();

let envelopeType = null;

// Loads the schema once. keepCase keeps the proto's own field names (event_id, _id).
async function envelope() {
  if (envelopeType) return envelopeType;
  const text = await (await fetch('korvane.proto')).text();
  const root = globalThis.protobuf.parse(text, { keepCase: true }).root;
  envelopeType = root.lookupType('korvane.KorvaneInterface');
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
  const outcome = all.length > 0 && all.at(-1).startsWith(OUTCOME) ? JSON.parse(all.pop()) : null;
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

// A request's connection closed before its answer came: whether it was applied is not known.
export class ConnectionLost extends Error {
  constructor() {
    super('connection lost');
    this.name = 'ConnectionLost';
  }
}

// One server process behind one WebSocket. Its state is 'connecting' until the server's first
// prompt, then 'connected', and 'lost' once the socket closes unasked; each change is an event
// "state"; `reason` then holds what the endpoint said, if anything. Requests go one at a time,
// in the order they were made.
export class Session extends EventTarget {
  constructor(url) {
    super();
    this.state = 'connecting';
    this.pending = '';
    this.waiting = [];  // resolve/reject of each request sent, oldest first
    this.queue = Promise.resolve();
    this.decoder = new TextDecoder();
    this.socket = new WebSocket(url);
    this.socket.binaryType = 'arraybuffer';
    this.greeted = new Promise((resolve, reject) => this.waiting.push({ resolve, reject }));
    this.greeted.then(() => this.setState('connected'), () => {});
    this.socket.addEventListener('message', (e) => this.receive(e.data));
    this.socket.addEventListener('close', () => this.closed());
  }

  setState(state) {
    if (this.state === state) return;
    this.state = state;
    this.dispatchEvent(new Event('state'));
  }

  receive(data) {
    this.pending += this.decoder.decode(new Uint8Array(data), { stream: true });
    if (!this.pending.endsWith(PROMPT)) return;
    const answer = this.pending.slice(0, -PROMPT.length);
    this.pending = '';
    const next = this.waiting.shift();
    if (next) next.resolve(parseAnswer(answer));
  }

  // A request whose outcome line came before the end (a sign-up the server ends the session
  // for) has its answer; the others are lost.
  closed() {
    const line = this.pending.split('\n').find((l) => l.startsWith(CLOSED));
    this.reason = line ? line.slice(CLOSED.length) : '';
    const last = parseAnswer(this.pending);
    const waiting = this.waiting.splice(0);
    if (last.outcome && waiting.length > 0) waiting.shift().resolve(last);
    for (const w of waiting) w.reject(new ConnectionLost());
    if (!this.ended) this.setState('lost');
  }

  // Closes the socket on purpose: no "lost" follows.
  end() {
    this.ended = true;
    this.socket.close();
  }

  // Sends request `name` of REQUESTS with `args`; resolves to its parsed answer, rejects when
  // the connection goes first.
  request(name, args = {}) {
    const run = async () => {
      await this.greeted;
      const [event, field, body] = REQUESTS[name](args);
      const bytes = await encode(event, field, body);
      if (this.socket.readyState !== WebSocket.OPEN) throw new ConnectionLost();
      const answer = new Promise((resolve, reject) => this.waiting.push({ resolve, reject }));
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

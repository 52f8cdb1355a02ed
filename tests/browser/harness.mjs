// What the browser tests share: the endpoint (scripts/serve serving the page and WebSocket
// sessions of the real server), headless Chromium driven by puppeteer-core, and waits for what
// the page shows. tests/browser/run has started a private database and built the page's folder;
// it passes them in the environment.
//
// Every process started here leads its own process group and is ended with it. Should this
// process die without cleaning up, a watcher (outside its tree) ends the group: it reads a pipe
// whose only writer is this process, so the pipe's end is this process's end.
import { spawn, execFileSync } from 'node:child_process';
import { once } from 'node:events';
import fs from 'node:fs';
import { createRequire } from 'node:module';
import net from 'node:net';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

const here = path.dirname(fileURLToPath(import.meta.url));
export const ROOT = path.resolve(here, '../..');
const require = createRequire(path.join(ROOT, 'web/package.json'));
const puppeteer = require('puppeteer-core');

const env = (name) => {
  const value = process.env[name];
  if (!value) throw new Error(`${name} is not set: run the tests through tests/browser/run`);
  return value;
};

// Generous: the machine is shared and loaded; every wait ends as soon as its event comes.
export const WAIT_MS = 60000;

// A port nobody listens on now.
async function freePort() {
  const server = net.createServer();
  await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
  const { port } = server.address();
  await new Promise((resolve) => server.close(resolve));
  return port;
}

// Whether something accepts a connection on `port` now.
const accepts = (port) => new Promise((resolve) => {
  const socket = net.connect(port, '127.0.0.1');
  socket.once('connect', () => { socket.destroy(); resolve(true); });
  socket.once('error', () => resolve(false));
});

// Resolves once `port` accepts connections (or, with `up` false, refuses them); rejects when
// `child` ends first.
async function listening(port, child, up = true) {
  const deadline = Date.now() + WAIT_MS;
  for (;;) {
    if (child.exitCode !== null || child.signalCode !== null) {
      const end = child.exitCode ?? child.signalCode;
      const awaited = up ? 'listened' : 'stopped listening';
      throw new Error(`the endpoint ended (${end}) before it ${awaited}`);
    }
    if (await accepts(port) === up) return;
    if (Date.now() > deadline) throw new Error(`${port} never ${up ? 'listened' : 'refused'}`);
    await new Promise((resolve) => setTimeout(resolve, 50));
  }
}

// A command in its own process group, which a watcher ends should this process die first.
class Group {
  constructor(command, args, options = {}) {
    this.child = spawn(command, args, { detached: true, stdio: ['ignore', 'inherit', 'inherit'],
      ...options });
    this.exited = new Promise((resolve) => this.child.once('exit', resolve));
    this.watcher = spawn('bash', ['-c', 'read -r _ || kill -TERM -- "-$0" 2>/dev/null',
      String(this.child.pid)], { detached: true, stdio: ['pipe', 'ignore', 'ignore'] });
    this.watcher.unref();
  }

  // Sends SIGTERM to the group and waits for its leader.
  async stop() {
    if (this.child.exitCode === null && this.child.signalCode === null) {
      try { process.kill(-this.child.pid, 'SIGTERM'); } catch { /* already gone */ }
      await this.exited;
    }
    this.watcher.stdin.end('done\n');
  }
}

// scripts/serve with the page and WebSocket sessions on a port of their own, and TCP serving on
// another, so that it never meets a server someone else runs. `options` are more of its
// options (--max-sessions 1, say).
export class Endpoint {
  static async start(webPort, options = []) {
    const endpoint = new Endpoint();
    endpoint.webPort = webPort ?? await freePort();
    const tcpPort = await freePort();
    endpoint.group = new Group(path.join(ROOT, 'scripts/serve'),
      ['--port', String(tcpPort), '--web-port', String(endpoint.webPort),
        '--web-root', env('KORVANE_WEB_ROOT'), '--server', env('KORVANE_SERVER'), ...options]);
    await listening(endpoint.webPort, endpoint.group.child);
    return endpoint;
  }

  get url() { return `http://127.0.0.1:${this.webPort}/`; }

  // Kills every server process serving a session of this endpoint at once, as a crash would (or
  // with `signal`), and returns how many there were. They run in the endpoint's process group,
  // named korvane-server.
  killServers(signal = 'SIGKILL') {
    const group = String(this.group.child.pid);
    let killed = 0;
    for (const pid of fs.readdirSync('/proc').filter((name) => /^[0-9]+$/.test(name))) {
      let stat;
      try {
        stat = fs.readFileSync(`/proc/${pid}/stat`, 'utf8');
      } catch {
        continue;  // ended meanwhile
      }
      // "PID (COMM) STATE PPID PGRP ...": the name may hold blanks, so split after its ")".
      const name = stat.slice(stat.indexOf('(') + 1, stat.lastIndexOf(')'));
      const pgrp = stat.slice(stat.lastIndexOf(')') + 2).split(' ')[2];
      if (name !== 'korvane-server' || pgrp !== group) continue;
      try {
        process.kill(Number(pid), signal);
        killed++;
      } catch { /* ended meanwhile */ }
    }
    return killed;
  }

  async stop() { await this.group.stop(); }

  // Stops the endpoint while its sessions finish the request each is in; resolves once it has
  // stopped listening, which it does when it has told every server to end, to the promise of its
  // end.
  async stopping() {
    const stopped = this.stop();
    await listening(this.webPort, this.group.child, false);
    return { stopped };
  }
}

// The tests' own database: stopped and started on the same data.
export function database(action) {
  execFileSync(path.join(ROOT, 'scripts/lib/db-ctl'), [action, env('KORVANE_BROWSER_DB_DIR')],
    { stdio: 'inherit' });
}

// A connection to the tests' database as root, through the mysql client: statements go one at a
// time, and each resolves to the rows it printed (tab-separated lines).
export class Sql {
  constructor() {
    this.client = spawn('mariadb', ['--no-defaults', `--socket=${env('MYSQL_UNIX_PORT')}`,
      '-uroot', '--batch', '--skip-column-names', '--unbuffered', 'korvane_db'],
    { stdio: ['pipe', 'pipe', 'inherit'] });
    this.out = '';
    this.client.stdout.setEncoding('utf8');
    this.client.stdout.on('data', (text) => { this.out += text; this.client.emit('out'); });
    this.client.on('exit', () => this.client.emit('out'));
  }

  // Runs `statement` and resolves to its output lines.
  async query(statement) {
    const end = `-- end of statement ${this.count = (this.count ?? 0) + 1}`;
    this.client.stdin.write(`${statement};\nSELECT '${end}';\n`);
    while (!this.out.includes(`${end}\n`)) {
      if (this.client.exitCode !== null) throw new Error(`the mysql client ended at: ${statement}`);
      await once(this.client, 'out');
    }
    const lines = this.out.slice(0, this.out.indexOf(`${end}\n`)).split('\n').slice(0, -1);
    this.out = this.out.slice(this.out.indexOf(`${end}\n`) + end.length + 1);
    return lines;
  }

  // Resolves once `statement` prints `value`, asking again each time it does not.
  async until(statement, value) {
    const deadline = Date.now() + WAIT_MS;
    let got;
    while ((got = (await this.query(statement))[0]) !== value) {
      if (Date.now() > deadline) {
        const seen = await this.query('SELECT ID, COMMAND, STATE, INFO FROM ' +
          'information_schema.PROCESSLIST');
        throw new Error(`${statement} never gave ${value} (last ${got}); the database's ` +
          `connections:\n${seen.join('\n')}`);
      }
      await new Promise((resolve) => setTimeout(resolve, 20));  // not to keep a core busy asking
    }
  }

  // Ends the client, also in the middle of a statement; the database rolls back what it left open.
  async close() {
    if (this.client.exitCode !== null || this.client.signalCode !== null) return;
    const exited = once(this.client, 'exit');
    this.client.stdin.end();
    this.client.kill();
    await exited;
  }
}

// The page's controls that are selects rather than text fields.
const SELECTS = ['Coin', 'Side'];

// Stands between the page and its WebSockets, in the page before its own scripts: records every
// message, as korvaneWire ({ at: performance.now(), sent: bytes } or { at, received: text }),
// and lets a test change the next answer: korvaneTamper(text) returns the text the page gets
// instead, or undefined to leave it; it is used once.
function wire() {
  const Real = window.WebSocket;
  window.korvaneWire = [];
  window.WebSocket = class extends Real {
    send(data) {
      window.korvaneWire.push({ at: performance.now(), sent: [...new Uint8Array(data)] });
      super.send(data);
    }

    addEventListener(type, listener, options) {
      if (type !== 'message') return super.addEventListener(type, listener, options);
      return super.addEventListener(type, (e) => {
        const text = new TextDecoder().decode(e.data);
        window.korvaneWire.push({ at: performance.now(), received: text });
        const changed = window.korvaneTamper?.(text);
        if (changed === undefined) return listener(e);
        window.korvaneTamper = null;
        return listener({ data: new TextEncoder().encode(changed).buffer });
      }, options);
    }
  };
}

// Headless Chromium with one page, which records every console error and uncaught exception.
export class Browser {
  static async open(width = 1280) {
    const b = new Browser();
    b.browser = await puppeteer.launch({
      executablePath: process.env.KORVANE_CHROMIUM ?? '/usr/bin/chromium',
      headless: true,
      pipe: true,  // Chromium ends with this process, which holds the other end
      // A signal ends this process at once; Chromium, the endpoint and the database follow.
      handleSIGINT: false,
      handleSIGTERM: false,
      handleSIGHUP: false,
      args: ['--no-sandbox', '--disable-dev-shm-usage'],
      defaultViewport: { width, height: 900 },
      protocolTimeout: WAIT_MS * 2,
    });
    await b.openPage();
    return b;
  }

  async openPage() {
    this.page = await this.browser.newPage();
    this.page.setDefaultTimeout(WAIT_MS);
    await this.page.evaluateOnNewDocument(wire);
    this.errors = [];
    this.page.on('console', (m) => { if (m.type() === 'error') this.errors.push(m.text()); });
    this.page.on('pageerror', (e) => this.errors.push(String(e)));
  }

  // Another tab of the same browser, driven as this one, at `url` when given (else it is left
  // blank, for the caller to prepare first). Closing it closes the tab only.
  async tab(url) {
    const t = Object.assign(new Browser(), { browser: this.browser });
    await t.openPage();
    t.close = () => t.page.close();
    if (url) await t.page.goto(url);
    return t;
  }

  async close() { if (this.browser) await this.browser.close(); }

  // The control a person finds by its label: `role` and accessible `name`.
  control(role, name) {
    return this.page.locator(`::-p-aria([name="${name}"][role="${role}"])`);
  }

  async fill(name, value) {
    const field = await this.page.waitForSelector(`::-p-aria([name="${name}"][role="textbox"])`,
      { visible: true });
    await field.click({ count: 3 });
    await field.evaluate((el) => { el.value = ''; });
    if (value !== '') await field.type(value);
  }

  // Presses the button named `name`, or the key Enter in the focused field.
  async press(name) {
    if (name === 'Enter') return this.page.keyboard.press('Enter');
    await this.control('button', name).click();
  }

  async choose(name, label) {
    const select = await this.page.waitForSelector(`::-p-aria([name="${name}"][role="combobox"])`);
    const value = await select.evaluate((el, text) =>
      [...el.options].find((o) => o.textContent === text).value, label);
    await select.select(value);
  }

  // A person's step: fills `fields` (label -> value; a select takes the option's text), presses
  // `button`, and waits until `selector` shows `expected`; returns what it shows.
  async step(fields, button, selector, expected) {
    for (const [name, value] of Object.entries(fields)) {
      await (SELECTS.includes(name) ? this.choose(name, value) : this.fill(name, value));
    }
    await this.press(button);
    return this.text(selector, expected);
  }

  // Waits until the element `selector` shows `text` (a string it contains, or a RegExp) and
  // returns its text.
  async text(selector, text) {
    const source = text instanceof RegExp ? text.source : null;
    try {
      const handle = await this.page.waitForFunction((sel, plain, re) => {
        const el = document.querySelector(sel);
        if (!el || el.closest('[hidden]')) return null;
        const t = el.textContent;
        return (re ? new RegExp(re).test(t) : t.includes(plain)) ? t : null;
      }, { timeout: WAIT_MS }, selector, source ? null : text, source);
      return await handle.jsonValue();
    } catch (e) {
      const shown = await this.page.$eval(selector, (el) => el.textContent).catch(() => '(none)');
      throw new Error(`${selector} did not show ${text}; it shows "${shown}" (${e.message})`);
    }
  }

  async connection(state) {
    await this.page.waitForSelector(`#connection[data-state="${state}"]`);
  }

  // The rows of table `selector`, each as its cells' texts.
  rows(selector) {
    return this.page.$$eval(`${selector} tbody tr`,
      (trs) => trs.map((tr) => [...tr.cells].map((c) => c.textContent)));
  }
}

// Signs `name` in through the page (signing up, which signs in, when `signUp`), and waits for the
// balances.
export async function signIn(b, name, password, { signUp = false } = {}) {
  const fields = { Name: name, Password: password };
  if (signUp) {
    await b.step(fields, 'Sign up', '#account-note', `signed up as ${name}`);
    await b.text('#user-name', name);
  } else {
    await b.step(fields, 'Sign in', '#user-name', name);
  }
  await b.text('#balance-total', /^[0-9]+$/);
  await b.page.waitForSelector('::-p-aria([name="Sign in"][role="button"])', { hidden: true });
}

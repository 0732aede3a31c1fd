// The browser player in headless Chromium, driven over the DevTools protocol on a pipe.
//   node player_e2e.mjs SCENARIO --dabserver BIN --assets DIR --source DIR --artefacts DIR [--chromium BIN]
// Scenarios:
//   play      a dabserver on the demo ensemble: play, level and tone, label, slide, switching
//             programmes, a server restart in the middle of a stream; a DAB+ programme when the
//             demo has one (WebCodecs)
//   la        a dabserver on the second demo ensemble: its DAB+ programmes (HE-AAC among them)
//   fallback  the same server, the decoder bundle answered with 404 and then WebCodecs taken
//             away too: the page offers playlists
//   hostile   a stub server here whose API answer carries markup and foreign URLs, and whose
//             DAB+ stream is junk
// Exit 0 passed, 1 failed, 77 skipped (with the reason printed).

import { spawn } from 'node:child_process';
import fs from 'node:fs';
import http from 'node:http';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';

const SKIP = 77;
const args = parseArgs(process.argv.slice(2));
for (const k of ['dabserver', 'assets', 'source', 'artefacts']) if (args[k]) args[k] = path.resolve(args[k]);
const scenario = args._[0];
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));
let failures = 0;
const cleanups = [];

function parseArgs(list) {
  const out = { _: [] };
  for (let i = 0; i < list.length; i++) {
    if (list[i].startsWith('--')) out[list[i].slice(2)] = list[++i];
    else out._.push(list[i]);
  }
  return out;
}

function log(...m) { console.log(`[${scenario}]`, ...m); }
function check(ok, what, detail) {
  if (ok) log('ok  ', what);
  else { failures++; log('FAIL', what, detail === undefined ? '' : JSON.stringify(detail)); }
  return ok;
}
function skip(why) { console.log(`[${scenario}] SKIP: ${why}`); process.exit(SKIP); }

async function until(seconds, f, every = 250) {
  const end = Date.now() + seconds * 1000;
  for (;;) {
    const v = await f();
    if (v) return v;
    if (Date.now() > end) return v;
    await sleep(every);
  }
}

function freePort() {
  return new Promise((resolve, reject) => {
    const s = net.createServer();
    s.listen(0, '127.0.0.1', () => { const p = s.address().port; s.close(() => resolve(p)); });
    s.on('error', reject);
  });
}

function httpGet(port, p) {
  return new Promise((resolve) => {
    const req = http.get({ host: '127.0.0.1', port, path: p, timeout: 5000 }, (res) => {
      let body = '';
      res.setEncoding('utf8');
      res.on('data', (d) => { body += d; });
      res.on('end', () => resolve({ status: res.statusCode, headers: res.headers, body }));
    });
    req.on('error', () => resolve({ status: 0, body: '' }));
    req.on('timeout', () => { req.destroy(); resolve({ status: 0, body: '' }); });
  });
}

// --- Chromium over a pipe: JSON messages ending in NUL, written to fd 3, read from fd 4 ------

class Browser {
  constructor(bin, profile) {
    this.proc = spawn(bin, [
      '--headless=new', '--remote-debugging-pipe', '--no-sandbox', '--disable-gpu',
      '--autoplay-policy=no-user-gesture-required', '--mute-audio', '--no-first-run',
      '--no-default-browser-check', '--disable-extensions', '--disable-background-networking',
      '--disable-component-update', '--disable-sync', '--disable-features=Translate,MediaRouter',
      '--disable-background-timer-throttling', '--disable-renderer-backgrounding',
      '--window-size=480,1000', `--user-data-dir=${profile}`, 'about:blank',
    ], { stdio: ['ignore', 'ignore', 'pipe', 'pipe', 'pipe'] });
    this.stderr = '';
    this.proc.stderr.on('data', (d) => { this.stderr = (this.stderr + d).slice(-20000); });
    this.out = this.proc.stdio[3];
    this.in = this.proc.stdio[4];
    this.nextId = 1;
    this.waiting = new Map();
    this.listeners = [];
    let buf = Buffer.alloc(0);
    this.in.on('data', (d) => {
      buf = Buffer.concat([buf, d]);
      for (let z; (z = buf.indexOf(0)) >= 0;) {
        const msg = JSON.parse(buf.subarray(0, z).toString('utf8'));
        buf = buf.subarray(z + 1);
        if (msg.id && this.waiting.has(msg.id)) {
          const w = this.waiting.get(msg.id);
          this.waiting.delete(msg.id);
          if (msg.error) w.reject(new Error(`${w.method}: ${msg.error.message}`));
          else w.resolve(msg.result);
        } else if (msg.method) {
          for (const l of this.listeners) l(msg);
        }
      }
    });
    this.exited = new Promise((r) => this.proc.on('exit', r));
  }
  send(method, params = {}, sessionId) {
    const id = this.nextId++;
    const msg = { id, method, params };
    if (sessionId) msg.sessionId = sessionId;
    return new Promise((resolve, reject) => {
      this.waiting.set(id, { resolve, reject, method });
      this.out.write(JSON.stringify(msg) + '\0');
      setTimeout(() => {
        if (this.waiting.delete(id)) reject(new Error(`${method}: no answer`));
      }, 30000);
    });
  }
  on(f) { this.listeners.push(f); }
  async close() {
    try { await this.send('Browser.close'); } catch (e) { /* gone already */ }
    const t = setTimeout(() => this.proc.kill('SIGKILL'), 5000);
    await this.exited;
    clearTimeout(t);
  }
}

// One tab: its console errors, its requests, and evaluation in it.
async function openPage(browser) {
  const { targetId } = await browser.send('Target.createTarget', { url: 'about:blank' });
  const { sessionId } = await browser.send('Target.attachToTarget', { targetId, flatten: true });
  const page = {
    errors: [], requests: [], paused: [], sessionId,
    send: (m, p) => browser.send(m, p, sessionId),
  };
  browser.on((msg) => {
    if (msg.sessionId !== sessionId) return;
    const p = msg.params || {};
    if (msg.method === 'Runtime.consoleAPICalled' && (p.type === 'error' || p.type === 'assert'))
      page.errors.push('console: ' + (p.args || []).map((a) => a.value ?? a.description ?? '').join(' '));
    else if (msg.method === 'Runtime.exceptionThrown')
      page.errors.push('exception: ' + (p.exceptionDetails.exception?.description || p.exceptionDetails.text));
    else if (msg.method === 'Log.entryAdded' && p.entry.level === 'error')
      page.errors.push(`log: ${p.entry.text} ${p.entry.url || ''}`);
    else if (msg.method === 'Network.requestWillBeSent') page.requests.push(p.request.url);
    else if (msg.method === 'Fetch.requestPaused') page.paused.push(p);
  });
  for (const d of ['Runtime.enable', 'Log.enable', 'Page.enable', 'Network.enable']) await page.send(d);
  page.eval = async (expr) => {
    const r = await page.send('Runtime.evaluate', { expression: expr, returnByValue: true, awaitPromise: true });
    if (r.exceptionDetails) throw new Error(`${expr}: ${r.exceptionDetails.exception?.description || r.exceptionDetails.text}`);
    return r.result.value;
  };
  page.open = async (url) => {
    await page.send('Page.navigate', { url });
    return until(15, () => page.eval("document.readyState === 'complete' && !!window.dabPlayer").catch(() => false));
  };
  // A real press: the mouse goes down and up on the element's centre.
  page.press = async (selector) => {
    const box = await page.eval(`(() => { const e = document.querySelector(${JSON.stringify(selector)});
      if (!e) return null; e.scrollIntoView({block: 'center'}); const r = e.getBoundingClientRect();
      return {x: r.left + r.width / 2, y: r.top + r.height / 2}; })()`);
    if (!box) return false;
    for (const type of ['mousePressed', 'mouseReleased'])
      await page.send('Input.dispatchMouseEvent', { type, x: box.x, y: box.y, button: 'left', clickCount: 1 });
    return true;
  };
  page.stats = () => page.eval('JSON.parse(JSON.stringify(window.dabPlayer.stats))');
  return page;
}

// --- The server -----------------------------------------------------------------------------

class DabServer {
  constructor(dir, port, channel) {
    this.dir = dir;
    this.port = port;
    this.channel = channel;
  }
  start() {
    const root = path.join(this.dir, 'root');
    fs.mkdirSync(root, { recursive: true });
    // The MOT decoder's IP datagrams stay on this machine.
    fs.writeFileSync(path.join(this.dir, 'dab.ini'), 'multicastif lo\n');
    this.output = '';
    this.proc = spawn(args.dabserver, [
      '-d', 'sim:' + path.join(args.source, 'demo', 'signal'), '-t', this.channel, '-p', String(this.port),
      '-R', root, '-H', `127.0.0.1:${this.port}`, '-l', '99', '1', '-M', '-d', path.join(root, 'data'),
    ], { cwd: this.dir, stdio: ['ignore', 'pipe', 'pipe'] });
    for (const s of [this.proc.stdout, this.proc.stderr]) s.on('data', (d) => { this.output = (this.output + d).slice(-50000); });
    this.exited = new Promise((r) => this.proc.on('exit', (code, sig) => r(code ?? sig)));
    this.proc.on('error', (e) => { this.output += `\ncannot start ${args.dabserver}: ${e.message}\n`; });
    return until(30, () => this.output.includes('httpd: daemon started'));
  }
  async stop() {
    if (!this.proc || this.proc.exitCode !== null) return this.proc ? this.proc.exitCode : 0;
    this.proc.kill('SIGINT');
    const t = setTimeout(() => this.proc.kill('SIGKILL'), 60000);
    const code = await this.exited;
    clearTimeout(t);
    return code;
  }
  // Connections the server holds open on its port (established, or closed by the client but
  // not yet by the server). The statistics page counts remote listeners only, and this page
  // plays from loopback. The fewest of three looks: a page request may pass by.
  async streams() {
    const hex = this.port.toString(16).toUpperCase().padStart(4, '0');
    const look = () => {
      let n = 0;
      for (const f of ['/proc/net/tcp', '/proc/net/tcp6']) {
        let lines = [];
        try { lines = fs.readFileSync(f, 'utf8').split('\n').slice(1); } catch (e) { continue; }
        for (const l of lines) {
          const c = l.trim().split(/\s+/);
          if (c.length > 3 && c[1].endsWith(':' + hex) && (c[3] === '01' || c[3] === '08')) n++;
        }
      }
      return n;
    };
    let least = Infinity;
    for (let i = 0; i < 3; i++) {
      least = Math.min(least, look());
      await sleep(150);
    }
    return least;
  }
  async api() {
    const r = await httpGet(this.port, '/api/ensemble.json');
    try { return JSON.parse(r.body); } catch (e) { return null; }
  }
}

function audioOf(doc, sub) {
  for (const s of doc?.services || []) for (const c of s.components || []) if (c.type === 'audio' && c.subchannel === sub) return c;
  return null;
}

// The demo's programmes with a tone, as its description says: "source tone LEFT RIGHT".
function demoTones(channel = '12c') {
  const desc = fs.readFileSync(path.join(args.source, 'demo', channel + '.ensemble'), 'utf8');
  const out = [];
  for (const sec of desc.split(/^\[/m).filter((x) => x.startsWith('audio]'))) {
    const m = /^source\s+tone\s+(\d+(?:\.\d+)?)\s+(\d+(?:\.\d+)?)/m.exec(sec);
    const sub = /^subchannel\s+(\d+)/m.exec(sec);
    const sid = /^sid\s+0x([0-9a-f]+)/im.exec(sec);
    if (m && sub) out.push({ left: Number(m[1]), right: Number(m[2]), sub: Number(sub[1]), sid: sid ? sid[1].toUpperCase() : '' });
  }
  return out;
}
const demoTone = () => demoTones()[0] || null;

// The DAB+ programmes of an API answer.
function dabPlus(doc) {
  const out = [];
  for (const s of doc?.services || []) for (const c of s.components || []) if (c.type === 'audio' && c.codec === 'aac') out.push({ sid: s.id, comp: c });
  return out;
}

const near = (f, want) => Math.abs(f - want) <= 0.02 * want;

// --- Scenarios ------------------------------------------------------------------------------

async function scenarioPlay(page, srv) {
  const tone = demoTone();
  if (!check(!!tone, 'the demo description names the first programme\'s tone')) return;
  const base = `http://127.0.0.1:${srv.port}`;
  check(await page.open(base + '/player/'), 'the player page loads');
  const buttons = await until(30, () => page.eval("document.querySelectorAll('#programmes li button').length"));
  check(buttons >= 2, 'the programmes are listed with play buttons', buttons);
  check(await page.eval("document.querySelector('#programmes li').dataset.sub") === String(tone.sub),
        'the first programme is the tone', tone.sub);
  const m3u = await page.eval("[...document.querySelectorAll('#programmes a')].map(a => a.getAttribute('href'))");
  check(m3u.includes(`/playlist/${tone.sub}.m3u`), 'each programme links its M3U playlist', m3u);
  const sites = await until(30, () => page.eval("[...document.querySelectorAll('#sites a')].map(a => a.getAttribute('href'))")
    .then((l) => (l.length ? l : null)));
  check(!!sites && sites.every((h) => h.startsWith('/data/')), 'the broadcast web site is linked', sites);
  if (sites && sites.length) {
    const r = await httpGet(srv.port, sites[0]);
    check(r.status === 200, 'the web site link opens', r.status);
  }

  check(await page.press('#programmes li button'), 'play is pressed on the first programme');
  const t0 = Date.now();
  const first = await until(5, async () => {
    const s = await page.stats();
    return s.frames > 0 && s.sampleRate === 48000 ? s : null;
  }, 100);
  check(!!first, 'frames decoded at 48 kHz within 5 s', first || await page.stats());
  if (first) log(`first frames after ${Date.now() - t0} ms`);
  const measured = await until(10, async () => {
    const s = await page.stats();
    return s.rms > 0 && s.frequencies[0] > 0 ? s : null;
  });
  const s = measured || await page.stats();
  log(`level ${s.rms.toFixed(3)}, left ${s.frequencies[0].toFixed(1)} Hz, right ${s.frequencies[1].toFixed(1)} Hz`);
  // The generator writes sines of amplitude 0.3: a level of 0.21.
  check(s.rms > 0.1 && s.rms < 0.35, 'the level is the tone\'s, well above silence', s.rms);
  check(near(s.frequency, tone.left) && near(s.frequencies[0], tone.left), `left channel at ${tone.left} Hz within 2 %`, s.frequencies);
  check(near(s.frequencies[1], tone.right), `right channel at ${tone.right} Hz within 2 %`, s.frequencies);
  const playing = await until(5, async () => ((await page.stats()).state === 'playing'));
  check(playing, 'the player says it plays', await page.stats());
  const status = await page.eval("document.getElementById('status').textContent");
  check(/128 kbit\/s/.test(status) && /48 kHz/.test(status) && /buffer \d+\.\d s/.test(status),
        'the status line gives bit rate, sample rate and buffer', status);
  const buffered = (await page.stats()).buffer;
  check(buffered > 0.3 && buffered < 3.5, 'about a second is buffered', buffered);

  // The label shown is the one the API gives now (asked again when a change fell in between).
  let label = null, want = null;
  const same = await until(30, async () => {
    want = audioOf(await srv.api(), tone.sub)?.dynamic_label?.text;
    label = await page.eval("document.getElementById('dl').textContent");
    const hook = (await page.stats()).label;
    return want && label === want && hook === want;
  }, 500);
  check(same, 'the dynamic label shown equals the API\'s', { shown: label, api: want });

  const slide = await until(60, () => page.eval(`(() => { const i = document.getElementById('slide');
      return !i.hidden && i.complete && i.naturalWidth > 0 ? [i.naturalWidth, i.naturalHeight] : null; })()`), 500);
  check(!!slide, 'the slide has loaded', slide);
  check(await srv.streams() === 1, 'the server holds one stream', await srv.streams());

  fs.mkdirSync(args.artefacts, { recursive: true });
  const shot = await page.send('Page.captureScreenshot', { format: 'png', captureBeyondViewport: true });
  const png = path.join(args.artefacts, 'player.png');
  fs.writeFileSync(png, Buffer.from(shot.data, 'base64'));
  log('screenshot', png);

  // Another programme: the first connection ends, the second plays.
  const second = await page.eval("[...document.querySelectorAll('#programmes li')].map(l => Number(l.dataset.sub)).find(n => n !== " + tone.sub + ')');
  check(await page.press(`#programmes li[data-sub="${second}"] button`), 'play is pressed on the second programme');
  const switched = await until(5, async () => {
    const st = await page.stats();
    return st.subchannel === second && st.frames > 0 && st.sampleRate === 48000;
  }, 100);
  check(switched, 'the second programme decodes', await page.stats());
  const down = await until(5, async () => (await srv.streams()) === 1);
  await sleep(1000);
  check(down && (await srv.streams()) === 1, 'the first stream\'s connection has ended', await srv.streams());
  check(await page.eval(`document.querySelector('#programmes li.playing').dataset.sub`) === String(second),
        'the list marks the second programme as playing');
  const secondLabel = await until(20, async () => {
    const w = audioOf(await srv.api(), second)?.dynamic_label?.text;
    return w && (await page.stats()).label === w;
  }, 500);
  check(secondLabel, 'the second programme\'s dynamic label is shown');
  check(page.errors.length === 0, 'no console errors', page.errors);

  // A gap in the network: the server goes away and comes back; the page carries on by itself.
  const before = (await page.stats()).frames;
  check(await srv.stop() === 0, 'the server stops cleanly');
  await sleep(2000);
  check(await srv.start(), 'the server starts again', srv.output.slice(-2000));
  const resumed = await until(30, async () => {
    const st = await page.stats();
    return st.reconnects > 0 && st.subchannel === second && st.state === 'playing' && st.frames > 0 ? st : null;
  }, 500);
  check(!!resumed, 'playback resumes after the gap without reloading the page', await page.stats());
  check(await page.eval('performance.getEntriesByType("navigation").length === 1'), 'the page was not reloaded');
  log(`frames before the gap ${before}, after ${resumed ? resumed.frames : '-'}`);
  // Only the requests refused while the server was away may have complained.
  const other = page.errors.filter((e) => !/ERR_CONNECTION_REFUSED|ERR_CONNECTION_RESET|ERR_EMPTY_RESPONSE|Failed to fetch/.test(e));
  check(other.length === 0, 'no console errors beyond the refused requests', other);

  const plus = dabPlus(await srv.api());
  if (!plus.length) log('SKIP DAB+ checks: the demo ensemble has no DAB+ programme (no audio component with codec "aac")');
  for (const p of plus) await playDabPlus(page, srv, p);

  await page.eval('window.dabPlayer.stop()');
  check(await until(5, async () => (await srv.streams()) === 0), 'stopping ends the stream', await srv.streams());

  const statusPage = await httpGet(srv.port, '/');
  check((statusPage.body.match(/href="\/player\/"/g) || []).length === 1, 'the status page links the player once');
  check(await page.eval("!!document.querySelector('footer a[href=\"/\"]')"), 'the player links back to the status page');
}

// A DAB+ programme of the demo: decoded by WebCodecs, or the page says it cannot.
async function playDabPlus(page, srv, { sid, comp }) {
  const sub = comp.subchannel;
  const row = `#programmes li[data-sub="${sub}"]`;
  const tone = demoTones(srv.channel).find((t) => t.sid === sid);
  if (!check(!!tone, 'the demo description names the DAB+ programme\'s tone', sid)) return;
  check(/DAB\+/.test(await page.eval(`document.querySelector('${row} .rate').textContent`)), 'the list marks the programme DAB+');
  const errors = page.errors.length;
  const aac = await page.eval(`typeof AudioDecoder === 'function' && AudioDecoder.isConfigSupported(
      {codec: 'mp4a.40.2', sampleRate: 48000, numberOfChannels: 2}).then((r) => r.supported, () => false)`);
  if (!aac) {
    log('SKIP DAB+ audio checks: this Chromium has no AAC decoder in WebCodecs; checking that the page says so');
    await until(5, () => page.eval(`!!document.querySelector('${row} .note')`));
    check(await page.eval(`!document.querySelector('${row} button') && /cannot decode DAB\\+/.test(document.querySelector('${row} .note').textContent)`),
          'the DAB+ row says the browser cannot decode it, and has no play button');
    check(await page.eval(`window.dabPlayer.play(${sub})`) === false, 'play() refuses the DAB+ programme');
    const notice = await page.eval("document.getElementById('notice').hidden ? '' : document.getElementById('notice').textContent");
    check(notice.includes(comp.label) && /cannot decode/.test(notice), 'the notice names the programme it cannot decode', notice);
    check(await page.eval(`!!document.querySelector('#notice a[href="/playlist/${sub}.m3u"]')`), 'it offers that programme\'s playlist');
    return;
  }
  await until(5, () => page.eval(`!!document.querySelector('${row} button:not([disabled])')`));
  // The API knows the format once the server has decoded a superframe.
  const format = await until(10, async () => {
    const c = audioOf(await srv.api(), sub);
    return c && c.asc ? c : null;
  });
  if (!check(!!format, 'the API gives the programme\'s format', audioOf(await srv.api(), sub))) return;
  const rate = format.sample_rate;
  check(await page.press(`${row} button`), 'play is pressed on the DAB+ programme');
  const t0 = Date.now();
  const first = await until(5, async () => {
    const st = await page.stats();
    return st.subchannel === sub && st.frames > 0 && st.sampleRate === rate ? st : null;
  }, 100);
  check(!!first, `DAB+ frames decoded at ${rate / 1000} kHz within 5 s`, first || await page.stats());
  if (first) log(`first DAB+ frames after ${Date.now() - t0} ms`);
  check(page.requests.some((u) => u.endsWith(`/stream/${sub}.loas`)), 'the LOAS stream is read');
  const measured = await until(10, async () => {
    const st = await page.stats();
    return st.subchannel === sub && st.rms > 0 && st.frequencies[0] > 0 ? st : null;
  });
  const st = measured || await page.stats();
  log(`DAB+ level ${st.rms.toFixed(3)}, left ${st.frequencies[0].toFixed(1)} Hz, right ${st.frequencies[1].toFixed(1)} Hz`);
  check(st.rms > 0.1 && st.rms < 0.35, 'the DAB+ level is the tone\'s, well above silence', st.rms);
  check(near(st.frequencies[0], tone.left), `DAB+ left channel at ${tone.left} Hz within 2 %`, st.frequencies);
  check(near(st.frequencies[1], tone.right), `DAB+ right channel at ${tone.right} Hz within 2 %`, st.frequencies);
  // Its PAD travels in the access units: the server decodes it, the page shows it.
  const label = await until(20, async () => {
    const w = audioOf(await srv.api(), sub)?.dynamic_label?.text;
    return w && (await page.stats()).label === w;
  }, 500);
  check(label, 'the DAB+ programme\'s dynamic label is shown');
  // Access units of 960 samples (1920 out of SBR): all of them decoded, none twice (a fifth
  // either way for a loaded machine).
  const perSecond = rate / (format.sbr ? 1920 : 960);
  const a = await page.stats();
  await sleep(4000);
  const b = await page.stats();
  const seen = (b.frames - a.frames) / 4;
  log(`DAB+ access units: ${seen.toFixed(1)} per second`);
  check(Math.abs(seen - perSecond) <= 0.2 * perSecond, `about ${perSecond} access units decoded per second`, seen);
  const status = await page.eval("document.getElementById('status').textContent");
  check(/^Playing · DAB\+ (AAC-LC|HE-AAC)/.test(status) && status.includes(`${comp.bitrate} kbit/s`),
        'the status line says DAB+ with the bit rate', status);
  check(await srv.streams() === 1, 'the server holds one stream', await srv.streams());
  const shot = await page.send('Page.captureScreenshot', { format: 'png', captureBeyondViewport: true });
  fs.mkdirSync(args.artefacts, { recursive: true });
  const png = path.join(args.artefacts, `player-dabplus-${srv.channel}-${sub}.png`);
  fs.writeFileSync(png, Buffer.from(shot.data, 'base64'));
  log('screenshot', png);
  check(page.errors.length === errors, 'no console errors while playing DAB+', page.errors.slice(errors));
}

// The second demo ensemble: every DAB+ programme plays.
async function scenarioLa(page, srv) {
  check(await page.open(`http://127.0.0.1:${srv.port}/player/`), 'the player page loads');
  const plus = dabPlus(await srv.api());
  if (!check(plus.length > 0, 'the ensemble has DAB+ programmes', plus)) return;
  const rows = audioComponents(await srv.api());
  await until(30, () => page.eval(`document.querySelectorAll('#programmes li[data-sub]').length >= ${rows}`));
  for (const p of plus) await playDabPlus(page, srv, p);
  await page.eval('window.dabPlayer.stop()');
  check(await until(5, async () => (await srv.streams()) === 0), 'stopping ends the stream', await srv.streams());
}

async function scenarioFallback(page, srv) {
  const plus = new Set(dabPlus(await srv.api()).map((p) => String(p.comp.subchannel)));
  // The decoder answered as a server built without it answers.
  await page.send('Fetch.enable', { patterns: [{ urlPattern: '*mpg123-decoder.min.js*' }] });
  const answering = setInterval(() => {
    for (const p of page.paused.splice(0)) {
      page.send('Fetch.fulfillRequest', { requestId: p.requestId, responseCode: 404, body: '' }).catch(() => {});
    }
  }, 20);
  cleanups.unshift(() => clearInterval(answering));
  const base = `http://127.0.0.1:${srv.port}`;
  check(await page.open(base + '/player/'), 'the player page loads');
  const notice = await page.eval("document.getElementById('notice').hidden ? '' : document.getElementById('notice').textContent");
  check(/needs the MPEG audio decoder/.test(notice), 'the page says it needs the decoder', notice);
  check(await page.eval("!!document.querySelector('#notice a[href=\"/playlist.m3u\"]')"), 'it offers the playlist');
  const rows = await until(30, () => page.eval("document.querySelectorAll('#programmes li[data-sub]').length"));
  check(rows >= 2, 'the programmes are still listed', rows);
  const aac = await page.eval(`typeof AudioDecoder === 'function' && AudioDecoder.isConfigSupported(
      {codec: 'mp4a.40.2', sampleRate: 48000, numberOfChannels: 2}).then((r) => r.supported, () => false)`);
  const rowsNow = () => page.eval("[...document.querySelectorAll('#programmes li[data-sub]')].map(l => [l.dataset.sub, l.querySelector('a').getAttribute('href'), !!l.querySelector('button:not([disabled])'), !!l.querySelector('.note')])");
  // A DAB+ programme needs no MPEG decoder: it keeps its button where WebCodecs decodes AAC.
  let links = await until(5, async () => {
    const l = await rowsNow();
    return l.every(([sub, , button]) => button === (plus.has(sub) && aac)) ? l : null;
  }) || await rowsNow();
  check(links.every(([sub, href, button]) => href === `/playlist/${sub}.m3u` && button === (plus.has(sub) && aac)),
        'each programme offers its playlist; only DAB+ ones a play button', links);
  check(await page.eval('window.dabPlayer.play(1)') === false, 'play() refuses without the decoder');
  await sleep(1500);
  check(await srv.streams() === 0, 'no stream was opened', await srv.streams());
  const m3u = await httpGet(srv.port, '/playlist/1.m3u');
  check(m3u.status === 200 && /\/stream\/1\.mp2/.test(m3u.body), 'the playlist offered plays stream 1', m3u.body);

  // Without WebCodecs as well: nothing plays here, every programme offers its playlist.
  await page.send('Page.addScriptToEvaluateOnNewDocument', { source: 'delete window.AudioDecoder;' });
  check(await page.open(base + '/player/'), 'the player page loads without WebCodecs');
  await until(30, () => page.eval("document.querySelectorAll('#programmes li[data-sub]').length >= 2"));
  links = await rowsNow();
  check(links.every(([sub, href, button, note]) => href === `/playlist/${sub}.m3u` && !button && note === plus.has(sub)),
        'no play buttons; each DAB+ programme says it cannot be decoded', links);
  for (const sub of plus) {
    const text = await page.eval("document.getElementById('notice').textContent");
    check(/cannot decode DAB\+ programmes/.test(text), 'the notice says DAB+ cannot be decoded here', text);
    check(await page.eval(`window.dabPlayer.play(${sub})`) === false, 'play() refuses the DAB+ programme');
    check(await page.eval(`!!document.querySelector('#notice a[href="/playlist/${sub}.m3u"]')`), 'the notice links its playlist');
    const list = await httpGet(srv.port, `/playlist/${sub}.m3u`);
    check(list.status === 200 && new RegExp(`/stream/${sub}\\.loas`).test(list.body), 'its playlist plays the LOAS stream', list.body);
  }
  await sleep(1000);
  check(await srv.streams() === 0, 'still no stream was opened', await srv.streams());
  const other = page.errors.filter((e) => !/mpg123-decoder\.min\.js|404/.test(e));
  check(other.length === 0, 'no console errors beyond the missing decoder', other);
}

// A stub of the server: the real assets, an API answer written by an attacker on the air.
async function scenarioHostile(page) {
  const evil = '<img src=x onerror="window.owned=1"><script>window.owned=2</script>&amp;';
  const doc = {
    ensemble: { id: 'C1D1', label: evil, short_label: evil, frequency_khz: 223936, channel: '<b>12C</b>', date_time: null,
                signal: { sync: true, mode: 1, ber_class: 0, ber: null } },
    services: [
      { id: 'D101', label: evil, short_label: 'x', pty: 1, components: [
        { subchannel: 1, type: 'audio', label: evil, primary: true, bitrate: 128, protection: 3,
          stream_url: 'javascript:window.owned=3', playlist_url: 'javascript:window.owned=4',
          dynamic_label: { text: '<i onmouseover="window.owned=5">label</i>', time: null },
          slide: { url: 'http://far.example/data/slide.jpg', time: null } }] },
      { id: 'E0D10001', label: 'Web', short_label: 'Web', pty: 0, components: [
        { subchannel: 5, type: 'packet data', label: '<u>site</u>', primary: true, bitrate: 32, protection: 3,
          stream_url: 'http://far.example/stream/5', website: 'javascript:window.owned=6' },
        { subchannel: 5, type: 'packet data', label: 'ok', primary: false, bitrate: 32, protection: 3,
          stream_url: 'http://far.example/stream/5', website: 'http://far.example/data/c1d1/index.html' }] },
      { id: 'D104', label: 'Plus', components: [
        { subchannel: 7, type: 'audio', label: evil, codec: 'aac', asc: '"><b>', sample_rate: 1e9, channels: -1,
          sbr: 'yes', ps: {}, bitrate: 64, stream_url: 'javascript:window.owned=7', playlist_url: 'javascript:window.owned=8' }] },
      { id: 'bad', label: 42, components: 'none' },
    ],
  };
  const root = path.resolve(args.assets);
  const sockets = new Set();
  const srv = http.createServer((req, res) => {
    const u = new URL(req.url, 'http://x');
    if (u.pathname === '/api/ensemble.json') {
      res.writeHead(200, { 'Content-Type': 'application/json' });
      res.end(JSON.stringify(doc));
      return;
    }
    if (u.pathname === '/data/slide.jpg') {
      res.writeHead(200, { 'Content-Type': 'image/jpeg' });
      res.end(fs.readFileSync(path.join(args.source, 'demo', 'pictures', 'testcard.jpg')));
      return;
    }
    if (u.pathname === '/stream/7.loas') {
      res.writeHead(200, { 'Content-Type': 'audio/mp4a-latm' });
      res.write(junkLoas());  // and no more: the player gives up on its own
      return;
    }
    if (u.pathname.startsWith('/stream/')) {
      res.writeHead(200, { 'Content-Type': 'audio/x-mpeg' });  // never any audio: the player waits
      return;
    }
    let file = path.normalize(path.join(root, decodeURIComponent(u.pathname)));
    if (file.startsWith(root + path.sep) && fs.existsSync(file) && fs.statSync(file).isDirectory())
      file = path.join(file, 'index.html');
    if (!file.startsWith(root + path.sep) || !fs.existsSync(file)) {
      res.writeHead(404);
      res.end();
      return;
    }
    res.writeHead(200);
    res.end(fs.readFileSync(file));
  });
  srv.on('connection', (c) => { sockets.add(c); c.on('close', () => sockets.delete(c)); });
  await new Promise((r) => srv.listen(0, '127.0.0.1', r));
  cleanups.push(() => { for (const c of sockets) c.destroy(); return new Promise((r) => srv.close(r)); });
  const origin = `http://127.0.0.1:${srv.address().port}`;
  check(await page.open(origin + '/player/'), 'the player page loads from the stub');
  await until(10, () => page.eval("document.querySelectorAll('#programmes li[data-sub]').length === 2"));
  check(await page.eval("document.getElementById('ensemble').textContent") === evil, 'the ensemble label is shown as text');
  check(await page.eval("document.querySelector('#programmes .name').textContent") === evil, 'the programme label is shown as text');
  check(await page.eval("document.querySelector('#programmes li a').getAttribute('href')") === '/playlist/1.m3u',
        'a playlist URL that is no web address falls back to the server\'s own');
  await page.eval('window.dabPlayer.play(1)');
  await until(10, () => page.eval("document.getElementById('dl').textContent.length > 0"));
  check(await page.eval("document.getElementById('dl').textContent") === '<i onmouseover="window.owned=5">label</i>',
        'the dynamic label is shown as text');
  const slide = await until(10, () => page.eval("(() => { const i = document.getElementById('slide'); return !i.hidden && i.naturalWidth > 0; })()"));
  check(slide, 'the slide is taken from this server, not the one named');
  const sites = await page.eval("[...document.querySelectorAll('#sites a')].map(a => [a.textContent, a.getAttribute('href')])");
  check(JSON.stringify(sites) === JSON.stringify([['ok', '/data/c1d1/index.html']]),
        'only a web address becomes a site link, on this server', sites);
  // DAB+ junk: nothing decodes, the page says so and offers the programme's playlist.
  check(await page.eval('window.dabPlayer.play(7)'), 'a DAB+ programme with a config of junk is tried');
  const gaveUp = await until(20, async () => (await page.stats()).state === 'unsupported');
  check(gaveUp, 'the player gives up on a DAB+ stream of junk', await page.stats());
  check(page.requests.includes(origin + '/stream/7.loas'), 'the stream asked for is the server\'s own');
  const notice = await page.eval("document.getElementById('notice').textContent");
  check(notice.includes(`“${evil}” is a DAB+ programme`), 'the notice names it, as text', notice);
  check(await page.eval("!!document.querySelector('#notice a[href=\"/playlist/7.m3u\"]') && !!document.querySelector('#programmes li[data-sub=\"7\"] .note')"),
        'it offers the programme\'s own playlist');
  check(await page.eval("document.querySelectorAll('main img:not(#slide), main script, main i, main u, header b').length") === 0,
        'no element came from a label');
  check(await page.eval('window.owned === undefined'), 'no script from a label ran');
  const elsewhere = page.requests.filter((u) => !u.startsWith(origin + '/') && !u.startsWith('blob:') && !u.startsWith('data:') && u !== 'about:blank');
  check(elsewhere.length === 0, 'every request went to the page\'s own server', elsewhere);
  check(page.errors.length === 0, 'no console errors', page.errors);
  await page.eval('window.dabPlayer.stop()');
}

// Frames of an AAC-LC config whose access units are noise, between noise and sync words
// announcing any length.
function junkLoas() {
  let seed = 1;
  const rnd = () => (seed = (seed * 1103515245 + 12345) % 2 ** 31) / 2 ** 31;
  const noise = (n) => Array.from({ length: n }, () => Math.floor(rnd() * 256));
  const parts = [];
  for (let i = 0; i < 300; i++) {
    const au = noise(1 + Math.floor(rnd() * 400));
    // useSameStreamMux 0, audioMuxVersion 0, allStreamsSameTimeFraming 1, numSubFrames,
    // numProgram, numLayer 0; ASC 0x1194 (AAC-LC 48 kHz stereo 960); frameLengthType 0,
    // latmBufferFullness 0xFF, no other data, no CRC; the payload length in pieces of 255
    const fields = [[0x2000, 16], [0x1194, 16], [0xff << 2, 13]];
    for (let n = au.length; n >= 0; n -= 255) fields.push([Math.min(n, 255), 8]);
    for (const b of au) fields.push([b, 8]);
    const bits = fields.flatMap(([v, n]) => Array.from({ length: n }, (_, k) => (v >> (n - 1 - k)) & 1));
    const el = Buffer.alloc(Math.ceil(bits.length / 8));
    bits.forEach((b, k) => { if (b) el[k >> 3] |= 0x80 >> (k & 7); });
    parts.push(Buffer.from([0x56, 0xe0 | (el.length >> 8), el.length & 0xff]), el);
    if (i % 25 === 0) parts.push(Buffer.from([0x56, 0xff, 0xff, ...noise(50)]));
  }
  return Buffer.concat(parts);
}

// --- Main -----------------------------------------------------------------------------------

async function main() {
  if (!['play', 'la', 'fallback', 'hostile'].includes(scenario)) { console.log('usage: player_e2e.mjs play|la|fallback|hostile ...'); process.exit(2); }
  const chromium = args.chromium || '/usr/bin/chromium';
  if (!fs.existsSync(chromium)) skip(`no Chromium at ${chromium}`);
  if (!fs.existsSync(path.join(args.assets, 'player', 'index.html'))) skip(`no player in ${args.assets}: build the player_assets target`);
  const haveDecoder = fs.existsSync(path.join(args.assets, 'player', 'decoder', 'mpg123-decoder.min.js'));
  if (scenario !== 'fallback' && !haveDecoder)
    skip('the MPEG decoder (npm package mpg123-decoder) was not fetched at build time: the player cannot play');
  const needServer = scenario !== 'hostile';
  const channel = scenario === 'la' ? 'la' : '12c';
  if (needServer && !fs.existsSync(path.join(args.source, 'demo', 'signal', channel + '.eti')))
    skip('demo signal not generated (make demo-signal)');

  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'player-e2e-'));
  cleanups.push(() => fs.rmSync(dir, { recursive: true, force: true }));
  let srv = null;
  if (needServer) {
    srv = new DabServer(dir, await freePort(), channel);
    if (!check(await srv.start(), 'the server starts', srv.output.slice(-2000))) return;
    cleanups.unshift(async () => { check(await srv.stop() === 0, 'the server ends cleanly', srv.output.slice(-2000)); });
    // The services are known a few seconds after the start.
    const ready = await until(30, async () => audioComponents(await srv.api()) >= 2);
    check(ready, 'the server lists the demo programmes');
  }
  const browser = new Browser(chromium, path.join(dir, 'profile'));
  cleanups.unshift(() => browser.close());
  const page = await openPage(browser);
  if (scenario === 'play') await scenarioPlay(page, srv);
  else if (scenario === 'la') await scenarioLa(page, srv);
  else if (scenario === 'fallback') await scenarioFallback(page, srv);
  else await scenarioHostile(page);
}

function audioComponents(doc) {
  let n = 0;
  for (const s of doc?.services || []) for (const c of s.components || []) if (c.type === 'audio') n++;
  return n;
}

let code = 0;
try {
  await main();
} catch (e) {
  failures++;
  console.log(`[${scenario}] FAIL`, e && e.stack ? e.stack : e);
}
for (const c of cleanups) {
  try { await c(); } catch (e) { /* best effort */ }
}
code = failures ? 1 : 0;
console.log(`[${scenario}] ${failures ? failures + ' check(s) failed' : 'all checks passed'}`);
process.exit(code);

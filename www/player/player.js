// The browser player: the ensemble from /api/ensemble.json, one programme at a time read from
// its stream and played through Web Audio behind a jitter buffer. DAB (MPEG Layer II) is
// decoded with mpg123-decoder, DAB+ (AAC in LOAS frames) with the browser's WebCodecs.
// Every text shown comes from the air: it goes into the page as text, never as markup.
(function () {
  'use strict';

  const REFRESH_MS = 3000;      // ensemble, dynamic label and slide
  const TARGET_BUFFER_S = 1.0;  // audio held before playing starts (and again after a gap)
  const MAX_BUFFER_S = 3.0;     // beyond this, audio is dropped to keep the delay bounded
  const STALL_MS = 5000;        // a connection silent this long is given up and made anew
  const RETRY_MS = [500, 1000, 2000, 4000];
  const SAMPLES_PER_FRAME = 1152;  // MPEG audio layer II
  const AAC_QUEUE_MAX = 256;       // access units (5 s) waiting in the decoder before new ones are dropped
  // Access units lost with failed decoders, at least two of them, before any audio came: this
  // browser cannot decode the programme. Once audio came, a failure only renews the decoder.
  const AAC_FAILURES_MAX = 8;

  const $ = (id) => document.getElementById(id);
  const lib = window['mpg123-decoder'];
  const loas = window.DabLoas;
  const haveDecoder = !!(lib && typeof lib.MPEGDecoder === 'function');
  const webAudio = !!(window.AudioContext || window.webkitAudioContext);
  const mp2Ready = haveDecoder && webAudio && typeof WebAssembly === 'object';
  const aacReady = webAudio && !!loas && typeof window.AudioDecoder === 'function' &&
    typeof window.EncodedAudioChunk === 'function' && typeof window.AudioDecoder.isConfigSupported === 'function';

  const stats = {
    frames: 0, sampleRate: 0, rms: 0, frequency: 0, frequencies: [0, 0], label: '',
    subchannel: null, state: 'idle', bitrate: 0, buffer: 0, reconnects: 0, slide: null,
    codec: '', format: '',
  };

  let ensemble = null;       // the last answer of the API
  let listKey = '';          // what the programme list shows, to rebuild it only on change
  let current = null;        // the programme playing
  let audio = null;          // AudioContext, made on the first play
  let shownSlide = { key: '', objectUrl: null };
  let refused = null;        // the DAB+ programme last found undecodable here, for the notice
  let playRequests = 0;
  const aacChecks = new Map();   // decoder config → true, false, or the pending answer
  const undecodable = new Map(); // subchannel → its API config when its stream did not decode here

  // --- URLs from the API: only their path, on this server -------------------------------

  function localPath(u) {
    if (typeof u !== 'string' || !u) return null;
    let parsed;
    try { parsed = new URL(u, location.href); } catch (e) { return null; }
    if (parsed.protocol !== 'http:' && parsed.protocol !== 'https:') return null;
    // The API writes the configured host name, which need not be the one this page came from.
    return parsed.pathname + parsed.search;
  }

  function text(v) { return typeof v === 'string' ? v : ''; }

  // --- The ensemble ------------------------------------------------------------------------

  function audioComponents(doc) {
    const out = [];
    const services = doc && Array.isArray(doc.services) ? doc.services : [];
    for (const s of services) {
      const comps = Array.isArray(s.components) ? s.components : [];
      for (const c of comps) {
        if (!c || c.type !== 'audio' || !Number.isInteger(c.subchannel)) continue;
        out.push({ service: s, comp: c, sub: c.subchannel });
      }
    }
    return out;
  }

  function findAudio(sub) {
    return audioComponents(ensemble).find((p) => p.sub === sub) || null;
  }

  function programmeName(p) {
    const own = text(p.comp.label), service = text(p.service.label);
    return own || service || 'Subchannel ' + p.sub;
  }

  // An older server names no codec: its programmes are all MPEG Layer II.
  function codecOf(p) { return p && p.comp.codec === 'aac' ? 'aac' : 'mp2'; }

  function playlistOf(p) {
    return (p && localPath(p.comp.playlist_url)) || '/playlist/' + (p ? p.sub : 0) + '.m3u';
  }

  // --- DAB+: whether this browser decodes a programme --------------------------------------

  // The decoder config the API promises for a DAB+ programme: from its AudioSpecificConfig
  // when the server has seen one, else from the figures it gives.
  function apiAacConfig(comp) {
    const cfg = loas.parseAsc(loas.fromHex(comp.asc));
    if (cfg) return decoderConfig(cfg);
    const ps = comp.ps === true, sbr = ps || comp.sbr === true;
    const rate = [48000, 32000].includes(comp.sample_rate) ? comp.sample_rate : 48000;
    return {
      codec: ps ? 'mp4a.40.29' : sbr ? 'mp4a.40.5' : 'mp4a.40.2',
      sampleRate: rate, numberOfChannels: ps || comp.channels !== 1 ? 2 : 1,
    };
  }

  function decoderConfig(cfg) {
    return { codec: cfg.codec, sampleRate: cfg.sampleRate, numberOfChannels: cfg.channels, description: cfg.asc };
  }

  function configKey(c) {
    return [c.codec, c.sampleRate, c.numberOfChannels, c.description ? loas.hex(c.description) : ''].join(' ');
  }

  // Resolves to whether the browser says it decodes this config; asked once per config.
  function aacSupport(config) {
    if (!aacReady) return Promise.resolve(false);
    const key = configKey(config);
    const known = aacChecks.get(key);
    if (known !== undefined) return Promise.resolve(known);
    const asked = window.AudioDecoder.isConfigSupported(config)
      .then((r) => !!(r && r.supported), () => false)
      .then((ok) => { aacChecks.set(key, ok); return ok; });
    aacChecks.set(key, asked);
    return asked;
  }

  // true or false when known; undefined while the browser is asked (the list is drawn again then).
  function playable(p) {
    if (codecOf(p) === 'mp2') return mp2Ready;
    if (!aacReady) return false;
    const config = apiAacConfig(p.comp);
    const key = configKey(config);
    if (undecodable.get(p.sub) === key) return false;
    const known = aacChecks.get(key);
    if (known === true || known === false) return known;
    if (known === undefined) aacSupport(config).then(() => renderProgrammes());
    return undefined;
  }

  function formatName(cfg) {
    if (!cfg) return 'MPEG Layer II';
    return cfg.ps ? 'HE-AAC v2' : cfg.sbr ? 'HE-AAC' : 'AAC-LC';
  }

  function renderEnsemble() {
    const ens = ensemble && ensemble.ensemble ? ensemble.ensemble : {};
    const name = text(ens.label) || 'DAB player';
    $('ensemble').textContent = name;
    document.title = name + ' – DAB player';
    const bits = [];
    if (ens.channel) bits.push('Channel ' + text(ens.channel));
    if (Number.isFinite(ens.frequency_khz)) bits.push((ens.frequency_khz / 1000).toFixed(3) + ' MHz');
    if (ens.signal && typeof ens.signal === 'object') bits.push(ens.signal.sync ? 'in sync' : 'no sync');
    $('signal').textContent = bits.join(' · ');
  }

  function renderProgrammes() {
    const list = audioComponents(ensemble);
    const key = JSON.stringify(list.map((p) => [p.sub, programmeName(p), p.comp.bitrate, p.comp.playlist_url,
                                                codecOf(p), playable(p)]));
    if (key !== listKey) {
      listKey = key;
      const ul = $('programmes');
      ul.replaceChildren();
      if (!list.length) {
        const li = document.createElement('li');
        li.textContent = 'No programmes in this ensemble.';
        ul.append(li);
      }
      for (const p of list) {
        const li = document.createElement('li');
        li.dataset.sub = String(p.sub);
        const name = document.createElement('span');
        name.className = 'name';
        name.textContent = programmeName(p);
        const rate = document.createElement('span');
        rate.className = 'rate';
        const aac = codecOf(p) === 'aac';
        const bits = [];
        if (aac) bits.push('DAB+');
        if (Number.isFinite(p.comp.bitrate)) bits.push(p.comp.bitrate + ' kbit/s');
        rate.textContent = bits.join(' · ');
        const m3u = document.createElement('a');
        m3u.textContent = 'M3U';
        m3u.title = 'Playlist for a media player';
        m3u.href = playlistOf(p);
        li.append(name, rate, m3u);
        const can = playable(p);
        if (can !== false) {
          const b = document.createElement('button');
          b.type = 'button';
          b.disabled = can === undefined;  // the browser is being asked
          b.addEventListener('click', () => {
            if (current && current.sub === p.sub) stop(); else play(p.sub);
          });
          li.append(b);
        } else if (aac) {
          li.classList.add('unsupported');
          const note = document.createElement('span');
          note.className = 'note';
          note.textContent = 'This browser cannot decode DAB+: use the M3U link';
          li.append(note);
        }
        ul.append(li);
      }
    }
    for (const li of $('programmes').children) {
      const on = !!current && li.dataset.sub === String(current.sub);
      li.classList.toggle('playing', on);
      const b = li.querySelector('button');
      if (b) b.textContent = on ? 'Stop' : 'Play';
    }
  }

  function renderSites() {
    const ul = $('sites');
    ul.replaceChildren();
    const services = ensemble && Array.isArray(ensemble.services) ? ensemble.services : [];
    for (const s of services) {
      for (const c of Array.isArray(s.components) ? s.components : []) {
        const href = c && c.type === 'packet data' ? localPath(c.website) : null;
        if (!href) continue;
        const li = document.createElement('li');
        const a = document.createElement('a');
        a.href = href;
        a.target = '_blank';
        a.rel = 'noopener noreferrer';
        a.textContent = text(c.label) || text(s.label) || href;
        li.append(a);
        ul.append(li);
      }
    }
    $('sites-box').hidden = ul.children.length === 0;
  }

  function renderNow() {
    const box = $('now');
    if (!current) { box.hidden = true; return; }
    box.hidden = false;
    const p = findAudio(current.sub);
    $('now-title').textContent = p ? programmeName(p) : 'Subchannel ' + current.sub;
    const dl = p && p.comp.dynamic_label ? text(p.comp.dynamic_label.text) : '';
    $('dl').textContent = dl;
    stats.label = dl;
    showSlide(p && p.comp.slide ? p.comp.slide : null);
    if (p && Number.isFinite(p.comp.bitrate)) stats.bitrate = p.comp.bitrate;
  }

  function showSlide(slide) {
    const img = $('slide');
    const path = slide ? localPath(slide.url) : null;
    const key = path ? path + ' ' + text(slide.time) : '';
    if (key === shownSlide.key) return;
    shownSlide.key = key;
    if (!path) {
      img.hidden = true;
      img.removeAttribute('src');
      stats.slide = null;
      return;
    }
    // Fetched anew: the decoder may write the next slide under the same name.
    fetch(path, { cache: 'no-store' }).then((r) => {
      if (!r.ok) throw new Error('slide: HTTP ' + r.status);
      return r.blob();
    }).then((blob) => {
      if (shownSlide.key !== key) return;
      const old = shownSlide.objectUrl;
      shownSlide.objectUrl = URL.createObjectURL(blob);
      img.onload = () => {
        if (old) URL.revokeObjectURL(old);
        img.hidden = false;
        stats.slide = { url: path, width: img.naturalWidth, height: img.naturalHeight };
      };
      img.onerror = () => { img.hidden = true; stats.slide = null; };
      img.src = shownSlide.objectUrl;
    }).catch(() => { if (shownSlide.key === key) shownSlide.key = ''; });
  }

  async function refresh() {
    try {
      const r = await fetch('/api/ensemble.json', { cache: 'no-store' });
      if (!r.ok) throw new Error('HTTP ' + r.status);
      const doc = await r.json();
      if (!doc || typeof doc !== 'object') throw new Error('not an object');
      ensemble = doc;
    } catch (e) {
      if (!ensemble) $('programmes').replaceChildren(item('The ensemble could not be read; trying again.'));
      return;
    }
    renderEnsemble();
    renderProgrammes();
    renderSites();
    renderNow();
    renderNotice();
  }

  function item(t) {
    const li = document.createElement('li');
    li.textContent = t;
    return li;
  }

  // --- Playback ----------------------------------------------------------------------------

  function setState(state) {
    stats.state = state;
    showStatus();
  }

  function showStatus() {
    const el = $('status');
    if (!current) { el.textContent = ''; return; }
    const parts = [];
    const names = {
      connecting: 'Connecting…', buffering: 'Buffering…', playing: 'Playing',
      reconnecting: 'Connection lost, reconnecting…', suspended: 'Press Play to allow sound',
    };
    parts.push(names[stats.state] || stats.state);
    if (stats.format) parts.push(stats.codec === 'aac' ? 'DAB+ ' + stats.format : stats.format);
    if (stats.bitrate) parts.push(stats.bitrate + ' kbit/s');
    if (stats.sampleRate) parts.push((stats.sampleRate / 1000) + ' kHz');
    parts.push('buffer ' + stats.buffer.toFixed(1) + ' s');
    if (stats.reconnects) parts.push(stats.reconnects + (stats.reconnects === 1 ? ' reconnect' : ' reconnects'));
    el.textContent = parts.join(' · ');
  }

  function ensureAudio() {
    if (!audio) audio = new (window.AudioContext || window.webkitAudioContext)({ latencyHint: 'playback' });
    if (audio.state === 'suspended') audio.resume().catch(() => {});
    return audio;
  }

  // MPEG Layer II: the stream's bytes as they come, decoded at once in WebAssembly.
  class Mp2Sink {
    constructor(pb) {
      this.pb = pb;
      this.got = false;
      this.decoder = new lib.MPEGDecoder();
      this.ready = this.decoder.ready;
    }
    feed(bytes) {
      const out = this.decoder.decode(bytes);
      if (out && out.samplesDecoded > 0) {
        this.got = true;
        this.pb.samples += out.samplesDecoded;
        this.pb.take(out, Math.floor(this.pb.samples / SAMPLES_PER_FRAME), null);
      }
    }
    close() { this.decoder.free(); }
  }

  // DAB+: LOAS frames taken apart here, each access unit decoded by the browser (WebCodecs),
  // whose answers come back on their own.
  class AacSink {
    constructor(pb) {
      this.pb = pb;
      this.got = false;
      this.ready = Promise.resolve();
      this.parser = new loas.Parser();
      this.decoder = null;
      this.key = '';
      this.cfg = null;
      this.samples = 0;       // at the output rate, for the time stamps
      this.sent = 0;          // access units given to the present decoder
      this.closed = false;
    }

    feed(bytes) {
      for (const au of this.parser.push(bytes)) {
        if (this.closed || this.pb.stopped) return;
        this.decode(au);
      }
    }

    decode(au) {
      const key = loas.hex(au.config.asc);
      if (!this.decoder || this.decoder.state === 'closed' || key !== this.key) this.open(au.config, key);
      if (!this.decoder || this.decoder.state !== 'configured') return;
      // A decoder that falls behind loses new access units rather than the page's memory.
      if (this.decoder.decodeQueueSize > AAC_QUEUE_MAX) return;
      const timestamp = Math.round(this.samples * 1e6 / this.cfg.sampleRate);
      this.samples += this.cfg.frameSamples;
      this.sent++;
      try {
        this.decoder.decode(new EncodedAudioChunk({ type: 'key', timestamp, data: au.payload }));
      } catch (e) {
        this.failed(e);
      }
    }

    open(cfg, key) {
      if (this.decoder && this.decoder.state !== 'closed') this.decoder.close();
      this.decoder = null;
      this.sent = 0;
      this.key = key;
      this.cfg = cfg;
      const config = decoderConfig(cfg);
      aacSupport(config).then((ok) => { if (!ok && !this.closed) this.pb.undecodable(config); });
      const decoder = new window.AudioDecoder({
        output: (data) => {
          try {
            if (!this.closed && decoder === this.decoder) this.output(data);
          } finally {
            data.close();
          }
        },
        error: (e) => { if (!this.closed && decoder === this.decoder) this.failed(e); },
      });
      try {
        decoder.configure(config);
      } catch (e) {
        // A config the browser refuses outright: no stream of it will decode here.
        this.pb.undecodable(config);
        return;
      }
      this.decoder = decoder;
    }

    // The decoder has closed itself, losing what it held; the next access unit opens another.
    failed(e) {
      if (this.closed) return;
      const pb = this.pb;
      pb.aacFailedUnits += Math.max(1, this.sent);
      pb.aacFailedDecoders++;
      this.sent = 0;
      const config = this.cfg ? decoderConfig(this.cfg) : null;
      const refused = !!e && e.name === 'NotSupportedError';
      const hopeless = !pb.everDecoded && pb.aacFailedDecoders >= 2 && pb.aacFailedUnits >= AAC_FAILURES_MAX;
      if (config && (refused || hopeless)) {
        this.pb.undecodable(config);
      }
    }

    output(data) {
      const n = data.numberOfFrames, channels = data.numberOfChannels;
      if (!n || !channels) return;
      const left = planeOf(data, 0);
      const right = channels > 1 ? planeOf(data, 1) : left;
      if (!left || !right) return;
      this.got = true;
      this.pb.everDecoded = true;
      this.pb.aacFailedUnits = 0;
      this.pb.aacFailedDecoders = 0;
      this.pb.units++;
      this.pb.take({ samplesDecoded: n, sampleRate: data.sampleRate, channelData: [left, right] },
                   this.pb.units, this.cfg);
    }

    close() {
      this.closed = true;
      if (this.decoder && this.decoder.state !== 'closed') this.decoder.close();
      this.decoder = null;
    }
  }

  // One channel of decoded audio as floats, whatever layout the browser chose.
  function planeOf(data, ch) {
    const n = data.numberOfFrames;
    const out = new Float32Array(n);
    try {
      data.copyTo(out, { planeIndex: ch, format: 'f32-planar' });
      return out;
    } catch (e) {
      // A browser that does not convert: the layouts a decoder gives, by hand.
    }
    const interleaved = !data.format.endsWith('-planar');
    const plane = interleaved ? 0 : ch;
    const step = interleaved ? data.numberOfChannels : 1;
    const first = interleaved ? ch : 0;
    try {
      if (data.format.startsWith('f32')) {
        const raw = new Float32Array(data.allocationSize({ planeIndex: plane }) / 4);
        data.copyTo(raw, { planeIndex: plane });
        for (let i = 0; i < n; i++) out[i] = raw[first + i * step] || 0;
      } else if (data.format.startsWith('s16')) {
        const raw = new Int16Array(data.allocationSize({ planeIndex: plane }) / 2);
        data.copyTo(raw, { planeIndex: plane });
        for (let i = 0; i < n; i++) out[i] = (raw[first + i * step] || 0) / 32768;
      } else {
        return null;
      }
    } catch (e) {
      return null;
    }
    return out;
  }

  // One programme: its connection, its decoder, its place on the audio clock and its figures.
  class Playback {
    constructor(sub, codec) {
      this.sub = sub;
      this.codec = codec;
      this.units = 0;           // DAB+ access units decoded
      this.everDecoded = false;
      this.aacFailedUnits = 0;
      this.aacFailedDecoders = 0;
      this.stopped = false;
      this.ctrl = null;
      this.gain = audio.createGain();
      this.gain.connect(audio.destination);
      this.sources = new Set();
      this.pending = [];        // AudioBuffers waiting for the buffer to fill
      this.pendingTime = 0;
      this.started = false;
      this.nextTime = 0;
      this.samples = 0;
      this.ring = null;         // the last second of both channels, for the figures
      this.ringPos = 0;
      this.filled = 0;
      this.sinceAnalysis = 0;
    }

    stop() {
      this.stopped = true;
      if (this.ctrl) this.ctrl.abort();
      for (const s of this.sources) { try { s.stop(); } catch (e) { /* not started */ } }
      this.sources.clear();
      this.gain.disconnect();
    }

    async run() {
      let failures = 0;
      while (!this.stopped) {
        let got = false;
        try {
          got = await this.connect();
        } catch (e) {
          // Dropped, refused or stalled: the page stays, the connection is made anew.
        }
        if (this.stopped) break;
        failures = got ? 0 : failures + 1;
        stats.reconnects++;
        setState('reconnecting');
        await new Promise((r) => setTimeout(r, RETRY_MS[Math.min(failures, RETRY_MS.length - 1)]));
      }
    }

    // Reads the stream until it ends; true when it delivered any audio.
    async connect() {
      this.ctrl = new AbortController();
      const p = findAudio(this.sub);
      // The programme may have changed its coding since the last connection.
      const now = codecOf(p);
      if (p && now !== this.codec && (now === 'aac' ? aacReady : mp2Ready)) this.codec = stats.codec = now;
      const own = '/stream/' + this.sub + (this.codec === 'aac' ? '.loas' : '');
      const url = (p && localPath(p.comp.stream_url)) || own;
      setState(stats.reconnects ? 'reconnecting' : 'connecting');
      const r = await fetch(url, { signal: this.ctrl.signal, cache: 'no-store' });
      if (!r.ok || !r.body) throw new Error('HTTP ' + r.status);
      // A new connection starts at a frame boundary: a fresh decoder has no half frame to finish.
      const sink = this.codec === 'aac' ? new AacSink(this) : new Mp2Sink(this);
      let last = Date.now();
      const watchdog = setInterval(() => {
        if (Date.now() - last > STALL_MS && this.ctrl) this.ctrl.abort();
      }, 1000);
      try {
        await sink.ready;
        const reader = r.body.getReader();
        for (;;) {
          const { done, value } = await reader.read();
          if (done || this.stopped) break;
          last = Date.now();
          if (!value || !value.length) continue;
          sink.feed(value);
        }
      } finally {
        clearInterval(watchdog);
        sink.close();
      }
      return sink.got;
    }

    // The stream cannot be decoded here: playing ends and the page says why. Remembered
    // against what the API says of the programme, so that a new config may be tried.
    undecodable(config) {
      if (this.stopped) return;
      const p = findAudio(this.sub);
      undecodable.set(this.sub, configKey(p ? apiAacConfig(p.comp) : config));
      stop();
      cannotDecode(p, this.sub);
      renderProgrammes();
    }

    // Decoded audio; frames is the count of frames so far, cfg the DAB+ config (null for DAB).
    take(out, frames, cfg) {
      if (this.stopped) return;
      const n = out.samplesDecoded, rate = out.sampleRate;
      const left = out.channelData[0], right = out.channelData[1] || left;
      stats.frames = frames;
      stats.sampleRate = rate;
      stats.format = formatName(cfg);
      this.measure(left, right, n, rate);

      const buf = audio.createBuffer(2, n, rate);
      buf.copyToChannel(left.subarray(0, n), 0);
      buf.copyToChannel(right.subarray(0, n), 1);
      const now = audio.currentTime;
      if (this.started && this.nextTime < now) {
        // The buffer ran dry (a gap in the network): fill it again before going on.
        this.started = false;
      }
      if (!this.started) {
        this.pending.push(buf);
        this.pendingTime += buf.duration;
        stats.buffer = this.pendingTime;
        if (this.pendingTime >= TARGET_BUFFER_S) {
          this.started = true;
          this.nextTime = now + 0.05;
          for (const b of this.pending) this.schedule(b);
          this.pending = [];
          this.pendingTime = 0;
        } else if (stats.state !== 'buffering') {
          setState('buffering');
        }
      } else if (this.nextTime - now > MAX_BUFFER_S) {
        // Audio arriving faster than it plays (a clock apart, or a tab woken): dropped.
      } else {
        this.schedule(buf);
      }
      if (this.started) {
        stats.buffer = Math.max(0, this.nextTime - audio.currentTime);
        if (audio.state === 'suspended') stats.state = 'suspended';
        else stats.state = 'playing';
      }
      showStatus();
    }

    schedule(buf) {
      const src = audio.createBufferSource();
      src.buffer = buf;
      src.connect(this.gain);
      src.onended = () => this.sources.delete(src);
      this.sources.add(src);
      src.start(this.nextTime);
      this.nextTime += buf.duration;
    }

    // Level and dominant frequency of the last second, once a second.
    measure(left, right, n, rate) {
      if (!this.ring || this.ring[0].length !== rate) {
        this.ring = [new Float32Array(rate), new Float32Array(rate)];
        this.ringPos = 0;
        this.sinceAnalysis = 0;
        this.filled = 0;
      }
      const size = rate;
      for (let i = 0; i < n; i++) {
        this.ring[0][this.ringPos] = left[i];
        this.ring[1][this.ringPos] = right[i];
        this.ringPos = (this.ringPos + 1) % size;
      }
      this.filled = Math.min(size, this.filled + n);
      this.sinceAnalysis += n;
      if (this.sinceAnalysis < size || this.filled < size) return;
      this.sinceAnalysis = 0;
      const ordered = this.ring.map((ch) => {
        const o = new Float32Array(size);
        o.set(ch.subarray(this.ringPos));
        o.set(ch.subarray(0, this.ringPos), size - this.ringPos);
        return o;
      });
      let sum = 0;
      for (const ch of ordered) for (let i = 0; i < size; i++) sum += ch[i] * ch[i];
      stats.rms = Math.sqrt(sum / (2 * size));
      stats.frequencies = ordered.map((ch) => dominantFrequency(ch, rate));
      stats.frequency = stats.frequencies[0];
    }
  }

  // --- Spectrum ----------------------------------------------------------------------------

  const fftTables = new Map();

  function fftTable(n) {
    let t = fftTables.get(n);
    if (!t) {
      t = { cos: new Float64Array(n / 2), sin: new Float64Array(n / 2) };
      for (let i = 0; i < n / 2; i++) {
        t.cos[i] = Math.cos(-2 * Math.PI * i / n);
        t.sin[i] = Math.sin(-2 * Math.PI * i / n);
      }
      fftTables.set(n, t);
    }
    return t;
  }

  // In place, radix 2; n a power of two.
  function fft(re, im) {
    const n = re.length;
    for (let i = 1, j = 0; i < n; i++) {
      let bit = n >> 1;
      for (; j & bit; bit >>= 1) j ^= bit;
      j ^= bit;
      if (i < j) {
        let t = re[i]; re[i] = re[j]; re[j] = t;
        t = im[i]; im[i] = im[j]; im[j] = t;
      }
    }
    const tab = fftTable(n);
    for (let len = 2; len <= n; len <<= 1) {
      const half = len >> 1, step = n / len;
      for (let i = 0; i < n; i += len) {
        for (let k = 0; k < half; k++) {
          const wr = tab.cos[k * step], wi = tab.sin[k * step];
          const a = i + k, b = a + half;
          const xr = re[b] * wr - im[b] * wi, xi = re[b] * wi + im[b] * wr;
          re[b] = re[a] - xr; im[b] = im[a] - xi;
          re[a] += xr; im[a] += xi;
        }
      }
    }
  }

  // The strongest frequency above 20 Hz, in Hz; 0 for silence.
  function dominantFrequency(x, rate) {
    let n = 1;
    while (n < x.length) n <<= 1;
    n <<= 1;  // zero padded: finer bins to interpolate between
    const re = new Float64Array(n), im = new Float64Array(n);
    const m = x.length;
    for (let i = 0; i < m; i++) re[i] = x[i] * (0.5 - 0.5 * Math.cos(2 * Math.PI * i / (m - 1)));
    fft(re, im);
    const first = Math.max(1, Math.ceil(20 * n / rate));
    let best = -1, bestPower = 0;
    for (let k = first; k < n / 2 - 1; k++) {
      const p = re[k] * re[k] + im[k] * im[k];
      if (p > bestPower) { bestPower = p; best = k; }
    }
    if (best < 0 || bestPower < 1e-12) return 0;
    const mag = (k) => Math.sqrt(re[k] * re[k] + im[k] * im[k]);
    const a = mag(best - 1), b = mag(best), c = mag(best + 1);
    const d = a - 2 * b + c;
    const shift = d !== 0 ? 0.5 * (a - c) / d : 0;
    return (best + shift) * rate / n;
  }

  // --- What the page offers ----------------------------------------------------------------

  function stop() {
    if (current) current.stop();
    current = null;
    stats.subchannel = null;
    stats.state = 'idle';
    stats.buffer = 0;
    renderProgrammes();
    renderNow();
    showStatus();
  }

  async function play(sub) {
    sub = Number(sub);
    if (!Number.isInteger(sub) || sub < 0 || sub > 63) return false;
    // Of two presses while the browser is asked, the later one wins.
    const asked = ++playRequests;
    if (!ensemble) await refresh();
    const p = findAudio(sub);
    const codec = codecOf(p);
    if (codec === 'mp2' && !mp2Ready) { noDecoder(); return false; }
    if (codec === 'aac') {
      const config = aacReady ? apiAacConfig(p.comp) : null;
      const ok = !!config && undecodable.get(sub) !== configKey(config) && await aacSupport(config);
      if (asked !== playRequests) return false;
      if (!ok) {
        if (current) stop();
        cannotDecode(p, sub);
        return false;
      }
    }
    if (current) stop();
    refused = null;
    renderNotice();
    try {
      ensureAudio();
    } catch (e) {
      stats.state = 'no audio';
      return false;
    }
    Object.assign(stats, {
      frames: 0, sampleRate: 0, rms: 0, frequency: 0, frequencies: [0, 0], label: '',
      subchannel: sub, state: 'connecting', bitrate: 0, buffer: 0, reconnects: 0, slide: null,
      codec, format: '',
    });
    shownSlide.key = '';
    current = new Playback(sub, codec);
    renderProgrammes();
    renderNow();
    current.run();
    return true;
  }

  function noDecoder() {
    renderNotice();
    stats.state = haveDecoder ? 'unsupported' : 'no decoder';
  }

  function cannotDecode(p, sub) {
    refused = { name: p ? programmeName(p) : 'Subchannel ' + sub, href: playlistOf(p || { sub, comp: {} }) };
    renderNotice();
    stats.state = 'unsupported';
  }

  // What this browser cannot play, and the playlists a media player can open instead.
  function renderNotice() {
    const list = ensemble ? audioComponents(ensemble) : null;
    // Until the ensemble is known, MPEG programmes are the ones to expect.
    const mp2 = !list || list.some((p) => codecOf(p) === 'mp2');
    const aac = !!list && list.some((p) => codecOf(p) === 'aac');
    const says = [];
    if (mp2 && !mp2Ready) {
      says.push(haveDecoder
        ? 'This browser cannot play DAB programmes here (it lacks WebAssembly or Web Audio).'
        : 'This player needs the MPEG audio decoder (mpg123-decoder) for DAB programmes, which this server was installed without.');
    }
    if (aac && !aacReady) says.push('This browser cannot decode DAB+ programmes (it lacks AAC audio in WebCodecs).');
    const t = $('notice-text');
    t.replaceChildren();
    if (refused) {
      t.append('“' + refused.name + '” is a DAB+ programme, which this browser cannot decode. Open ');
      const own = document.createElement('a');
      own.href = refused.href;
      own.textContent = 'its playlist';
      t.append(own, ' in a media player instead. ');
    }
    if (says.length) {
      t.append(says.join(' ') + ' Open a programme\'s M3U link, or the ');
      const a = document.createElement('a');
      a.href = '/playlist.m3u';
      a.textContent = 'playlist of all programmes';
      t.append(a, ', in a media player instead.');
    }
    $('notice').hidden = !refused && !says.length;
  }

  window.dabPlayer = { stats, play, stop, refresh };

  renderNotice();
  refresh();
  setInterval(() => { refresh(); if (current) showStatus(); }, REFRESH_MS);
  // The buffer figure moves with the audio clock, not only when data arrives.
  setInterval(() => {
    if (current && current.started && audio) {
      stats.buffer = Math.max(0, current.nextTime - audio.currentTime);
      showStatus();
    }
  }, 500);
})();

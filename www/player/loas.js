// LOAS (AudioSyncStream) as the server sends a DAB+ programme: each frame carries one or more
// raw AAC access units and, usually, the StreamMuxConfig with the AudioSpecificConfig the
// decoder is set up with. Every length and count comes from the air: checked before use.
// Loaded as a plain script (window.DabLoas) and by the unit test (globalThis.DabLoas).
(function (root) {
  'use strict';

  const ASC_MAX_BYTES = 64;  // far beyond any GASpecificConfig without a PCE

  // ISO/IEC 14496-3 1.6.3.4, samplingFrequencyIndex; 13 and 14 reserved, 15 escape.
  const RATES = [96000, 88200, 64000, 48000, 44100, 32000, 24000, 22050, 16000, 12000, 11025, 8000, 7350];

  // Reads bits MSB first from bytes [start, end); past the end it reads zeros and says so.
  class Bits {
    constructor(bytes, start, end) {
      this.b = bytes;
      this.pos = start * 8;
      this.end = end * 8;
      this.over = false;
    }
    left() { return this.end - this.pos; }
    read(n) {
      let v = 0;
      for (let i = 0; i < n; i++) {
        let bit = 0;
        if (this.pos < this.end) bit = (this.b[this.pos >> 3] >> (7 - (this.pos & 7))) & 1;
        else this.over = true;
        this.pos++;
        v = v * 2 + bit;
      }
      return v;
    }
  }

  // Copies bits [from, to) of bytes into new bytes, the last one padded with zeros.
  function copyBits(bytes, from, to) {
    const out = new Uint8Array((to - from + 7) >> 3);
    for (let p = from, i = 0; p < to; p++, i++) {
      if ((bytes[p >> 3] >> (7 - (p & 7))) & 1) out[i >> 3] |= 0x80 >> (i & 7);
    }
    return out;
  }

  function audioObjectType(r) {
    const aot = r.read(5);
    return aot === 31 ? 32 + r.read(6) : aot;
  }

  // 0 for a rate no audio output takes.
  function samplingFrequency(r) {
    const index = r.read(4);
    if (index !== 15) return index < RATES.length ? RATES[index] : 0;
    const rate = r.read(24);
    return rate >= 7350 && rate <= 96000 ? rate : 0;
  }

  // AudioSpecificConfig (1.6.2.1) for AAC-LC, alone or under SBR (AOT 5) or PS (AOT 29):
  // what the decoder needs and how many bits it took. null for anything else.
  function readAsc(r) {
    const start = r.pos;
    let aot = audioObjectType(r);
    const coreRate = samplingFrequency(r);
    const channelConfiguration = r.read(4);
    let sbr = false, ps = false, rate = coreRate;
    const signalled = aot;
    if (aot === 5 || aot === 29) {
      sbr = true;
      ps = aot === 29;
      rate = samplingFrequency(r);
      aot = audioObjectType(r);
    }
    // GASpecificConfig (4.4.1) of the core; a PCE (channel configuration 0) is not taken.
    if (aot !== 2 || channelConfiguration < 1 || channelConfiguration > 2) return null;
    if (!coreRate || !rate) return null;
    const frameLengthFlag = r.read(1);
    if (r.read(1)) r.read(14);  // dependsOnCoreCoder, coreCoderDelay
    if (r.read(1)) r.read(1);   // extensionFlag, extensionFlag3
    if (r.over) return null;
    const samples = frameLengthFlag ? 960 : 1024;
    return {
      objectType: signalled, coreRate, sampleRate: rate, sbr, ps,
      // PS turns the mono core into stereo.
      channels: ps ? 2 : channelConfiguration,
      // Samples per access unit at the output rate: SBR doubles them.
      frameSamples: rate !== coreRate ? 2 * samples : samples,
      codec: 'mp4a.40.' + signalled,
      bits: r.pos - start,
    };
  }

  // An AudioSpecificConfig given as bytes (the API's "asc"): the config with the bytes, or null.
  function parseAsc(bytes) {
    if (!(bytes instanceof Uint8Array) || !bytes.length || bytes.length > ASC_MAX_BYTES) return null;
    const cfg = readAsc(new Bits(bytes, 0, bytes.length));
    if (!cfg) return null;
    cfg.asc = copyBits(bytes, 0, cfg.bits);
    return cfg;
  }

  function fromHex(s) {
    if (typeof s !== 'string' || !s.length || s.length % 2 || s.length > 2 * ASC_MAX_BYTES) return null;
    if (!/^[0-9a-fA-F]+$/.test(s)) return null;
    const out = new Uint8Array(s.length / 2);
    for (let i = 0; i < out.length; i++) out[i] = parseInt(s.substr(2 * i, 2), 16);
    return out;
  }

  function latmValue(r) {
    const bytesForValue = r.read(2);
    let v = 0;
    for (let i = 0; i <= bytesForValue; i++) v = v * 256 + r.read(8);
    return v;
  }

  // StreamMuxConfig (1.7.3): one program, one layer, all streams on the same time framing,
  // frame length type 0. The config, or null for a mux this player does not take.
  function readStreamMuxConfig(r, bytes) {
    const audioMuxVersion = r.read(1);
    const audioMuxVersionA = audioMuxVersion ? r.read(1) : 0;
    if (audioMuxVersionA) return null;
    if (audioMuxVersion) latmValue(r);  // taraBufferFullness
    const allStreamsSameTimeFraming = r.read(1);
    const numSubFrames = r.read(6);
    const numProgram = r.read(4);
    const numLayer = r.read(3);
    if (!allStreamsSameTimeFraming || numProgram !== 0 || numLayer !== 0) return null;
    // Not byte aligned here: copied out bit by bit for the decoder.
    const ascLen = audioMuxVersion ? latmValue(r) : -1;
    const ascStart = r.pos;
    if (ascLen > r.left()) return null;
    const cfg = readAsc(r);
    if (!cfg || (ascLen >= 0 && cfg.bits > ascLen)) return null;
    cfg.asc = copyBits(bytes, ascStart, ascStart + cfg.bits);
    if (ascLen >= 0) r.pos = ascStart + ascLen;  // fill bits
    const frameLengthType = r.read(3);
    if (frameLengthType !== 0) return null;
    r.read(8);  // latmBufferFullness
    const otherDataPresent = r.read(1);
    let otherDataLenBits = 0;
    if (otherDataPresent) {
      if (audioMuxVersion) {
        otherDataLenBits = latmValue(r);
      } else {
        let esc;
        do {
          esc = r.read(1);
          otherDataLenBits = otherDataLenBits * 256 + r.read(8);
        } while (esc && !r.over);
      }
    }
    if (r.read(1)) r.read(8);  // crcCheckPresent, crcCheckSum
    if (r.over) return null;
    return { cfg, numSubFrames, otherDataLenBits };
  }

  // AudioMuxElement(1) in bytes [start, end): the access units, or null when it is unusable.
  function readElement(bytes, start, end, previous) {
    const r = new Bits(bytes, start, end);
    let mux = previous;
    if (!r.read(1)) {  // useSameStreamMux
      mux = readStreamMuxConfig(r, bytes);
      if (!mux) return null;
    }
    if (!mux) return null;
    const units = [];
    for (let i = 0; i <= mux.numSubFrames; i++) {
      // PayloadLengthInfo: MuxSlotLengthBytes in pieces of 255
      let len = 0, tmp;
      do {
        tmp = r.read(8);
        len += tmp;
      } while (tmp === 255 && !r.over);
      if (r.over || !len || len * 8 > r.left() - mux.otherDataLenBits) return null;
      units.push(copyBits(bytes, r.pos, r.pos + len * 8));
      r.pos += len * 8;
    }
    return { mux, units };
  }

  // Bytes in, access units out. A reader joining anywhere finds the next frame: a sync word
  // counts once the frame it announces is followed by another (or while frames follow on).
  class Parser {
    constructor() {
      this.buf = new Uint8Array(0);
      this.mux = null;
      this.locked = false;
      this.frames = 0;
      this.skippedBytes = 0;
      this.badFrames = 0;
    }

    // Returns [{config, payload}], in order.
    push(chunk) {
      const out = [];
      if (chunk && chunk.length) {
        const joined = new Uint8Array(this.buf.length + chunk.length);
        joined.set(this.buf);
        joined.set(chunk, this.buf.length);
        this.buf = joined;
      }
      const b = this.buf;
      let pos = 0;
      while (b.length - pos >= 3) {
        const sync = b[pos] === 0x56 && (b[pos + 1] & 0xE0) === 0xE0;
        // syncword(11) audioMuxLengthBytes(13)
        const len = ((b[pos + 1] & 0x1F) << 8) | b[pos + 2];
        if (!sync || len === 0) {
          pos++;
          this.skippedBytes++;
          this.locked = false;
          continue;
        }
        const next = pos + 3 + len;
        if (!this.locked) {
          if (b.length < next + 2) break;
          if (b[next] !== 0x56 || (b[next + 1] & 0xE0) !== 0xE0) {
            pos++;
            this.skippedBytes++;
            continue;
          }
        } else if (b.length < next) {
          break;
        }
        const el = readElement(b, pos + 3, next, this.mux);
        this.locked = true;
        pos = next;
        if (!el) {
          this.badFrames++;
          continue;
        }
        this.mux = el.mux;
        this.frames++;
        for (const u of el.units) out.push({ config: el.mux.cfg, payload: u });
      }
      this.buf = b.slice(pos);
      return out;
    }
  }

  function hex(bytes) {
    return Array.from(bytes, (x) => x.toString(16).padStart(2, '0')).join('');
  }

  root.DabLoas = { Parser, parseAsc, fromHex, hex };
})(typeof window !== 'undefined' ? window : globalThis);

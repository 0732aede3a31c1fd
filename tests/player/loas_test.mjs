// The player's LOAS reader (www/player/loas.js) on frames written here field by field.
//   node --test tests/player/loas_test.mjs
// The AudioSpecificConfig bytes below are worked out by hand from their fields.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import test from 'node:test';
import { fileURLToPath } from 'node:url';
import vm from 'node:vm';

const here = path.dirname(fileURLToPath(import.meta.url));
const sandbox = {};
vm.createContext(sandbox);
vm.runInContext(fs.readFileSync(path.join(here, '..', '..', 'www', 'player', 'loas.js'), 'utf8'), sandbox);
const { Parser, parseAsc, fromHex } = sandbox.DabLoas;

// --- Writing: fields as [value, bits] -------------------------------------------------------

function pack(fields) {
  const bits = [];
  for (const [v, n] of fields) for (let i = n - 1; i >= 0; i--) bits.push(Math.floor(v / 2 ** i) % 2);
  const out = new Uint8Array(Math.ceil(bits.length / 8));
  bits.forEach((b, i) => { if (b) out[i >> 3] |= 0x80 >> (i & 7); });
  return out;
}

const bytesOf = (u8) => Array.from(u8, (b) => [b, 8]);

// The AudioSpecificConfigs as fields; asc is the same written out by hand.
const LC48 = { fields: [[2, 5], [3, 4], [2, 4], [1, 1], [0, 1], [0, 1]], asc: [0x11, 0x94] };
const LC32MONO = { fields: [[2, 5], [5, 4], [1, 4], [1, 1], [0, 1], [0, 1]], asc: [0x12, 0x8c] };
const SBR48 = { fields: [[5, 5], [6, 4], [2, 4], [3, 4], [2, 5], [1, 1], [0, 1], [0, 1]], asc: [0x2b, 0x11, 0x8a, 0x00] };
const PS48 = { fields: [[29, 5], [6, 4], [1, 4], [3, 4], [2, 5], [1, 1], [0, 1], [0, 1]], asc: [0xeb, 0x09, 0x8a, 0x00] };
const LC48_1024 = { fields: [[2, 5], [3, 4], [2, 4], [0, 1], [0, 1], [0, 1]], asc: [0x11, 0x90] };

// PayloadLengthInfo: pieces of 255, then the rest (a 0 after an exact multiple).
function lengthInfo(n) {
  const f = [];
  for (; n >= 255; n -= 255) f.push([255, 8]);
  f.push([n, 8]);
  return f;
}

// AudioMuxElement(1) fields with a StreamMuxConfig of audioMuxVersion 0.
function element({ asc = LC48, aus = [[1, 2, 3]], same = false, version = 0, versionA = 0, subFrames,
                   programs = 0, layers = 0, lengthType = 0, other = null, crc = false, fill = 0,
                   claim = 0, lengths } = {}) {
  const f = [[same ? 1 : 0, 1]];
  if (!same) {
    f.push([version, 1]);
    if (version) f.push([versionA, 1], [0, 2], [0xff, 8]);  // taraBufferFullness in one byte
    f.push([1, 1], [subFrames ?? aus.length - 1, 6], [programs, 4], [layers, 3]);
    const ascBits = asc.fields.reduce((a, [, n]) => a + n, 0);
    if (version) f.push([1, 2], [ascBits + fill + claim, 16]);  // ascLen in two bytes
    f.push(...asc.fields);
    if (fill) f.push([0, fill]);
    f.push([lengthType, 3], [0xff, 8]);
    f.push([other ? 1 : 0, 1]);
    if (other) f.push([0, 1], [other.length * 8, 8]);  // otherDataLenBits, no escape
    f.push([crc ? 1 : 0, 1]);
    if (crc) f.push([0x5a, 8]);
  }
  aus.forEach((au, i) => f.push(...lengthInfo(lengths ? lengths[i] : au.length), ...bytesOf(Uint8Array.from(au))));
  if (other) f.push(...bytesOf(Uint8Array.from(other)));
  return pack(f);
}

// syncword 0x2B7 (11) audioMuxLengthBytes (13), then the element.
function frame(el) {
  const out = new Uint8Array(3 + el.length);
  out.set([0x56, 0xe0 | (el.length >> 8), el.length & 0xff]);
  out.set(el, 3);
  return out;
}

function concat(...parts) {
  const out = new Uint8Array(parts.reduce((a, p) => a + p.length, 0));
  let o = 0;
  for (const p of parts) { out.set(p, o); o += p.length; }
  return out;
}

// A stream ends on the sync of one more frame, which confirms the last one when nothing is locked yet.
const tail = frame(element());

function run(bytes, piece = bytes.length) {
  const p = new Parser();
  const units = [];
  for (let i = 0; i < bytes.length; i += piece) units.push(...p.push(bytes.subarray(i, i + piece)));
  return { p, units, payloads: units.map((u) => Array.from(u.payload)) };
}

const au300 = Array.from({ length: 300 }, (_, i) => i & 0xff);
const au255 = Array.from({ length: 255 }, (_, i) => 255 - i);

// --- Cases ----------------------------------------------------------------------------------

test('AudioSpecificConfig in the StreamMuxConfig: the decoder config and the ASC bytes', () => {
  const cases = [
    // what, asc, rate, channels, samples per AU at the output rate, codec, sbr, ps
    ['AAC-LC 48 kHz stereo, 960', LC48, 48000, 2, 960, 'mp4a.40.2', false, false],
    ['AAC-LC 32 kHz mono, 960', LC32MONO, 32000, 1, 960, 'mp4a.40.2', false, false],
    ['SBR 24 -> 48 kHz stereo', SBR48, 48000, 2, 1920, 'mp4a.40.5', true, false],
    ['PS on a mono core: stereo out', PS48, 48000, 2, 1920, 'mp4a.40.29', true, true],
    ['AAC-LC 1024 as ffmpeg writes it', LC48_1024, 48000, 2, 1024, 'mp4a.40.2', false, false],
  ];
  for (const [what, asc, rate, channels, samples, codec, sbr, ps] of cases) {
    const { units } = run(concat(frame(element({ asc, aus: [[9, 8, 7]] })), tail));
    assert.equal(units.length, 2, what);
    const c = units[0].config;
    assert.deepEqual([c.sampleRate, c.channels, c.frameSamples, c.codec, c.sbr, c.ps],
                     [rate, channels, samples, codec, sbr, ps], what);
    assert.deepEqual(Array.from(c.asc), asc.asc, what);
    assert.deepEqual(Array.from(units[0].payload), [9, 8, 7], what);
    // The API gives the same ASC as hex.
    const api = parseAsc(fromHex(Buffer.from(asc.asc).toString('hex')));
    assert.deepEqual([api.sampleRate, api.channels, api.frameSamples, api.codec], [rate, channels, samples, codec], what);
  }
});

test('frame layouts: access units come out whole and in order', () => {
  const cases = [
    // what, frames, payloads expected
    ['one short unit', [element({ aus: [[1, 2, 3]] })], [[1, 2, 3]]],
    ['300 bytes: lengths 255 + 45', [element({ aus: [au300] })], [au300]],
    ['exactly 255 bytes: lengths 255 + 0', [element({ aus: [au255] })], [au255]],
    ['two sub frames', [element({ aus: [[1], [2, 3]] })], [[1], [2, 3]]],
    ['same mux: the config of the frame before', [element({ aus: [[1]] }), element({ same: true, aus: [[4, 5]] })], [[1], [4, 5]]],
    ['other data after the unit', [element({ aus: [[6, 7]], other: [0xaa, 0xbb] })], [[6, 7]]],
    ['CRC byte in the config', [element({ aus: [[8]], crc: true })], [[8]]],
    ['mux version 1 with fill bits after the ASC', [element({ version: 1, fill: 5, aus: [[3, 1]] })], [[3, 1]]],
    ['SBR config, ASC not ending on a byte', [element({ asc: SBR48, aus: [[0x55, 0xaa]] })], [[0x55, 0xaa]]],
  ];
  for (const [what, els, want] of cases) {
    const { p, payloads } = run(concat(...els.map(frame), tail));
    assert.deepEqual(payloads.slice(0, -1), want, what);
    assert.equal(p.badFrames, 0, what);
    assert.equal(p.skippedBytes, 0, what);
  }
});

test('frames not taken are skipped whole, the next ones still read', () => {
  const cases = [
    ['same mux before any config', element({ same: true })],
    ['audioMuxVersionA 1', element({ version: 1, versionA: 1 })],
    ['two programs', element({ programs: 1 })],
    ['two layers', element({ layers: 1 })],
    ['fixed frame length type', element({ lengthType: 1 })],
    ['AAC Main core', element({ asc: { fields: [[1, 5], [3, 4], [2, 4], [1, 1], [0, 1], [0, 1]] } })],
    ['channel configuration 0 (a PCE)', element({ asc: { fields: [[2, 5], [3, 4], [0, 4], [1, 1], [0, 1], [0, 1]] } })],
    ['reserved sampling frequency index', element({ asc: { fields: [[2, 5], [13, 4], [2, 4], [1, 1], [0, 1], [0, 1]] } })],
    ['escaped sampling frequency of 1 Hz', element({ asc: { fields: [[2, 5], [15, 4], [1, 24], [2, 4], [1, 1], [0, 1], [0, 1]] } })],
    ['unit longer than the frame', element({ aus: [[1, 2]], lengths: [40] })],
    ['unit of length 0', element({ aus: [[]] })],
    ['ASC length past the frame (version 1)', element({ version: 1, claim: 4000, aus: [[1]] })],
  ];
  for (const [what, el] of cases) {
    const { p, payloads } = run(concat(frame(el), frame(element({ aus: [[42]] })), tail));
    assert.deepEqual(payloads.slice(0, -1), [[42]], what);
    assert.equal(p.badFrames, 1, what);
  }
});

test('joining anywhere: junk and false syncs are passed over', () => {
  // Enough frames to pass the 255 bytes a false sync in the junk announces.
  const want = Array.from({ length: 40 }, (_, i) => [i, i]);
  const good = concat(...want.map((au) => frame(element({ aus: [au] }))), tail);
  // Sync words announcing 5 and 255 bytes, not followed by another sync; half a sync word.
  const junk = Uint8Array.from([0x00, 0x56, 0xe0, 0x05, 0x01, 0x02, 0x03, 0x56, 0xe0, 0xff, 0x56]);
  const cases = [
    ['whole', concat(junk, good), 1 << 20],
    ['byte by byte', concat(junk, good), 1],
    ['in pieces of 7', concat(junk, good), 7],
    ['the middle of a frame first', concat(frame(element({ aus: [[9, 9, 9]] })).subarray(4), good), 3],
  ];
  for (const [what, bytes, piece] of cases) {
    const { p, payloads } = run(bytes, piece);
    assert.deepEqual(payloads.slice(0, -1), want, what);
    assert.ok(p.skippedBytes > 0, what);
  }
});

test('a frame counts once the next sync is there; a cut frame gives nothing', () => {
  const one = frame(element({ aus: [[5]] }));
  assert.equal(run(one).units.length, 0, 'alone');
  assert.equal(run(concat(one, tail.subarray(0, 2))).units.length, 1, 'with the next sync');
  // Locked on: a cut last frame waits for its bytes, never reads past them.
  const { p, units } = run(concat(one, tail.subarray(0, 3), tail.subarray(3, 5)));
  assert.equal(units.length, 1, 'cut');
  assert.equal(p.push(tail.subarray(5)).length, 1, 'the rest of the cut frame');
});

test('a length field hit mid-stream: the reader finds the frames after it', () => {
  const f = frame(element({ aus: [[7, 7, 7, 7]] }));
  f[2] = 0x02;  // audioMuxLengthBytes too short: the next byte is no sync
  const { payloads } = run(concat(frame(element({ aus: [[1]] })), f, frame(element({ aus: [[2]] })),
                                  frame(element({ aus: [[3]] })), tail), 5);
  assert.deepEqual(payloads.slice(-3, -1), [[2], [3]]);
});

test('random bytes: no exception, bounded buffer, units inside their frames', () => {
  let seed = 12345;
  const rnd = () => (seed = (seed * 1103515245 + 12345) % 2 ** 31) / 2 ** 31;
  const junk = new Uint8Array(200000);
  // Plenty of sync words with random lengths among the noise.
  for (let i = 0; i < junk.length; i++) junk[i] = rnd() < 0.02 ? 0x56 : rnd() < 0.05 ? 0xe0 | (rnd() * 32) : rnd() * 256;
  const p = new Parser();
  let most = 0;
  for (let i = 0; i < junk.length;) {
    const n = 1 + Math.floor(rnd() * 3000);
    for (const u of p.push(junk.subarray(i, i + n))) assert.ok(u.payload.length > 0 && u.payload.length < 8192);
    most = Math.max(most, p.buf.length);
    i += n;
  }
  assert.ok(most <= 3 + 8191 + 2 + 3000, `buffer held ${most} bytes`);
});

test('the API\'s hex: only well-formed AudioSpecificConfigs are taken', () => {
  const cases = [
    ['1194', [0x11, 0x94]], ['2B118A00', [0x2b, 0x11, 0x8a, 0x00]], ['', null], ['119', null],
    ['11g4', null], [' 1194', null], ['0x11', null], [null, null], [42, null], ['ab'.repeat(65), null],
  ];
  for (const [hex, want] of cases) {
    const got = fromHex(hex);
    assert.deepEqual(got && Array.from(got), want, String(hex));
  }
  // Well formed hex, but not a config the player takes.
  for (const hex of ['00', '0f', '1180', 'f800']) assert.equal(parseAsc(fromHex(hex)), null, hex);
  assert.equal(parseAsc(null), null);
});

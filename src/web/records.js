// The binary records that travel inside fields: logins and passwords in complement form, file
// paths, file-list and user-list entries, news lists and article listings, date stamps,
// privilege sets and account entries. Decoders check every length against the bytes at hand
// and throw a ProtocolError on damage instead of reading past the end.
import { decodeMacRoman, encodeMacRoman, wireToText } from './macroman.js';
import { FieldList } from './fields.js';
import { ProtocolError } from './wire.js';
import { kFieldUserAccess, kFieldUserLogin, kFieldUserName, kFieldUserPassword } from './constants.js';

// Logins and passwords travel with every byte complemented; the same step decodes them.
export function complement(bytes) {
  return bytes.map((b) => b ^ 0xFF);
}

export function encodeSecret(text) {
  return complement(encodeMacRoman(text));
}

// A name that must reach the server as typed: Mac OS Roman, 1 to 255 bytes.
export function nameBytes(name) {
  const bytes = encodeMacRoman(name, true);
  if (!bytes) throw new RangeError(`"${name}" holds characters the server cannot store.`);
  if (bytes.length < 1 || bytes.length > 255) throw new RangeError('A name has 1 to 255 characters.');
  return bytes;
}

// Folder path data: a 16-bit count, then per folder 2 reserved bytes (0), a length byte and the
// name. The root is the empty list of names.
export function encodePath(names) {
  const parts = names.map(nameBytes);
  const out = new Uint8Array(2 + parts.reduce((n, p) => n + 3 + p.length, 0));
  out[0] = parts.length >> 8;
  out[1] = parts.length & 0xFF;
  let at = 2;
  for (const p of parts) {
    out[at + 2] = p.length;
    out.set(p, at + 3);
    at += 3 + p.length;
  }
  return out;
}

// Bounds-checked big-endian reading of one record.
class Reader {
  constructor(bytes) {
    this.bytes = bytes;
    this.at = 0;
  }

  need(n) {
    if (this.bytes.length - this.at < n) throw new ProtocolError('The server sent a damaged list.');
  }

  uint(width) {
    this.need(width);
    let v = 0;
    for (let i = 0; i < width; i++) v = v * 256 + this.bytes[this.at++];
    return v;
  }

  raw(n) {
    this.need(n);
    this.at += n;
    return this.bytes.subarray(this.at - n, this.at);
  }

  // A length byte and that many bytes of text.
  text() {
    return wireToText(this.raw(this.uint(1)));
  }
}

// One folder-listing entry: type and creator codes, size (bytes of a file, items of a
// folder), 4 reserved bytes, name script, name size, name.
export function decodeFileEntry(bytes) {
  const r = new Reader(bytes);
  const type = decodeMacRoman(r.raw(4));
  const creator = decodeMacRoman(r.raw(4));
  const size = r.uint(4);
  r.raw(6);
  const name = decodeMacRoman(r.raw(r.uint(2)));
  return { type, creator, size, name, isFolder: type === 'fldr' };
}

// One user-list entry: user ID, icon (signed), status flags, name size, name.
export function decodeUserEntry(bytes) {
  const r = new Reader(bytes);
  const id = r.uint(2);
  const icon = (r.uint(2) << 16) >> 16;
  const flags = r.uint(2);
  const name = decodeMacRoman(r.raw(r.uint(2)));
  return { id, icon, flags, name };
}

// A news bundle listing entry. The long form: type 2 (bundle: item count, name) or 3
// (category: article count, 16-byte id, two serials, name). The short form: a kind byte (1
// bundle, 10 category) and the name filling the rest.
export function decodeNewsItem(bytes, longForm) {
  const r = new Reader(bytes);
  if (!longForm) {
    const kind = r.uint(1);
    const name = decodeMacRoman(bytes.subarray(1));
    return { kind: kind === 1 ? 'bundle' : kind === 10 ? 'category' : 'other', name, count: null };
  }
  const type = r.uint(2);
  const count = r.uint(2);
  if (type === 3) r.raw(24);
  const name = decodeMacRoman(r.raw(r.uint(1)));
  return { kind: type === 2 ? 'bundle' : type === 3 ? 'category' : 'other', name, count };
}

// An 8-byte date stamp: year, milliseconds, seconds since the start of that year. Shown as the
// server stored it (its own calendar), "YYYY-MM-DD HH:MM".
export function formatDateStamp(bytes) {
  if (!bytes || bytes.length < 8) return '';
  const r = new Reader(bytes);
  const year = r.uint(2);
  r.uint(2);
  const d = new Date(Date.UTC(year, 0, 1) + r.uint(4) * 1000);
  const two = (n) => String(n).padStart(2, '0');
  return `${d.getUTCFullYear()}-${two(d.getUTCMonth() + 1)}-${two(d.getUTCDate())} ${two(d.getUTCHours())}:${two(d.getUTCMinutes())}`;
}

// A category's article listing: a 10-byte header holding the count, then per article its ID,
// date, parent ID, flags, flavor count, title and poster, then its flavors (type, size).
// Articles come parent first; `depth` is the reply level for indenting threads.
export function decodeArticleList(bytes) {
  if (!bytes || bytes.length === 0) return [];
  const r = new Reader(bytes);
  r.raw(4);
  const count = r.uint(4);
  r.raw(2);
  const depthOf = new Map();
  const articles = [];
  // Each entry takes at least 24 bytes, so a false count runs out of bytes, not of memory.
  for (let n = 0; n < count; n++) {
    const id = r.uint(4);
    const date = formatDateStamp(r.raw(8));
    const parent = r.uint(4);
    const flags = r.uint(4);
    const flavorCount = r.uint(2);
    const title = r.text();
    const poster = r.text();
    const flavors = [];
    for (let k = 0; k < flavorCount; k++) flavors.push({ type: r.text(), size: r.uint(2) });
    const depth = parent && depthOf.has(parent) ? depthOf.get(parent) + 1 : 0;
    depthOf.set(id, depth);
    articles.push({ id, date, parent, flags, title, poster, flavors, depth });
  }
  return articles;
}

// Privilege sets are 8 bytes; bit n is in byte n / 8 under the mask 0x80 >> (n % 8).
export function hasPriv(access, bit) {
  return !!access && access.length === 8 && (access[bit >> 3] & (0x80 >> (bit & 7))) !== 0;
}

export function setPriv(access, bit, on) {
  if (on) access[bit >> 3] |= 0x80 >> (bit & 7);
  else access[bit >> 3] &= ~(0x80 >> (bit & 7));
}

// An account as the account requests carry it: name, login (complemented), password
// placeholder ("x" when there is one) and access.
export function decodeAccount(fields) {
  const access = new Uint8Array(8);
  access.set((fields.get(kFieldUserAccess) || new Uint8Array(0)).subarray(0, 8));
  return {
    name: fields.text(kFieldUserName),
    login: decodeMacRoman(complement(fields.get(kFieldUserLogin) || new Uint8Array(0))),
    hasPassword: (fields.get(kFieldUserPassword) || []).length > 0,
    access,
  };
}

// The fields of a new or changed account. `password` null keeps the stored one (a single zero
// byte), '' clears it (no field).
export function encodeAccount({ name, login, password, access }) {
  const f = new FieldList();
  f.addText(kFieldUserName, name);
  f.add(kFieldUserLogin, complement(nameBytes(login)));
  if (password === null) f.add(kFieldUserPassword, Uint8Array.of(0));
  else f.add(kFieldUserPassword, encodeSecret(password));
  f.add(kFieldUserAccess, access);
  return f;
}

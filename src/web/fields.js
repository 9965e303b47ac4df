// Field lists, the body of every transaction: a 16-bit count, then fields of 16-bit id,
// 16-bit size and data, all big-endian. Also the integer encoding that fields carry.
import { textToWire, wireToText } from './macroman.js';

const kMaxFieldSize = 0xFFFF;

// An integer field: 2 bytes for 0..65535, else 4 (so every negative value takes 4, in two's
// complement).
export function encodeInteger(value) {
  const v = value | 0;
  if (v >= 0 && v <= 0xFFFF) return Uint8Array.of(v >> 8, v & 0xFF);
  return Uint8Array.of((v >>> 24) & 0xFF, (v >>> 16) & 0xFF, (v >>> 8) & 0xFF, v & 0xFF);
}

// Size 1 is an unsigned byte, 2 an unsigned 16-bit value, 4 or more the first four bytes as a
// signed 32-bit value; any other size reads as 0, as an absent field does.
export function decodeInteger(bytes) {
  if (!bytes) return 0;
  if (bytes.length === 1) return bytes[0];
  if (bytes.length === 2) return (bytes[0] << 8) | bytes[1];
  if (bytes.length >= 4) return (bytes[0] << 24) | (bytes[1] << 16) | (bytes[2] << 8) | bytes[3];
  return 0;
}

export class FieldList {
  constructor() {
    this.fields = []; // {id, data: Uint8Array}, in wire order
  }

  // Appends a field. Empty data adds nothing, as the server's own writer does, so an empty
  // text and an absent field read the same on both sides.
  add(id, data) {
    if (data.length > kMaxFieldSize) throw new RangeError(`A field holds at most ${kMaxFieldSize} bytes`);
    if (data.length > 0) this.fields.push({ id, data });
    return this;
  }

  addInt(id, value) {
    return this.add(id, encodeInteger(value));
  }

  addText(id, text) {
    return this.add(id, textToWire(text));
  }

  // The first field with that id, or undefined.
  get(id) {
    const f = this.fields.find((x) => x.id === id);
    return f && f.data;
  }

  all(id) {
    return this.fields.filter((x) => x.id === id).map((x) => x.data);
  }

  has(id) {
    return this.fields.some((x) => x.id === id);
  }

  int(id) {
    return decodeInteger(this.get(id));
  }

  text(id) {
    const data = this.get(id);
    return data ? wireToText(data) : '';
  }

  encode() {
    let size = 2;
    for (const f of this.fields) size += 4 + f.data.length;
    const out = new Uint8Array(size);
    const view = new DataView(out.buffer);
    view.setUint16(0, this.fields.length);
    let at = 2;
    for (const f of this.fields) {
      view.setUint16(at, f.id);
      view.setUint16(at + 2, f.data.length);
      out.set(f.data, at + 4);
      at += 4 + f.data.length;
    }
    return out;
  }

  // Reads a received list. A truncated or over-counted list yields its complete leading fields
  // and nothing more, as the server reads one.
  static decode(bytes) {
    const list = new FieldList();
    const count = bytes.length < 3 ? 0 : (bytes[0] << 8) | bytes[1];
    let at = 2;
    while (list.fields.length < count && bytes.length - at >= 4) {
      const id = (bytes[at] << 8) | bytes[at + 1];
      const size = (bytes[at + 2] << 8) | bytes[at + 3];
      if (at + 4 + size > bytes.length) break;
      list.fields.push({ id, data: bytes.subarray(at + 4, at + 4 + size) });
      at += 4 + size;
    }
    return list;
  }
}

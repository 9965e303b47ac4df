// Framing of the transaction stream: the establish exchange, the 20-byte transaction header,
// and the reassembly of whole transactions from a byte stream whose message boundaries mean
// nothing (a header may arrive split, several transactions may share one message).

// "TRTP", sub-protocol "KSTX", version 1, sub-version 2 (a client connection).
export const kEstablishRequest = Uint8Array.of(0x54, 0x52, 0x54, 0x50, 0x4B, 0x53, 0x54, 0x58, 0, 1, 0, 2);
export const kEstablishReplySize = 8;
export const kTranHdrSize = 20;

// Larger replies or notices are not believed: the server never sends one.
export const kMaxReceiveSize = 16 * 1024 * 1024;

export class ProtocolError extends Error {}

// The 8-byte establish reply: "TRTP" then a 32-bit error, 0 when the server accepts.
export function establishError(bytes) {
  const tag = String.fromCharCode(...bytes.subarray(0, 4));
  if (tag !== 'TRTP') throw new ProtocolError('The server does not speak this protocol.');
  return new DataView(bytes.buffer, bytes.byteOffset, 8).getUint32(4);
}

// One transaction in one chunk: header, then the body.
export function encodeTransaction({ type = 0, id, isReply = false, error = 0 }, body) {
  const out = new Uint8Array(kTranHdrSize + body.length);
  const view = new DataView(out.buffer);
  view.setUint8(1, isReply ? 1 : 0);
  view.setUint16(2, type);
  view.setUint32(4, id);
  view.setUint32(8, error);
  view.setUint32(12, body.length);
  view.setUint32(16, body.length);
  out.set(body, kTranHdrSize);
  return out;
}

export function decodeHeader(bytes) {
  const view = new DataView(bytes.buffer, bytes.byteOffset, kTranHdrSize);
  return {
    isReply: view.getUint8(1) !== 0,
    type: view.getUint16(2),
    id: view.getUint32(4),
    error: view.getUint32(8),
    totalSize: view.getUint32(12),
    dataSize: view.getUint32(16),
  };
}

// Received bytes kept as the chunks they came in; taking bytes copies only what it returns.
export class ByteQueue {
  constructor() {
    this.chunks = [];
    this.offset = 0; // bytes of chunks[0] already taken
    this.length = 0;
  }

  push(bytes) {
    if (bytes.length === 0) return;
    this.chunks.push(bytes);
    this.length += bytes.length;
  }

  take(n) {
    const out = new Uint8Array(n);
    let filled = 0;
    while (filled < n) {
      const head = this.chunks[0];
      const part = Math.min(n - filled, head.length - this.offset);
      out.set(head.subarray(this.offset, this.offset + part), filled);
      filled += part;
      this.offset += part;
      if (this.offset === head.length) {
        this.chunks.shift();
        this.offset = 0;
      }
    }
    this.length -= n;
    return out;
  }
}

// Cuts the stream into transactions. A transaction may come as several chunks with the same id
// (and direction); it is handed on once its chunks add up to its total size.
export class TransactionReader {
  constructor(limit = kMaxReceiveSize) {
    this.limit = limit;
    this.queue = new ByteQueue();
    this.header = null; // the header whose data is still arriving
    this.partial = new Map(); // "r5" / "q5" -> {hdr, parts, size}
    this.pendingSize = 0;
  }

  push(bytes) {
    this.queue.push(bytes);
  }

  // The establish reply once its 8 bytes are there, else null.
  takeEstablishReply() {
    return this.queue.length >= kEstablishReplySize ? this.queue.take(kEstablishReplySize) : null;
  }

  // Every transaction completed by the bytes pushed so far: {hdr, body}. A damaged header
  // throws a ProtocolError; the stream cannot be trusted after it.
  drain() {
    const done = [];
    for (;;) {
      if (!this.header) {
        if (this.queue.length < kTranHdrSize) break;
        const hdr = decodeHeader(this.queue.take(kTranHdrSize));
        if (hdr.totalSize > this.limit || hdr.dataSize > hdr.totalSize) {
          throw new ProtocolError('The server sent a damaged transaction.');
        }
        this.header = hdr;
      }
      if (this.queue.length < this.header.dataSize) break;
      const hdr = this.header;
      this.header = null;
      const chunk = this.queue.take(hdr.dataSize);
      const key = (hdr.isReply ? 'r' : 'q') + hdr.id;
      let entry = this.partial.get(key);
      if (!entry) {
        if (chunk.length === hdr.totalSize) {
          done.push({ hdr, body: chunk });
          continue;
        }
        entry = { hdr, parts: [], size: 0 };
        this.partial.set(key, entry);
      }
      if (entry.size + chunk.length > entry.hdr.totalSize || this.pendingSize + chunk.length > this.limit) {
        throw new ProtocolError('The server sent a damaged transaction.');
      }
      entry.parts.push(chunk);
      entry.size += chunk.length;
      this.pendingSize += chunk.length;
      if (entry.size === entry.hdr.totalSize) {
        this.partial.delete(key);
        this.pendingSize -= entry.size;
        const body = new Uint8Array(entry.size);
        let at = 0;
        for (const p of entry.parts) {
          body.set(p, at);
          at += p.length;
        }
        done.push({ hdr: { ...entry.hdr, error: hdr.error, dataSize: entry.size }, body });
      }
    }
    return done;
  }
}

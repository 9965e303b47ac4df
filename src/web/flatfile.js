// The flattened file ("FILP") that file transfers carry: a 24-byte header, then forks of a
// 16-byte fork header and data. An upload sends an INFO fork with the name and a DATA fork with
// the contents; a download is read back fork by fork, keeping only the DATA bytes.
import { ProtocolError } from './wire.js';

const kInfoNameMax = 63;

function putTag(out, at, tag) {
  for (let i = 0; i < 4; i++) out[at + i] = tag.charCodeAt(i);
}

function tagAt(bytes, at) {
  return String.fromCharCode(...bytes.subarray(at, at + 4));
}

function forkHeader(out, at, tag, size) {
  putTag(out, at, tag);
  new DataView(out.buffer).setUint32(at + 12, size);
}

// Total stream length for a file of `dataSize` bytes whose Mac OS Roman name is `nameBytes`.
export function flattenedSize(nameBytes, dataSize) {
  return 130 + Math.min(nameBytes.length, kInfoNameMax) + dataSize;
}

// Everything of the stream that comes before the file's bytes: the file header, the INFO fork
// (platform, the default type and creator codes, the name cut to 63 bytes, no comment) and the
// DATA fork header. The receiving server keeps no codes, so the generic ones do.
export function flattenPrefix(nameBytes, dataSize) {
  const name = nameBytes.subarray(0, kInfoNameMax);
  const infoSize = 74 + name.length;
  const out = new Uint8Array(24 + 16 + infoSize + 16);
  putTag(out, 0, 'FILP');
  out[5] = 1;
  out[23] = 2;
  forkHeader(out, 24, 'INFO', infoSize);
  putTag(out, 40, 'MWIN');
  putTag(out, 44, 'BINA');
  putTag(out, 48, 'dosa');
  out[40 + 71] = name.length;
  out.set(name, 40 + 72);
  forkHeader(out, 40 + infoSize, 'DATA', dataSize);
  return out;
}

// Reads a flattened stream given in pieces of any size and hands the DATA fork's bytes to
// `onData` as they arrive. A stream of another format, version or a compressed fork throws.
export class Unflattener {
  constructor(onData) {
    this.onData = onData;
    this.head = new Uint8Array(24); // the file header, then each fork header
    this.headWant = 24;
    this.headHave = 0;
    this.fork = null; // {type, left} while fork data is arriving
    this.sawHeader = false;
  }

  push(bytes) {
    let at = 0;
    while (at < bytes.length) {
      if (this.fork) {
        const n = Math.min(this.fork.left, bytes.length - at);
        if (this.fork.type === 'DATA' && n > 0) this.onData(bytes.subarray(at, at + n));
        this.fork.left -= n;
        at += n;
        if (this.fork.left === 0) this.fork = null;
        continue;
      }
      const n = Math.min(this.headWant - this.headHave, bytes.length - at);
      this.head.set(bytes.subarray(at, at + n), this.headHave);
      this.headHave += n;
      at += n;
      if (this.headHave < this.headWant) break;
      this.headHave = 0;
      if (!this.sawHeader) this.checkFileHeader();
      else this.startFork();
    }
  }

  checkFileHeader() {
    if (tagAt(this.head, 0) !== 'FILP') throw new ProtocolError('The download is not a flattened file.');
    if (this.head[4] !== 0 || this.head[5] !== 1) throw new ProtocolError('The download has an unknown version.');
    this.sawHeader = true;
    this.headWant = 16;
  }

  startFork() {
    const view = new DataView(this.head.buffer);
    if (view.getUint32(4) !== 0) throw new ProtocolError('The download uses an unknown compression.');
    const left = view.getUint32(12);
    if (left > 0) this.fork = { type: tagAt(this.head, 0), left };
  }
}

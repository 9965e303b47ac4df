// File transfers over a transfer socket ('/transfer'): after the request names the file and the
// server answers with a reference number, the socket carries the 16-byte "KXXF" header, then a
// download's flattened file (read into a Blob) or an upload's flattened file (written from a
// File slice by slice, never faster than the socket drains).
import { FieldList } from './fields.js';
import { Unflattener, flattenPrefix, flattenedSize } from './flatfile.js';
import { encodePath, nameBytes } from './records.js';
import { ConnectionError } from './session.js';
import {
  kFieldFileName, kFieldFilePath, kFieldRefNum, kFieldTransferSize, kFieldWaitingCount, kTranClientDownloadInfo,
  kTranDownloadFile, kTranKillDownload, kTranUploadFile, kTransferFile,
} from './constants.js';

const kUploadChunk = 64 * 1024; // bytes per message: the server side's limit must allow it
const kHighWater = 1024 * 1024; // bytes queued in the socket before reading more of the file

export class TransferCancelled extends Error {
  constructor() {
    super('Cancelled.');
  }
}

// "KXXF", the reference number as the server gave it (4 opaque bytes), the data size and the
// transfer type, big-endian, and 2 reserved bytes.
export function transferHeader(refNum, dataSize, type = kTransferFile) {
  const out = new Uint8Array(16);
  out.set([0x4B, 0x58, 0x58, 0x46]);
  out.set(refNum.subarray(0, 4), 4);
  const view = new DataView(out.buffer);
  view.setUint32(8, dataSize);
  view.setUint16(12, type);
  return out;
}

function fileFields(path, name) {
  const f = new FieldList().add(kFieldFileName, nameBytes(name));
  if (path.length) f.add(kFieldFilePath, encodePath(path));
  return f;
}

// Downloads `name` from the folder `path` (a list of folder names). Resolves with a Blob of the
// file's bytes. `onQueue(position)` reports the place in the server's waiting queue (0: the
// download starts), `onProgress(bytes, total)` the flattened bytes received.
export async function downloadFile(conn, { path, name, onProgress = () => {}, onQueue = () => {}, signal }) {
  const reply = await conn.request(kTranDownloadFile, fileFields(path, name));
  const size = reply.int(kFieldTransferSize) >>> 0;
  const refNum = reply.get(kFieldRefNum);
  if (!refNum) return new Blob([]);
  if (reply.has(kFieldWaitingCount)) onQueue(reply.int(kFieldWaitingCount));
  const queueInfo = (fields) => {
    const ref = fields.get(kFieldRefNum);
    if (ref && ref.every((b, i) => b === refNum[i])) onQueue(fields.int(kFieldWaitingCount));
  };
  conn.on(kTranClientDownloadInfo, queueInfo);
  const socket = conn.openTransfer();
  socket.binaryType = 'arraybuffer';
  const parts = [];
  let received = 0;
  const unflattener = new Unflattener((bytes) => parts.push(bytes));
  return new Promise((resolve, reject) => {
    const finish = (error) => {
      conn.off(kTranClientDownloadInfo, queueInfo);
      if (signal) signal.removeEventListener('abort', cancel);
      socket.onmessage = socket.onclose = null;
      // A finished download keeps counting against the limits until its connection closes.
      socket.close();
      if (error) reject(error);
      else resolve(new Blob(parts));
    };
    const cancel = () => {
      conn.request(kTranKillDownload, new FieldList().add(kFieldRefNum, refNum)).catch(() => {});
      finish(new TransferCancelled());
    };
    if (signal) signal.addEventListener('abort', cancel);
    socket.onopen = () => socket.send(transferHeader(refNum, 0));
    socket.onmessage = (event) => {
      const bytes = new Uint8Array(event.data);
      const take = bytes.subarray(0, Math.min(bytes.length, size - received));
      try {
        unflattener.push(take);
      } catch (e) {
        finish(e);
        return;
      }
      received += take.length;
      onProgress(received, size);
      if (received === size) finish(null);
    };
    socket.onclose = () => finish(new ConnectionError('The download was interrupted.'));
  });
}

const pause = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

// Uploads the File (or Blob with a name) `file` into the folder `path`. Resolves once the server,
// having received every byte, closes the transfer connection.
export async function uploadFile(conn, { path, file, onProgress = () => {}, signal }) {
  const name = nameBytes(file.name);
  const total = flattenedSize(name, file.size);
  if (total > 0xFFFFFFFF) throw new RangeError('Files of 4 GiB or more cannot be sent.');
  const f = fileFields(path, file.name).addInt(kFieldTransferSize, total);
  const refNum = (await conn.request(kTranUploadFile, f)).get(kFieldRefNum);
  const socket = conn.openTransfer();
  socket.binaryType = 'arraybuffer';
  let closed = false;
  let allSent = false;
  const done = new Promise((resolve, reject) => {
    socket.onclose = () => {
      closed = true;
      if (allSent && !(socket.bufferedAmount > 0)) resolve();
      else reject(new ConnectionError('The upload was interrupted.'));
    };
  });
  done.catch(() => {}); // rejections are taken below, after the sending loop
  await new Promise((resolve) => {
    socket.onopen = resolve;
    done.catch(resolve);
  });
  const queued = () => socket.bufferedAmount || 0;
  let sent = 0;
  const put = (bytes) => {
    socket.send(bytes);
    sent += bytes.length;
    onProgress(Math.max(0, sent - queued()), total);
  };
  try {
    if (closed) return await done;
    socket.send(transferHeader(refNum, total));
    put(flattenPrefix(name, file.size));
    for (let at = 0; at < file.size; at += kUploadChunk) {
      while (queued() > kHighWater && !closed) await pause(25);
      if (signal && signal.aborted) throw new TransferCancelled();
      if (closed) return await done;
      put(new Uint8Array(await file.slice(at, at + kUploadChunk).arrayBuffer()));
    }
    allSent = true;
    while (queued() > 0 && !closed) {
      await pause(100);
      onProgress(sent - queued(), total);
    }
    return await done;
  } catch (e) {
    socket.onclose = null;
    socket.close();
    throw e;
  }
}

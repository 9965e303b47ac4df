// One transaction connection over a WebSocket-like socket (binary messages carrying the plain
// byte stream): the establish exchange, requests matched to their replies by transaction ID,
// requests that expect no reply, and the server's notices handed to `onnotice`.
import { FieldList } from './fields.js';
import { kFieldErrorText } from './constants.js';
import { ProtocolError, TransactionReader, encodeTransaction, establishError, kEstablishRequest } from './wire.js';

// A request the server refused: the error reply's text, line ends as line feeds.
export class ServerError extends Error {
  constructor(text, code) {
    super(text || 'The server reported an error.');
    this.code = code;
  }
}

// The connection ended (or never worked); `message` says how, for people.
export class ConnectionError extends Error {}

// A request whose reply does not come within this time fails, so that no view waits forever
// for a reply the server never sends (some failures are answered with silence).
export const kReplyTimeoutMs = 60000;

export class Session {
  // `socket` follows the WebSocket interface: binaryType, readyState, send, close and the
  // onopen / onmessage / onclose / onerror properties.
  constructor(socket, { replyTimeoutMs = kReplyTimeoutMs } = {}) {
    this.socket = socket;
    this.replyTimeoutMs = replyTimeoutMs;
    this.reader = new TransactionReader();
    this.nextId = 0;
    this.pending = new Map(); // id -> {resolve, reject, timer}
    this.established = false;
    this.closed = false;
    this.onnotice = null; // fn(type, fields)
    this.onclose = null; // fn(ConnectionError), once
    socket.binaryType = 'arraybuffer';
  }

  // Resolves once the server accepted the establish request.
  open() {
    return new Promise((resolve, reject) => {
      this.openWaiter = { resolve, reject };
      this.socket.onopen = () => this.socket.send(kEstablishRequest);
      this.socket.onmessage = (event) => this.receive(new Uint8Array(event.data));
      this.socket.onerror = () => {};
      this.socket.onclose = () => this.fail(new ConnectionError(this.established
        ? 'The connection to the server was lost.' : 'The server could not be reached.'));
    });
  }

  // Sends a request and resolves with the reply's fields; an error reply rejects with its text.
  request(type, fields = new FieldList()) {
    return new Promise((resolve, reject) => {
      const id = this.transmit(type, fields);
      const timer = setTimeout(() => {
        this.pending.delete(id);
        reject(new ConnectionError('The server did not answer in time.'));
      }, this.replyTimeoutMs);
      this.pending.set(id, { resolve, reject, timer });
    });
  }

  // Sends a request that the server answers with no reply (chat lines, leaving a chat...).
  send(type, fields = new FieldList()) {
    this.transmit(type, fields);
  }

  transmit(type, fields) {
    if (!this.established || this.closed) throw new ConnectionError('Not connected to the server.');
    this.nextId = (this.nextId + 1) >>> 0 || 1;
    this.socket.send(encodeTransaction({ type, id: this.nextId }, fields.encode()));
    return this.nextId;
  }

  close() {
    this.fail(new ConnectionError('Disconnected.'));
  }

  receive(bytes) {
    if (this.closed) return;
    this.reader.push(bytes);
    try {
      if (!this.established) {
        const reply = this.reader.takeEstablishReply();
        if (!reply) return;
        const error = establishError(reply);
        if (error !== 0) throw new ConnectionError(`The server refused the connection (error ${error}).`);
        this.established = true;
        this.openWaiter.resolve();
      }
      for (const t of this.reader.drain()) this.dispatch(t.hdr, FieldList.decode(t.body));
    } catch (e) {
      this.fail(e instanceof ProtocolError ? new ConnectionError(e.message) : e);
    }
  }

  dispatch(hdr, fields) {
    if (hdr.isReply) {
      const waiter = this.pending.get(hdr.id);
      if (!waiter) return; // answered after its time-out
      this.pending.delete(hdr.id);
      clearTimeout(waiter.timer);
      if (hdr.error !== 0) waiter.reject(new ServerError(fields.text(kFieldErrorText), hdr.error));
      else waiter.resolve(fields);
      return;
    }
    if (this.onnotice) this.onnotice(hdr.type, fields);
  }

  fail(error) {
    if (this.closed) return;
    this.closed = true;
    this.socket.onmessage = this.socket.onclose = null;
    this.socket.close();
    if (this.openWaiter && !this.established) this.openWaiter.reject(error);
    for (const w of this.pending.values()) {
      clearTimeout(w.timer);
      w.reject(error);
    }
    this.pending.clear();
    if (this.onclose) this.onclose(error);
  }
}

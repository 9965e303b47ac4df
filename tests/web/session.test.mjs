// The web client's session logic driven through fake sockets: the establish exchange, streams
// cut anywhere, replies matched by transaction ID, error replies, login and reconnection with
// back-off, and both transfer directions.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { FieldList } from '../../src/web/fields.js';
import { encodeTransaction, decodeHeader } from '../../src/web/wire.js';
import { ConnectionError, ServerError, Session } from '../../src/web/session.js';
import { Connection } from '../../src/web/connection.js';
import { downloadFile, uploadFile } from '../../src/web/transfer.js';

const ascii = (s) => Uint8Array.from([...s].map((c) => c.charCodeAt(0)));
const hex = (u8) => Buffer.from(u8).toString('hex');
const kAccept = ascii('TRTP\0\0\0\0');
const tick = () => new Promise((resolve) => setImmediate(resolve));

// The WebSocket interface as the page uses it; the test plays the server.
class FakeSocket {
  constructor(path) {
    this.path = path;
    this.sent = [];
    this.closed = false;
  }
  send(bytes) {
    this.sent.push(Uint8Array.from(bytes));
  }
  close() {
    this.closed = true;
  }
  open() {
    this.onopen();
  }
  deliver(bytes) {
    this.onmessage({ data: Uint8Array.from(bytes).buffer });
  }
  drop() {
    this.onclose({});
  }
  // The server's answer to the request sent `n`-th (1-based, after the establish request).
  reply(n, fields = new FieldList(), error = 0) {
    const id = decodeHeader(this.sent[n]).id;
    this.deliver(encodeTransaction({ id, isReply: true, error }, fields.encode()));
  }
}

const notice = (type, fields) => encodeTransaction({ type, id: 99 }, fields.encode());

async function established(options) {
  const socket = new FakeSocket('/kestrix');
  const session = new Session(socket, options);
  const opened = session.open();
  socket.open();
  socket.deliver(kAccept);
  await opened;
  return { socket, session };
}

test('establish: request bytes, reply split across messages, refusal', async () => {
  const socket = new FakeSocket('/kestrix');
  const session = new Session(socket);
  const opened = session.open();
  socket.open();
  assert.equal(hex(socket.sent[0]), hex(ascii('TRTPKSTX\0\x01\0\x02')));
  assert.equal(socket.binaryType, 'arraybuffer');
  socket.deliver(ascii('TRT'));
  socket.deliver(ascii('P\0\0\0'));
  let done = false;
  opened.then(() => (done = true));
  await tick();
  assert.equal(done, false);
  socket.deliver(Uint8Array.of(0));
  await opened;

  const refused = new FakeSocket('/kestrix');
  const s2 = new Session(refused);
  const p2 = s2.open();
  refused.open();
  refused.deliver(ascii('TRTP\0\0\0\x01'));
  await assert.rejects(p2, (e) => e instanceof ConnectionError && /refused the connection \(error 1\)/.test(e.message));
  assert.equal(refused.closed, true);
  session.close();
});

test('stream reassembly, task-ID matching and error replies', async () => {
  const { socket, session } = await established();
  const seen = [];
  session.onnotice = (type, f) => seen.push([type, f.text(101)]);
  const first = session.request(300);
  const second = session.request(101, new FieldList().addText(101, 'x'));
  assert.deepEqual(socket.sent.slice(1).map((b) => decodeHeader(b).id), [1, 2]);
  assert.equal(decodeHeader(socket.sent[2]).type, 101);
  // The second request is answered first; a chat notice and the first reply share a message,
  // the next notice arrives cut inside its header and inside its data.
  socket.reply(2, new FieldList().addText(101, 'board'));
  const chat = notice(106, new FieldList().addText(101, '\r        alice:  hello'));
  const first1 = encodeTransaction({ id: 1, isReply: true }, new FieldList().addInt(103, 7).encode());
  socket.deliver([...chat, ...first1]);
  const next = notice(104, new FieldList().addText(101, 'one\rtwo'));
  socket.deliver(next.subarray(0, 7));
  socket.deliver(next.subarray(7, 25));
  socket.deliver(next.subarray(25));
  assert.equal((await second).text(101), 'board');
  assert.equal((await first).int(103), 7);
  assert.deepEqual(seen, [[106, '\n        alice:  hello'], [104, 'one\ntwo']]);
  // A reply to no request is dropped; an error reply rejects with the server's text.
  socket.deliver(encodeTransaction({ id: 42, isReply: true }, new FieldList().encode()));
  const refused = session.request(110);
  socket.reply(3, new FieldList().addText(100, 'You are not allowed to\rdisconnect users.'), 1);
  await assert.rejects(refused, (e) => e instanceof ServerError && e.message === 'You are not allowed to\ndisconnect users.');
  // Requests that get no reply leave nothing pending.
  session.send(105, new FieldList().addText(101, 'hi'));
  assert.equal(session.pending.size, 0);
  session.close();
});

test('a damaged header or a lost connection fails every waiting request', async () => {
  const { socket, session } = await established();
  let closedWith = null;
  session.onclose = (e) => (closedWith = e);
  const waiting = session.request(300);
  const bad = encodeTransaction({ id: 1, isReply: true }, new Uint8Array(4));
  bad[19] = 9; // dataSize past totalSize
  socket.deliver(bad);
  await assert.rejects(waiting, /damaged transaction/);
  assert.equal(socket.closed, true);
  assert.match(closedWith.message, /damaged/);
  assert.throws(() => session.send(105), ConnectionError);

  const other = await established();
  const lost = other.session.request(300);
  other.socket.drop();
  await assert.rejects(lost, /connection to the server was lost/);

  // A request the server never answers fails on its own; a late reply is then dropped.
  const slow = await established({ replyTimeoutMs: 5 });
  const unanswered = slow.session.request(206);
  await assert.rejects(unanswered, /did not answer in time/);
  slow.socket.reply(1);
  assert.equal(slow.session.closed, false);
  slow.session.close();
});

// A connection whose sockets and timers the test runs by hand.
function harness() {
  const sockets = [];
  const timers = [];
  let clock = 0;
  const conn = new Connection({
    makeSocket: (path) => {
      const s = new FakeSocket(path);
      sockets.push(s);
      return s;
    },
    setTimer: (fn, ms) => timers.push({ fn, ms }) && timers.length,
    clearTimer: () => {},
    now: () => clock,
  });
  const states = [];
  conn.on('state', (state) => states.push(state));
  // Plays the server for one login on the newest socket.
  async function serve({ refuse, agreement } = {}) {
    const s = sockets[sockets.length - 1];
    s.open();
    s.deliver(kAccept);
    await tick();
    if (refuse) {
      s.reply(1, new FieldList().addText(100, refuse), 1);
    } else {
      s.reply(1, new FieldList().addInt(160, 192).addText(162, 'Test server'));
      s.deliver(notice(109, agreement ? new FieldList().addText(101, agreement) : new FieldList().addInt(154, 1)));
    }
    await tick();
    return s;
  }
  return { conn, sockets, timers, states, serve, advance: (ms) => (clock += ms) };
}

test('login, agreement once, reconnection with back-off, refused re-login', async () => {
  const { conn, sockets, timers, states, serve, advance } = harness();
  const agreements = [];
  let onlines = 0;
  conn.on('agreement', (text) => agreements.push(text));
  conn.on('online', () => onlines++);
  const login = conn.login({ login: 'admin', password: 'pw', name: 'Ann', icon: 128 });
  const s1 = await serve({ agreement: 'Be nice.' });
  await login;
  assert.equal(sockets[0].path, '/kestrix');
  const req = s1.sent[1];
  assert.equal(decodeHeader(req).type, 107);
  assert.equal(hex(req.subarray(20)), '0005' + '00690005' + '9e9b929691' + '006a0002' + '8f88' +
    '00a00002' + '00be' + '00660003' + hex(ascii('Ann')) + '00680002' + '0080');
  assert.equal(conn.serverName, 'Test server');
  assert.deepEqual(agreements, ['Be nice.']);

  // Dropped soon after login: waits 1 s, then 2 s after a second quick drop.
  s1.drop();
  assert.equal(conn.state, 'waiting');
  assert.equal(timers.at(-1).ms, 1000);
  timers.at(-1).fn();
  await serve({ agreement: 'Be nice.' });
  assert.equal(conn.state, 'online');
  assert.equal(onlines, 2);
  assert.equal(hex(sockets[1].sent[1].subarray(20)), hex(req.subarray(20)));
  sockets[1].drop();
  assert.equal(timers.at(-1).ms, 2000);
  timers.at(-1).fn();
  await tick();
  sockets[2].drop(); // the socket never opens: try again later
  await tick();
  assert.equal(timers.at(-1).ms, 4000);
  timers.at(-1).fn();
  await serve();
  // Online for a minute: the next drop starts the pauses again.
  advance(60000);
  sockets[3].drop();
  assert.equal(timers.at(-1).ms, 1000);
  timers.at(-1).fn();
  await serve({ refuse: 'You are permanently banned on this server.' });
  assert.equal(conn.state, 'offline');
  assert.deepEqual(agreements, ['Be nice.']);
  assert.deepEqual(states, ['connecting', 'online', 'waiting', 'connecting', 'online', 'waiting', 'connecting',
    'waiting', 'connecting', 'online', 'waiting', 'connecting', 'offline']);
});

test('download: header, flattened stream in pieces, queue position', async () => {
  const { conn, sockets, serve } = harness();
  const login = conn.login({ login: '', password: '', name: 'g', icon: 1 });
  await serve();
  await login;
  const queue = [];
  let progress = 0;
  const done = downloadFile(conn, { path: ['Public'], name: 'notes.txt', onQueue: (n) => queue.push(n), onProgress: (n) => (progress = n) });
  const s = sockets[0];
  const req = FieldList.decode(s.sent[2].subarray(20));
  assert.equal(decodeHeader(s.sent[2]).type, 202);
  assert.equal(hex(req.get(202)), '0001000006' + hex(ascii('Public')));
  const ref = Uint8Array.of(0x35, 0x12, 0x02, 0x00);
  s.reply(2, new FieldList().addInt(108, 144).addInt(207, 5).add(107, ref).addInt(116, 1));
  await tick();
  s.deliver(notice(211, new FieldList().add(107, Uint8Array.of(9, 9, 9, 9)).addInt(116, 7)));
  s.deliver(notice(211, new FieldList().add(107, ref).addInt(116, 0)));
  const t = sockets[1];
  assert.equal(t.path, '/transfer');
  t.open();
  assert.equal(hex(t.sent[0]), hex(ascii('KXXF')) + '35120200' + '00000000' + '0000' + '0000');
  const name = ascii('notes.txt');
  const stream = Uint8Array.from([...ascii('FILP\0\x01'), ...new Array(16).fill(0), 0, 2,
    ...ascii('INFO'), ...new Array(11).fill(0), 83, ...ascii('MWINTEXTttxt'), ...new Array(58).fill(0), 0, 9, ...name, 0, 0,
    ...ascii('DATA'), ...new Array(11).fill(0), 5, ...ascii('hello')]);
  t.deliver(stream.subarray(0, 130));
  assert.equal(t.closed, false);
  t.deliver(stream.subarray(130));
  const blob = await done;
  assert.equal(await blob.text(), 'hello');
  assert.deepEqual(queue, [1, 0]);
  assert.equal(progress, 144);
  assert.equal(t.closed, true); // a finished download counts against the limits until closed
  conn.logout();
});

test('first login failures, logging out during a pause, reconnecting at once', async () => {
  const { conn, sockets, timers, states, serve } = harness();
  const refused = assert.rejects(conn.login({ login: 'x', password: 'y', name: 'n', icon: 1 }),
    (e) => e instanceof ServerError && e.message === 'Incorrect login.');
  await serve({ refuse: 'Incorrect login.' });
  await refused;
  assert.equal(sockets[0].closed, true);
  const unreachable = assert.rejects(conn.login({ login: '', password: '', name: 'n', icon: 1 }), ConnectionError);
  sockets[1].drop();
  await unreachable;
  assert.equal(timers.length, 0); // a first login is never retried by itself
  assert.equal(conn.state, 'offline');

  const ok = conn.login({ login: '', password: '', name: 'n', icon: 1 });
  await serve();
  await ok;
  sockets[2].drop();
  conn.retryNow();
  await serve();
  assert.equal(conn.state, 'online');
  sockets[3].drop();
  conn.logout();
  assert.equal(conn.state, 'offline');
  assert.equal(sockets.length, 4);
  assert.deepEqual(states.slice(-5), ['waiting', 'connecting', 'online', 'waiting', 'offline']);
  assert.throws(() => conn.send(105), ConnectionError);
});

test('download failures: a foreign stream, a cut connection, a cancel', async () => {
  const { conn, sockets, serve } = harness();
  const login = conn.login({ login: '', password: '', name: 'g', icon: 1 });
  await serve();
  await login;
  const s = sockets[0];
  const start = (n, name) => {
    const done = downloadFile(conn, { path: [], name, signal: controller.signal });
    s.reply(n, new FieldList().addInt(108, 200).add(107, Uint8Array.of(n, 0, 0, 1)));
    return done;
  };
  let controller = new AbortController();
  const foreign = start(2, 'a');
  await tick();
  sockets[1].open();
  sockets[1].deliver(ascii('GIF89a' + '\0'.repeat(30)));
  await assert.rejects(foreign, /not a flattened file/);
  assert.equal(sockets[1].closed, true);
  const cut = start(3, 'b');
  await tick();
  sockets[2].open();
  sockets[2].drop();
  await assert.rejects(cut, /download was interrupted/);
  const cancelled = start(4, 'c');
  await tick();
  controller.abort();
  await assert.rejects(cancelled, /Cancelled/);
  assert.equal(sockets[3].closed, true);
  assert.equal(decodeHeader(s.sent[5]).type, 214); // the server forgets the download too
  assert.equal(hex(FieldList.decode(s.sent[5].subarray(20)).get(107)), '04000001');
  controller = new AbortController();
  conn.logout();
});

test('upload: request, header and stream; a close before the end fails', async () => {
  const { conn, sockets, serve } = harness();
  const login = conn.login({ login: '', password: '', name: 'g', icon: 1 });
  await serve();
  await login;
  const file = new Blob(['x'.repeat(70000)]);
  file.name = 'big.bin';
  const done = uploadFile(conn, { path: [], file });
  const s = sockets[0];
  const req = FieldList.decode(s.sent[2].subarray(20));
  assert.equal(decodeHeader(s.sent[2]).type, 203);
  assert.equal(req.text(201), 'big.bin');
  assert.equal(req.has(202), false); // the root
  assert.equal(req.int(108), 70000 + 130 + 7);
  s.reply(2, new FieldList().add(107, Uint8Array.of(2, 0, 1, 0)));
  await tick();
  const t = sockets[1];
  t.open();
  while (t.sent.reduce((n, b) => n + b.length, 0) < 16 + 137 + 70000) await tick();
  assert.equal(hex(t.sent[0]), hex(ascii('KXXF')) + '02000100' + '000111f9' + '00000000');
  const stream = Buffer.concat(t.sent.slice(1));
  assert.equal(stream.subarray(0, 4).toString(), 'FILP');
  assert.equal(stream.subarray(133, 137).readUInt32BE(), 70000);
  assert.ok(t.sent.slice(2).every((b) => b.length <= 65536));
  t.drop();
  await done;

  const cut = uploadFile(conn, { path: ['Uploads'], file });
  s.reply(3, new FieldList().add(107, Uint8Array.of(4, 0, 1, 0)));
  await tick();
  sockets[2].drop();
  await assert.rejects(cut, /upload was interrupted/);
  conn.logout();
});

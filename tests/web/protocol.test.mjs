// Byte-exact checks of the web client's codec: field lists and integers, establish and
// transaction headers, Mac OS Roman, complement encoding, paths, file and user entries, news
// lists, privilege bits, accounts, the transfer header and the flattened file.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { FieldList, decodeInteger, encodeInteger } from '../../src/web/fields.js';
import { decodeMacRoman, encodeMacRoman, textToWire, wireToText } from '../../src/web/macroman.js';
import { TransactionReader, decodeHeader, encodeTransaction, establishError, kEstablishRequest } from '../../src/web/wire.js';
import {
  complement, decodeAccount, decodeArticleList, decodeFileEntry, decodeNewsItem, decodeUserEntry, encodeAccount,
  encodePath, encodeSecret, formatDateStamp, hasPriv, setPriv,
} from '../../src/web/records.js';
import { Unflattener, flattenPrefix, flattenedSize } from '../../src/web/flatfile.js';
import { transferHeader } from '../../src/web/transfer.js';

const bytes = (...parts) => Uint8Array.from(parts.flatMap((p) =>
  (typeof p === 'string' ? [...p].map((c) => c.charCodeAt(0)) : p instanceof Uint8Array ? [...p] : p)));
const hex = (u8) => Buffer.from(u8).toString('hex');
const zeros = (n) => new Array(n).fill(0);

test('field lists and integers', () => {
  assert.equal(hex(new FieldList().encode()), '0000');
  assert.equal(hex(encodeInteger(65535)), 'ffff');
  assert.equal(hex(encodeInteger(65536)), '00010000');
  assert.equal(hex(encodeInteger(-1)), 'ffffffff');
  assert.equal(decodeInteger(bytes(1, 2, 3)), 0);
  assert.equal(decodeInteger(bytes(0xFF, 0xFF)), 65535);
  assert.equal(decodeInteger(bytes(0xFF, 0xFF, 0xFF, 0xFE, 9, 9, 9, 9)), -2);
  assert.equal(decodeInteger(bytes(7)), 7);
  // A chat line as the client sends it: kFieldData "hello", kFieldChatID 3.
  const chat = new FieldList().addText(101, 'hello').addInt(114, 3).add(109, new Uint8Array(0));
  assert.equal(hex(chat.encode()), '0002' + '00650005' + hex(bytes('hello')) + '007200020003');
  // Count 5 over 3 complete fields and a cut fourth: the 3 are read.
  const five = bytes(0, 5, 0, 1, 0, 1, 0xAA, 0, 2, 0, 0, 0, 1, 0, 2, 0xBB, 0xCC, 0, 3, 0, 9, 1);
  const read = FieldList.decode(five);
  assert.deepEqual(read.fields.map((f) => f.id), [1, 2, 1]);
  assert.deepEqual(read.all(1).map(hex), ['aa', 'bbcc']);
  assert.equal(read.int(3), 0);
  assert.equal(FieldList.decode(bytes(0, 1)).fields.length, 0);
  assert.throws(() => new FieldList().add(1, new Uint8Array(65536)), RangeError);
});

test('establish and transaction headers', () => {
  assert.equal(hex(kEstablishRequest), hex(bytes('TRTPKSTX', 0, 1, 0, 2)));
  assert.equal(establishError(bytes('TRTP', 0, 0, 0, 0)), 0);
  assert.equal(establishError(bytes('TRTP', 0, 0, 0, 1)), 1);
  assert.throws(() => establishError(bytes('HTTP', 0, 0, 0, 0)), /does not speak/);
  const body = new FieldList().addText(101, 'hi').encode();
  assert.equal(hex(encodeTransaction({ type: 105, id: 1 }, body)),
    '00000069' + '00000001' + '00000000' + '00000008' + '00000008' + '0001006500026869');
  // The reply to request 5: isReply 1, type 0, error 1.
  const reply = decodeHeader(bytes(0, 1, 0, 0, 0, 0, 0, 5, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 2));
  assert.deepEqual(reply, { isReply: true, type: 0, id: 5, error: 1, totalSize: 2, dataSize: 2 });
});

test('transaction reader: chunks of one id, bad sizes', () => {
  const r = new TransactionReader(64);
  const chunk = (id, total, data) => encodeTransaction({ type: 300, id }, data).map((b, i) => (i >= 12 && i < 16 ? [0, 0, 0, total][i - 12] : b));
  const a = Uint8Array.from({ length: 30 }, (_, i) => i);
  r.push(chunk(7, 30, a.subarray(0, 10)));
  assert.deepEqual(r.drain(), []);
  r.push(chunk(7, 30, a.subarray(10)));
  const [t] = r.drain();
  assert.equal(t.hdr.dataSize, 30);
  assert.equal(hex(t.body), hex(a));
  // A request and a reply may share an id; their chunks interleave without mixing. An empty
  // transaction (total 0) is complete at once.
  const req = (id, total, data) => chunk(id, total, data);
  const rep = (id, total, data) => { const b = chunk(id, total, data); b[1] = 1; return b; };
  r.push(Uint8Array.from([...req(9, 4, Uint8Array.of(1, 2)), ...rep(9, 3, Uint8Array.of(7)), ...chunk(10, 0, new Uint8Array(0)),
    ...req(9, 4, Uint8Array.of(3, 4)), ...rep(9, 3, Uint8Array.of(8, 9))]));
  assert.deepEqual(r.drain().map((x) => [x.hdr.isReply, x.hdr.id, hex(x.body)]),
    [[false, 10, ''], [false, 9, '01020304'], [true, 9, '070809']]);
  // A later chunk may not overrun its transaction's total, nor a header announce past the limit.
  r.push(req(11, 4, Uint8Array.of(1, 2, 3)));
  r.push(req(11, 4, Uint8Array.of(4, 5)));
  assert.throws(() => r.drain(), /damaged/);
  const r2 = new TransactionReader(64);
  r2.push(chunk(8, 65, new Uint8Array(0)));
  assert.throws(() => r2.drain(), /damaged/);
});

test('Mac OS Roman round trips', () => {
  const all = Uint8Array.from({ length: 256 }, (_, i) => i);
  assert.equal(hex(encodeMacRoman(decodeMacRoman(all))), hex(all));
  assert.equal(decodeMacRoman(bytes(0xD2, 'x', 0xD3, 0x8E, 0xDB, 0xA5)), '“x”é€•');
  assert.equal(hex(encodeMacRoman('e\u0301')), '8e'); // composed before mapping
  assert.equal(hex(encodeMacRoman('a→b')), hex(bytes('a-b')));
  assert.equal(encodeMacRoman('a→b', true), null);
  assert.equal(wireToText(bytes('\r', 0x20, 'alice:  hi\rthere')), '\n alice:  hi\nthere');
  assert.equal(hex(textToWire('one\r\ntwo\nthree')), hex(bytes('one\rtwo\rthree')));
});

test('logins, passwords and paths', () => {
  assert.equal(hex(encodeSecret('admin')), '9e9b929691');
  assert.equal(hex(complement(bytes(0x9E, 0x00, 0xFF))), '61ff00');
  assert.equal(hex(encodePath([])), '0000');
  assert.equal(hex(encodePath(['Uploads', 'é'])), '0002' + '000007' + hex(bytes('Uploads')) + '0000018e');
  assert.throws(() => encodePath(['']), RangeError);
  assert.throws(() => encodePath(['x'.repeat(256)]), RangeError);
  assert.throws(() => encodePath(['a→b']), /cannot store/);
});

test('file-list and user-list entries', () => {
  const file = decodeFileEntry(bytes('TEXTttxt', 0, 0, 0, 5, zeros(4), 0, 0, 0, 9, 'notes.txt'));
  assert.deepEqual(file, { type: 'TEXT', creator: 'ttxt', size: 5, name: 'notes.txt', isFolder: false });
  const folder = decodeFileEntry(bytes('fldr', zeros(4), 0, 0, 0, 3, zeros(4), 0, 0, 0, 4, 'Docs'));
  assert.equal(folder.isFolder, true);
  assert.equal(folder.size, 3);
  assert.throws(() => decodeFileEntry(bytes('TEXTttxt', 0, 0, 0, 5, zeros(4), 0, 0, 0, 9, 'notes')), /damaged/);
  const user = decodeUserEntry(bytes(0, 7, 0xFF, 0xFE, 0, 0x12, 0, 5, 'alice'));
  assert.deepEqual(user, { id: 7, icon: -2, flags: 0x12, name: 'alice' });
});

test('news items, article listings and date stamps', () => {
  assert.deepEqual(decodeNewsItem(bytes(0, 2, 0, 4, 3, 'Fun', 0), true), { kind: 'bundle', name: 'Fun', count: 4 });
  const cat = bytes(0, 3, 0, 12, zeros(16), 0, 0, 0, 1, 0, 0, 0, 2, 11, 'General.knz', 0, 0, 0);
  assert.equal(cat.length, 11 + 32);
  assert.deepEqual(decodeNewsItem(cat, true), { kind: 'category', name: 'General.knz', count: 12 });
  assert.deepEqual(decodeNewsItem(bytes(10, 'General.knz'), false), { kind: 'category', name: 'General.knz', count: null });
  assert.equal(decodeNewsItem(bytes(255, 'notes.txt'), false).kind, 'other');
  // 7 March 2024 09:05 is 5735100 seconds into that year.
  const date = bytes(0x07, 0xE8, 0, 0, 0x00, 0x57, 0x82, 0xBC);
  assert.equal(formatDateStamp(date), '2024-03-07 09:05');
  const article = (id, parent, title, flavors) => bytes(0, 0, 0, id, date, 0, 0, 0, parent, zeros(4), 0, flavors.length,
    title.length, title, 5, 'alice', flavors.flatMap((f) => [f.length, ...bytes(f), 0, 5]));
  const listing = bytes(zeros(4), 0, 0, 0, 3, 0, 0,
    article(1, 0, 'Hello', ['text/plain']), article(2, 1, 'Re: Hello', ['text/plain']), article(3, 2, 'Re: Re', []));
  const list = decodeArticleList(listing);
  assert.deepEqual(list.map((a) => [a.id, a.parent, a.depth, a.title]), [[1, 0, 0, 'Hello'], [2, 1, 1, 'Re: Hello'], [3, 2, 2, 'Re: Re']]);
  assert.deepEqual(list[0].flavors, [{ type: 'text/plain', size: 5 }]);
  assert.equal(list[1].poster, 'alice');
  assert.equal(list[0].date, '2024-03-07 09:05');
  assert.throws(() => decodeArticleList(listing.subarray(0, listing.length - 3)), /damaged/);
});

test('privilege bits and account entries', () => {
  const access = new Uint8Array(8);
  for (const bit of [0, 7, 8, 40]) setPriv(access, bit, true);
  assert.equal(hex(access), '8180000000800000');
  assert.equal(hasPriv(access, 7), true);
  assert.equal(hasPriv(access, 6), false);
  setPriv(access, 0, false);
  assert.equal(access[0], 0x01);
  const listed = FieldList.decode(new FieldList().addText(102, 'Jo Smith').add(105, encodeSecret('jo'))
    .add(106, bytes('x')).add(110, access).encode());
  assert.deepEqual(decodeAccount(listed), { name: 'Jo Smith', login: 'jo', hasPassword: true, access });
  const keep = encodeAccount({ name: 'Jo', login: 'jo', password: null, access });
  assert.equal(hex(keep.get(106)), '00');
  assert.equal(hex(keep.get(105)), '9590');
  assert.equal(encodeAccount({ name: 'Jo', login: 'jo', password: '', access }).has(106), false);
  assert.equal(hex(encodeAccount({ name: 'Jo', login: 'jo', password: 'pw', access }).get(106)), '8f88');
});

// "notes.txt" holding "hello", flattened: 5 + 130 + 9 = 144 bytes.
const kNotes = bytes('FILP', 0, 1, zeros(16), 0, 2, 'INFO', zeros(8), 0, 0, 0, 83, 'MWINTEXTttxt', zeros(4 + 4 + 32 + 8 + 8 + 2),
  0, 9, 'notes.txt', 0, 0, 'DATA', zeros(8), 0, 0, 0, 5, 'hello');

test('transfer header and flattened files', () => {
  assert.equal(hex(transferHeader(bytes(0x11, 0x22, 0x33, 0x45), 144)), hex(bytes('KXXF', 0x11, 0x22, 0x33, 0x45, 0, 0, 0, 144, 0, 0, 0, 0)));
  const name = bytes('notes.txt');
  assert.equal(flattenedSize(name, 5), 144);
  const stream = bytes(flattenPrefix(name, 5), 'hello');
  // The page writes the generic type and creator codes; the receiver keeps none.
  assert.equal(hex(stream), hex(bytes(kNotes.subarray(0, 44), 'BINAdosa', kNotes.subarray(52))));
  assert.equal(flattenPrefix(new Uint8Array(80).fill(0x61), 0).length, 130 + 63);
  const got = [];
  const u = new Unflattener((d) => got.push(...d));
  for (const b of kNotes) u.push(bytes(b));
  assert.equal(String.fromCharCode(...got), 'hello');
  // Forks of other types are skipped; a compressed fork and another format are refused.
  const other = bytes(kNotes.subarray(0, 24), 'ICON', zeros(8), 0, 0, 0, 2, 'zz', kNotes.subarray(123));
  const got2 = [];
  new Unflattener((d) => got2.push(...d)).push(other);
  assert.equal(String.fromCharCode(...got2), 'hello');
  assert.throws(() => new Unflattener(() => {}).push(bytes(kNotes.subarray(0, 24), 'DATA', 0, 0, 0, 1, zeros(8))), /compression/);
  assert.throws(() => new Unflattener(() => {}).push(bytes('FILQ', kNotes.subarray(4))), /not a flattened/);
});

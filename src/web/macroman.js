// Mac OS Roman <-> Unicode for every text the protocol carries (names, chat, messages, news).
// The wire ends lines with a carriage return alone; the page works with line feeds, so the
// text helpers convert line ends on the way in and out.

// Unicode characters of the bytes 0x80..0xFF (0xDB is the euro sign, 0xF0 the private-use
// character of the maker's logo). Bytes below 0x80 are ASCII.
const kHighChars = [
  0x00C4, 0x00C5, 0x00C7, 0x00C9, 0x00D1, 0x00D6, 0x00DC, 0x00E1, 0x00E0, 0x00E2, 0x00E4, 0x00E3,
  0x00E5, 0x00E7, 0x00E9, 0x00E8, 0x00EA, 0x00EB, 0x00ED, 0x00EC, 0x00EE, 0x00EF, 0x00F1, 0x00F3,
  0x00F2, 0x00F4, 0x00F6, 0x00F5, 0x00FA, 0x00F9, 0x00FB, 0x00FC, 0x2020, 0x00B0, 0x00A2, 0x00A3,
  0x00A7, 0x2022, 0x00B6, 0x00DF, 0x00AE, 0x00A9, 0x2122, 0x00B4, 0x00A8, 0x2260, 0x00C6, 0x00D8,
  0x221E, 0x00B1, 0x2264, 0x2265, 0x00A5, 0x00B5, 0x2202, 0x2211, 0x220F, 0x03C0, 0x222B, 0x00AA,
  0x00BA, 0x03A9, 0x00E6, 0x00F8, 0x00BF, 0x00A1, 0x00AC, 0x221A, 0x0192, 0x2248, 0x2206, 0x00AB,
  0x00BB, 0x2026, 0x00A0, 0x00C0, 0x00C3, 0x00D5, 0x0152, 0x0153, 0x2013, 0x2014, 0x201C, 0x201D,
  0x2018, 0x2019, 0x00F7, 0x25CA, 0x00FF, 0x0178, 0x2044, 0x20AC, 0x2039, 0x203A, 0xFB01, 0xFB02,
  0x2021, 0x00B7, 0x201A, 0x201E, 0x2030, 0x00C2, 0x00CA, 0x00C1, 0x00CB, 0x00C8, 0x00CD, 0x00CE,
  0x00CF, 0x00CC, 0x00D3, 0x00D4, 0xF8FF, 0x00D2, 0x00DA, 0x00DB, 0x00D9, 0x0131, 0x02C6, 0x02DC,
  0x00AF, 0x02D8, 0x02D9, 0x02DA, 0x00B8, 0x02DD, 0x02DB, 0x02C7,
];
const kByteOf = new Map(kHighChars.map((c, i) => [c, 0x80 + i]));

// Stands for characters that Mac OS Roman lacks, as the command-line client does.
const kMissing = 0x2D;

// The Unicode string of Mac OS Roman bytes, line ends untouched.
export function decodeMacRoman(bytes) {
  const units = new Array(bytes.length);
  for (let i = 0; i < bytes.length; i++) units[i] = bytes[i] < 0x80 ? bytes[i] : kHighChars[bytes[i] - 0x80];
  let s = '';
  for (let i = 0; i < units.length; i += 8192) s += String.fromCharCode(...units.slice(i, i + 8192));
  return s;
}

// The Mac OS Roman bytes of a string. Decomposed accents are composed first (a name typed on
// some systems arrives as "e" + U+0301). A character without a byte becomes "-", or makes the
// result null when `strict` (names that must not change on their way to the server).
export function encodeMacRoman(text, strict = false) {
  const out = [];
  for (const ch of text.normalize('NFC')) {
    const c = ch.codePointAt(0);
    const b = c < 0x80 ? c : kByteOf.get(c);
    if (b === undefined) {
      if (strict) return null;
      out.push(kMissing);
    } else {
      out.push(b);
    }
  }
  return Uint8Array.from(out);
}

// Wire text (carriage returns) to page text (line feeds).
export function wireToText(bytes) {
  return decodeMacRoman(bytes).replace(/\r/g, '\n');
}

// Page text to wire text: any line end becomes a carriage return.
export function textToWire(text) {
  return encodeMacRoman(text.replace(/\r\n|\n/g, '\r'));
}

// Draws the extension's icon (a white key on a blue rounded square) at the
// sizes the manifests name, as PNG files beside this script. Run it again
// after changing the drawing: node draw-icons.mjs
import fs from 'node:fs';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import zlib from 'node:zlib';

const SIZES = [16, 32, 48, 128];
const here = path.dirname(fileURLToPath(import.meta.url));

// The shapes in a unit square, y downwards.
function inRoundedSquare(x, y, margin, radius) {
  const lo = margin + radius;
  const hi = 1 - margin - radius;
  const dx = Math.max(lo - x, 0, x - hi);
  const dy = Math.max(lo - y, 0, y - hi);
  return dx * dx + dy * dy <= radius * radius;
}

const inRect = (x, y, x0, y0, x1, y1) => x >= x0 && x <= x1 && y >= y0 && y <= y1;

function inKey(x, y) {
  const d = Math.hypot(x - 0.33, y - 0.5);
  if (d <= 0.2 && d >= 0.085) return true; // the bow, with its hole
  if (inRect(x, y, 0.48, 0.45, 0.85, 0.55)) return true; // the shaft
  return inRect(x, y, 0.65, 0.55, 0.72, 0.67) || inRect(x, y, 0.77, 0.55, 0.85, 0.7); // the bit
}

// Top to bottom, a darker blue below.
const TOP = [41, 104, 214];
const BOTTOM = [25, 72, 160];

function render(size) {
  const ss = 8; // samples per pixel along each axis
  const rgba = Buffer.alloc(size * size * 4);
  for (let py = 0; py < size; py++) {
    for (let px = 0; px < size; px++) {
      let square = 0;
      let key = 0;
      for (let sy = 0; sy < ss; sy++) {
        for (let sx = 0; sx < ss; sx++) {
          const x = (px + (sx + 0.5) / ss) / size;
          const y = (py + (sy + 0.5) / ss) / size;
          if (inRoundedSquare(x, y, size <= 16 ? 0 : 0.04, 0.2)) {
            square++;
            if (inKey(x, y)) key++;
          }
        }
      }
      const n = ss * ss;
      const t = py / Math.max(1, size - 1);
      const bg = TOP.map((c, i) => c + (BOTTOM[i] - c) * t);
      const k = square ? key / square : 0; // white's share where the square is
      const at = (py * size + px) * 4;
      for (let i = 0; i < 3; i++) rgba[at + i] = Math.round(bg[i] + (255 - bg[i]) * k);
      rgba[at + 3] = Math.round((255 * square) / n);
    }
  }
  return rgba;
}

const CRC_TABLE = Array.from({ length: 256 }, (_, n) => {
  let c = n;
  for (let k = 0; k < 8; k++) c = c & 1 ? 0xedb88320 ^ (c >>> 1) : c >>> 1;
  return c >>> 0;
});

function crc32(buf) {
  let c = 0xffffffff;
  for (const b of buf) c = CRC_TABLE[(c ^ b) & 0xff] ^ (c >>> 8);
  return (c ^ 0xffffffff) >>> 0;
}

function chunk(type, data) {
  const len = Buffer.alloc(4);
  len.writeUInt32BE(data.length);
  const body = Buffer.concat([Buffer.from(type, 'ascii'), data]);
  const crc = Buffer.alloc(4);
  crc.writeUInt32BE(crc32(body));
  return Buffer.concat([len, body, crc]);
}

function png(size, rgba) {
  const ihdr = Buffer.alloc(13);
  ihdr.writeUInt32BE(size, 0);
  ihdr.writeUInt32BE(size, 4);
  ihdr[8] = 8; // bits per channel
  ihdr[9] = 6; // RGBA
  const rows = [];
  for (let y = 0; y < size; y++) {
    rows.push(Buffer.from([0]), rgba.subarray(y * size * 4, (y + 1) * size * 4)); // filter: none
  }
  return Buffer.concat([
    Buffer.from([0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a]),
    chunk('IHDR', ihdr),
    chunk('IDAT', zlib.deflateSync(Buffer.concat(rows), { level: 9 })),
    chunk('IEND', Buffer.alloc(0)),
  ]);
}

for (const size of SIZES) fs.writeFileSync(path.join(here, `icon-${size}.png`), png(size, render(size)));

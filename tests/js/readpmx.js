// Reads a PMX file with the independent npm reader mmd-parser and prints the parsed model
// as JSON on stdout. Exit code 1 with the reader's message on stderr when it cannot parse.
'use strict';
const fs = require('fs');
const { Parser } = require('mmd-parser');

const path = process.argv[2];
if (!path) {
  process.stderr.write('usage: node readpmx.js FILE.pmx [--summary]\n');
  process.exit(2);
}
try {
  const data = fs.readFileSync(path);
  const buffer = data.buffer.slice(data.byteOffset, data.byteOffset + data.byteLength);
  const pmx = new Parser().parsePmx(buffer, false);
  const out = process.argv.includes('--summary') ? { metadata: pmx.metadata } : pmx;
  process.stdout.write(JSON.stringify(out));
} catch (e) {
  process.stderr.write('mmd-parser: ' + (e && e.message ? e.message : String(e)) + '\n');
  process.exit(1);
}

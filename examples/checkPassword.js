#!/usr/bin/env node
// SPDX-License-Identifier: MIT
// Check a password against userData.txt, as initHashData wrote it.
//
// usage: node checkPassword.js USER [FILE] < password
//
// The password is the first line of standard input (without its newline), so
// that it never shows in a process listing. FILE is userData.txt by default.
// Exit status: 0 if the password matches the first record of USER, 1 if it
// does not or there is no such user, 2 on a usage error or a file that cannot
// be read.
//
// As a module: fieldHash(bytes) is the number that stands in field 2 for the
// password bytes (a Buffer or Uint8Array); doc/fieldHash.md gives the steps.
'use strict';

const fs = require('fs');

const USAGE = 'usage: node checkPassword.js USER [FILE] < password';
const SEED = 0xc70f6907;
const M = 0x5bd1e995;

// Fields 1 to 3 end at a colon and may hold newlines; field 4 ends at a
// newline. Read as latin1, each character is one byte.
const RECORD = /([^:]*):([^:]*):([^:]*):([^\n]*)\n/g;

// 32-bit MurmurHash2 of `bytes` with initHashData's seed. Numbers are
// doubles, whose 53 bits cannot hold the product of two 32-bit numbers:
// Math.imul multiplies exactly modulo 2^32, where `a * b` loses the low bits.
function fieldHash(bytes) {
  const length = bytes.length;
  let h = SEED ^ length;
  const blocksEnd = length - (length % 4);
  for (let i = 0; i < blocksEnd; i += 4) {
    // Little-endian whatever the machine, as the tool reads it.
    let k = bytes[i] | (bytes[i + 1] << 8) | (bytes[i + 2] << 16) | (bytes[i + 3] << 24);
    k = Math.imul(k, M);
    k ^= k >>> 24;
    k = Math.imul(k, M);
    h = Math.imul(h, M) ^ k;
  }
  if (blocksEnd < length) {
    for (let i = blocksEnd; i < length; ++i) {
      h ^= bytes[i] << (8 * (i - blocksEnd));
    }
    h = Math.imul(h, M);
  }
  h ^= h >>> 13;
  h = Math.imul(h, M);
  h ^= h >>> 15;
  // The bitwise operators give signed 32-bit numbers; field 2 is unsigned.
  return h >>> 0;
}

// Whether `password` (bytes) matches `field2`, the second field of a record.
function passwordMatches(password, field2) {
  return String(fieldHash(password)) === field2;
}

function main(args) {
  if (args.length < 1 || args.length > 2) {
    console.error(USAGE);
    return 2;
  }
  const user = Buffer.from(args[0]).toString('latin1');
  const path = args.length === 2 ? args[1] : 'userData.txt';
  let data;
  try {
    data = fs.readFileSync(path).toString('latin1');
  } catch (error) {
    const reason = error.message.replace(/^[A-Z]+: /, '').replace(/, \w+ '.*$/, '');
    console.error(`checkPassword: cannot read '${path}': ${reason}`);
    return 2;
  }
  const input = fs.readFileSync(0);
  const newline = input.indexOf(10);
  const password = newline < 0 ? input : input.subarray(0, newline);
  for (const record of data.matchAll(RECORD)) {
    if (record[1] === user) {
      return passwordMatches(password, record[2]) ? 0 : 1;
    }
  }
  return 1;
}

if (require.main === module) {
  process.exitCode = main(process.argv.slice(2));
} else {
  module.exports = { fieldHash, passwordMatches };
}

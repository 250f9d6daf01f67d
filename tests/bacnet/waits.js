// What the BACnet client scripts wait for, each wait with a deadline: the
// lines a child program prints, and what the client hears unasked (I-Am,
// I-Have, COV notifications), both kept in order.
'use strict';
const assert = require('node:assert/strict');
const readline = require('node:readline');

let waiters = [];
const wake = () => { waiters = waiters.filter((w) => !w()); };

// What `test` finds (anything but undefined or false), as soon as it does;
// a failure after `ms`.
function until(what, test, ms = 5000) {
  return new Promise((resolve, reject) => {
    const timer = setTimeout(() => reject(new Error(`no ${what} within ${ms} ms`)), ms);
    const check = () => {
      const found = test();
      if (found === undefined || found === false) return false;
      clearTimeout(timer);
      resolve(found);
      return true;
    };
    if (!check()) waiters.push(check);
  });
}

// Every line of a stream, kept as it comes.
function lines(stream) {
  const kept = [];
  readline.createInterface({ input: stream }).on('line', (l) => { kept.push(l); wake(); });
  return kept;
}

// hear(kind) is the client's handler of one kind of message; next(kind)
// the next one heard (that `test` takes) after it is called.
const heard = [];
const hear = (kind) => (message) => { heard.push({ kind, payload: message.payload }); wake(); };
function next(kind, test = () => true, ms = 5000) {
  const from = heard.length;
  return until(kind, () => heard.slice(from).find((h) => h.kind === kind && test(h.payload))?.payload, ms);
}

// A request the device answers with this error.
async function fails(promise, errorClass, errorCode) {
  await assert.rejects(promise, new RegExp(`Class:${errorClass} - Code:${errorCode}$`));
}

module.exports = { until, lines, heard, hear, next, fails };

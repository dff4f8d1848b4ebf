#!/usr/bin/env node
// The report template's Content-Security-Policy lets only the page's own
// script run, named by the SHA-256 of its text. This puts the hash of the
// template's script into that policy; run it after every edit of the script:
//
//   node scripts/template-hash.js [TEMPLATE]     (default: src/app/template.txt)
//   node scripts/template-hash.js --check [TEMPLATE]
//
// --check changes nothing and exits 1 when the policy's hash is out of date.
"use strict";

const crypto = require("node:crypto");
const fs = require("node:fs");
const path = require("node:path");

// A browser hashes the script's text as it parsed it, line ends made LF.
function scriptHash(template) {
  const match = /<script>([\s\S]*?)<\/script>/.exec(template);
  if (!match) throw new Error("the template has no <script> element");
  const text = match[1].replace(/\r\n?/g, "\n");
  return "sha256-" + crypto.createHash("sha256").update(text, "latin1").digest("base64");
}

const policyHash = /script-src 'sha256-[^']*'/;

function main(args) {
  const check = args[0] === "--check";
  const file = args[check ? 1 : 0] ||
               path.join(__dirname, "..", "src", "report", "template.txt");
  const template = fs.readFileSync(file, "latin1");
  if (!policyHash.test(template)) {
    console.error(`${file}: no script-src 'sha256-...' in a Content-Security-Policy`);
    return 1;
  }
  const updated = template.replace(policyHash, `script-src '${scriptHash(template)}'`);
  if (check) {
    if (updated === template) return 0;
    console.error(`${file}: the script's hash is out of date; run node scripts/template-hash.js`);
    return 1;
  }
  if (updated !== template) fs.writeFileSync(file, updated, "latin1");
  console.log(scriptHash(template));
  return 0;
}

module.exports = { scriptHash };
if (require.main === module) process.exitCode = main(process.argv.slice(2));

'use strict';
// Loads the built addon: require('kyt') gives { KytAddon }.
const path = require('node:path');
const fs = require('node:fs');

const addonPath = path.join(__dirname, 'build', 'lib', 'kyt.node');
if (!fs.existsSync(addonPath)) {
  throw new Error(`kyt: ${addonPath} is missing: build it first (npm run build)`);
}
module.exports = require(addonPath);

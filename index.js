'use strict';
// Loads the built addon: require('kyt') gives { KytAddon }.
const path = require('node:path');
const fs = require('node:fs');

const addonPath = path.join(__dirname, 'build', 'lib', 'kyt.node');
if (!fs.existsSync(addonPath)) {
  throw new Error(`kyt: ${addonPath} is missing: build it with "npm rebuild kyt" in the project that installed the ` +
    'package, or "npm run build" in its own folder');
}
module.exports = require(addonPath);

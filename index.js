'use strict';
// Loads the built addon: require('kyt') gives { KytAddon }.
const path = require('path');
module.exports = require(path.join(__dirname, 'build', 'lib', 'kyt.node'));

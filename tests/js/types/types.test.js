'use strict';
// The package's types (index.d.ts) against the built addon: a script that calls every method with its options and
// reads its results' keys compiles under strict TypeScript, and so does the reference's TypeScript (the typed promise
// form of a call); the methods the types declare are exactly the methods the addon's prototype has, each named in full
// in the API reference.
const test = require('node:test');
const assert = require('node:assert/strict');
const path = require('node:path');
const fs = require('node:fs');
const os = require('node:os');
const { spawnSync } = require('node:child_process');

const root = path.resolve(__dirname, '..', '..', '..');
const buildDir = path.resolve(root, process.env.KYT_BUILD_DIR || 'build');
const tscPath = path.join(root, 'node_modules', 'typescript', 'bin', 'tsc');

function loadTypeScript() {
  assert.ok(fs.existsSync(tscPath), 'TypeScript is missing: run scripts/setup.sh (it installs the dev dependencies)');
  return require(path.join(root, 'node_modules', 'typescript'));
}

// The method names of class KytAddon in index.d.ts, from the compiler's own parse.
function declaredMethods(ts) {
  const file = path.join(root, 'index.d.ts');
  const source = ts.createSourceFile(file, fs.readFileSync(file, 'utf8'), ts.ScriptTarget.ES2020, true);
  const names = new Set();
  for (const statement of source.statements) {
    if (!ts.isClassDeclaration(statement) || statement.name?.text !== 'KytAddon') continue;
    for (const member of statement.members) {
      if (ts.isMethodDeclaration(member)) names.add(member.name.getText(source));
    }
  }
  return names;
}

test('a script calling every method compiles under strict TypeScript against the types the package names', () => {
  loadTypeScript();
  const pkg = JSON.parse(fs.readFileSync(path.join(root, 'package.json'), 'utf8'));
  assert.equal(pkg.types, 'index.d.ts');
  const run = spawnSync(process.execPath, [tscPath, '-p', path.join(__dirname, 'tsconfig.json')], { encoding: 'utf8' });
  assert.equal(run.status, 0, `tsc:\n${run.stdout}${run.stderr}`);
});

// Each TypeScript block of docs/api.md, as a file of its own importing the package from this checkout, with the
// compiler options of the script above.
test('the TypeScript of the API reference compiles under strict TypeScript', (t) => {
  loadTypeScript();
  const docs = fs.readFileSync(path.join(root, 'docs', 'api.md'), 'utf8');
  const blocks = [...docs.matchAll(/^```ts\n([\s\S]*?)^```$/gm)].map((m) => m[1]);
  assert.ok(blocks.length > 0, 'the reference shows the typed promise form');
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'kyt-types-'));
  t.after(() => fs.rmSync(dir, { recursive: true, force: true }));
  const files = blocks.map((block, i) => {
    const file = path.join(dir, `block${i}.ts`);
    fs.writeFileSync(file, block.replaceAll("from 'kyt'", `from ${JSON.stringify(root)}`));
    return file;
  });
  fs.writeFileSync(path.join(dir, 'tsconfig.json'),
    JSON.stringify({ extends: path.join(__dirname, 'tsconfig.json'), files }));
  const run = spawnSync(process.execPath, [tscPath, '-p', path.join(dir, 'tsconfig.json')], { encoding: 'utf8' });
  assert.equal(run.status, 0, `tsc:\n${run.stdout}${run.stderr}`);
});

test('index.d.ts declares exactly the methods of the built addon; the script calls and docs/api.md names each', () => {
  const ts = loadTypeScript();
  const { KytAddon } = require(path.join(buildDir, 'lib', 'kyt.node'));
  const actual = Object.getOwnPropertyNames(KytAddon.prototype).filter((name) => name !== 'constructor').sort();
  const declared = [...declaredMethods(ts)].sort();
  assert.deepEqual(declared, actual);
  const script = fs.readFileSync(path.join(__dirname, 'every-method.ts'), 'utf8');
  const called = new Set([...script.matchAll(/\baddon\.(\w+)\(/g)].map((m) => m[1]));
  assert.deepEqual(actual.filter((name) => !called.has(name)), []);
  const docs = fs.readFileSync(path.join(root, 'docs', 'api.md'), 'utf8');
  assert.deepEqual(actual.filter((name) => !new RegExp(`\\b${name}\\b`).test(docs)), [], 'not named in docs/api.md');
});

// The console's JUnit writer against the shared fixtures: each NAME.json (a
// "job_detail" reply with verdicts) must give NAME.xml byte for byte, the
// file autotest-client --junit writes too (tst_junitreport).
// Usage: node test_report.mjs [FIXTURES_DIR]

import assert from 'node:assert/strict';
import {readdirSync, readFileSync} from 'node:fs';
import {join} from 'node:path';
import test from 'node:test';
import {fileURLToPath} from 'node:url';

import {junitXml} from '../../console/js/report.js';

const fixtures = process.argv[2] || fileURLToPath(new URL('../fixtures/junit/', import.meta.url));
const names = readdirSync(fixtures).filter((file) => file.endsWith('.json')).map((file) => file.slice(0, -5)).sort();

test('the fixtures are there', () => {
    assert.ok(names.length >= 3, `fixtures in ${fixtures}: ${names}`);
});

for (const name of names) {
    test(`${name}: the same bytes as ${name}.xml`, () => {
        const reply = JSON.parse(readFileSync(join(fixtures, `${name}.json`), 'utf8'));
        const expected = readFileSync(join(fixtures, `${name}.xml`));
        // The download encodes the text as UTF-8; a lone surrogate left in it
        // would come out as U+FFFD there too, so compare the string as well.
        const xml = junitXml(reply);
        assert.equal(xml, expected.toString('utf8'));
        assert.ok(Buffer.from(xml, 'utf8').equals(expected));
    });
}

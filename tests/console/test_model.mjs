// The console's pure modules under Node: reconnect back-off, station
// addresses and tokens, messages, the library tree and its keys, paging and
// search, the checks before a test case is saved, and the Run view's state
// after a lost connection.
// Usage: node --test tests/console/test_model.mjs

import assert from 'node:assert/strict';
import test from 'node:test';

import {hideTokens, isStationAddress, rememberStation, seenStations, splitStationUrl, withToken} from '../../console/js/address.js';
import {FIRST_DELAY_MS, LONGEST_DELAY_MS, delayText, reconnectDelay} from '../../console/js/backoff.js';
import {Catalog} from '../../console/js/catalog.js';
import {checkNames, contentProblems, scriptProblem, scriptProblemText} from '../../console/js/checks.js';
import {closeReason, explain} from '../../console/js/messages.js';
import {matchesPlan, matchesTestcase, pageOf, showingText} from '../../console/js/paging.js';
import {afterReconnect, canCancel, runStateText} from '../../console/js/runstate.js';
import {OpenFolders, buildTree, foldersOf, treeKey, visibleRows} from '../../console/js/tree.js';

class MemoryStorage {
    constructor(entries = {}) {
        this.entries = new Map(Object.entries(entries));
    }

    getItem(key) {
        return this.entries.has(key) ? this.entries.get(key) : null;
    }

    setItem(key, value) {
        this.entries.set(key, String(value));
    }
}

test('reconnect back-off: doubles from the first delay, stops at the longest, spread stays within a fifth', () => {
    const plain = [1, 2, 3, 4, 5, 6, 7, 8, 100].map((attempt) => reconnectDelay(attempt));
    assert.deepEqual(plain, [500, 1000, 2000, 4000, 8000, 16000, 30000, 30000, 30000]);
    assert.equal(reconnectDelay(0), FIRST_DELAY_MS);
    assert.equal(reconnectDelay(-3), FIRST_DELAY_MS);
    assert.equal(reconnectDelay(2.5), FIRST_DELAY_MS);
    assert.equal(reconnectDelay(3, 0), 1600);
    assert.equal(reconnectDelay(3, 1), 2400);
    assert.equal(reconnectDelay(3, 7), 2400);
    // Never past the longest delay, whatever the spread.
    assert.equal(reconnectDelay(40, 0.999), LONGEST_DELAY_MS);
    assert.deepEqual([0, 400, 1000, 1001, 30000].map(delayText), ['now', 'in 1 s', 'in 1 s', 'in 2 s', 'in 30 s']);
});

test('station addresses: the token is taken out, other parameters stay, and it goes back in for the socket', () => {
    assert.deepEqual(splitStationUrl('ws://10.0.0.5:8765/?token=s3cr%2Bt'), {address: 'ws://10.0.0.5:8765/', token: 's3cr+t'});
    assert.deepEqual(splitStationUrl(' ws://h:1/?a=1&token=x&b=2#top '), {address: 'ws://h:1/?a=1&b=2#top', token: 'x'});
    assert.deepEqual(splitStationUrl('ws://h:1'), {address: 'ws://h:1', token: ''});
    assert.deepEqual(splitStationUrl('ws://h:1/?TOKEN=%E0%A4'), {address: 'ws://h:1/', token: '%E0%A4'});
    assert.deepEqual(splitStationUrl(null), {address: '', token: ''});
    assert.equal(withToken('ws://h:1/', 'a b&c'), 'ws://h:1/?token=a%20b%26c');
    assert.equal(withToken('ws://h:1/?a=1#x', 't'), 'ws://h:1/?a=1&token=t#x');
    assert.equal(withToken('ws://h:1', ''), 'ws://h:1');
    for (const token of ['plain', 'with space', 'p&q=r', 'ünï']) {
        const {address, token: back} = splitStationUrl(withToken('ws://h:1/?a=1', token));
        assert.deepEqual([address, back], ['ws://h:1/?a=1', token]);
    }
    assert.ok(isStationAddress('wss://bench-01:8765'));
    assert.ok(!isStationAddress('http://bench-01'));
    assert.ok(!isStationAddress('ws://'));
});

test('no shown text keeps a token', () => {
    assert.equal(hideTokens('cannot reach ws://h:1/?token=abc&x=1 (is it running?)'), 'cannot reach ws://h:1/?token=•••&x=1 (is it running?)');
    assert.equal(hideTokens('"ws://h/?Token=abc" and token=def'), '"ws://h/?Token=•••" and token=•••');
    const said = explain('', 'cannot reach ws://h:1/?token=abc (is autotest-host running there?)');
    assert.ok(!JSON.stringify(said).includes('abc'), JSON.stringify(said));
    assert.ok(!closeReason(1000, 'bye ws://x/?token=abc', 'ws://x/', 'http://o').includes('abc'));
});

test('addresses seen from this browser: newest first, without tokens, a damaged entry is none', () => {
    const storage = new MemoryStorage();
    assert.deepEqual(seenStations(storage), []);
    rememberStation(storage, 'ws://a:1');
    rememberStation(storage, 'ws://b:1/?token=secret');
    rememberStation(storage, 'ws://a:1');
    assert.deepEqual(seenStations(storage), ['ws://a:1', 'ws://b:1/']);
    assert.ok(!storage.getItem('kiv.console.stations').includes('secret'));
    for (let i = 0; i < 30; ++i)
        rememberStation(storage, `ws://h${i}:1`);
    assert.equal(seenStations(storage).length, 20);
    assert.deepEqual(seenStations(new MemoryStorage({'kiv.console.stations': '{broken'})), []);
    assert.deepEqual(seenStations(new MemoryStorage({'kiv.console.stations': '[1, "ws://x:1"]'})), ['ws://x:1']);
});

test('messages: nothing found says what was not found and where to look', () => {
    assert.match(explain('plan_info', '', true).text, /no plan with that id/);
    assert.match(explain('plan_info', '', true).next, /list under Plans/);
    assert.match(explain('fetch_tc', '', true).text, /no test case/);
    assert.match(explain('job_detail', '', true).text, /no job/);
    assert.match(explain('my_plans', '', true).next, /clear them/);
    assert.match(explain('anything', '', true).text, /found nothing/);
    // The old jargon never reaches a notice.
    for (const cmd of ['plan_info', 'fetch_tc', 'job_detail', 'my_plans', 'proj_tcs', 'x'])
        assert.ok(!/empty error text/.test(JSON.stringify(explain(cmd, '', true))));
});

test('messages: host and browser texts become what happened and what to do', () => {
    const cases = [
        ['check_script', 'Local AT Server not support cmd: check_script', /does not know “check_script”/, /Update autotest-host/],
        ['', 'not connected to a station', /Not connected/, /press Connect/],
        ['my_jobs', 'connection lost: closed with code 1006', /connection to the station was lost/, /connects again by itself/],
        ['', 'cannot reach ws://h:1 (is autotest-host running there?)', /station at ws:\/\/h:1 does not answer/, /--allow-origin/],
        ['sync_plan', 'tclist has 100001 test case ids, more than the limit of 100000; the plan is unchanged',
            /100001 test cases, more than the station takes \(100000\)/, /KIV_TCLIST_LIMIT/],
        ['execute_job_local', 'URL is empty.', /no device url/, /devices\/bench-01/],
        ['', 'Forbidden: no token given', /token was refused/, /Give the token/],
        ['', "Fail to init job info: test case 4 (x): module 'Powr' is not in the device template", /module 'Powr'/, /Data\/AutoTestTpl/],
    ];
    for (const [cmd, message, text, next] of cases) {
        const said = explain(cmd, message);
        assert.match(said.text, text, message);
        assert.match(said.next, next, message);
    }
    // A script's own error about a token is no refused token.
    assert.equal(explain('', 'SyntaxError: Unexpected token }').text, 'SyntaxError: Unexpected token }');
    assert.deepEqual(explain('', 'something new'), {text: 'something new', next: ''});
    assert.match(explain('', '   ').text, /without a reason/);
    assert.match(closeReason(1006, '', 'ws://h:1', 'http://o:2'), /cannot reach ws:\/\/h:1 .*http:\/\/o:2/);
    assert.equal(closeReason(4000, '', 'ws://h:1', 'o'), 'closed with code 4000');
});

const CASES = [
    {testcaseid: 1, title: 'Supply 12 V', path: 'power/supply'},
    {testcaseid: 2, title: 'Supply 5 V', path: 'power/supply'},
    {testcaseid: 3, title: 'Battery', path: 'power'},
    {testcaseid: 4, title: 'Tx power', path: 'radio/tx'},
    {testcaseid: 5, title: 'No path', path: ''},
    {testcaseid: 6, title: 'Upper', path: 'Power/Other'},
];

test('the tree: folders by path, sorted, each counting the cases below it', () => {
    const root = buildTree(CASES);
    assert.equal(root.count, 6);
    assert.deepEqual([...root.folders.keys()], ['power', 'Power', 'radio']);
    const power = root.folders.get('power');
    assert.deepEqual([power.key, power.count, power.cases.map((tc) => tc.testcaseid)], ['power', 3, [3]]);
    assert.deepEqual([power.folders.get('supply').key, power.folders.get('supply').count], ['power/supply', 2]);
    assert.deepEqual(root.cases.map((tc) => tc.testcaseid), [5]);
    assert.deepEqual([...foldersOf([CASES[0], CASES[3]])].sort(), ['power', 'power/supply', 'radio', 'radio/tx']);
});

test('the tree: collapsed below the first level, a folder shows its rows only when open', () => {
    const root = buildTree(CASES);
    const closed = visibleRows(root, () => false);
    assert.deepEqual(closed.map((row) => row.key), ['power', 'Power', 'radio', 'tc:5']);
    assert.ok(closed.every((row) => row.level === 1 && row.parent === null));
    const open = new Set(['power', 'power/supply']);
    const rows = visibleRows(root, (key) => open.has(key));
    assert.deepEqual(rows.map((row) => [row.key, row.level, row.parent]), [
        ['power', 1, null], ['power/supply', 2, 'power'], ['tc:1', 3, 'power/supply'], ['tc:2', 3, 'power/supply'],
        ['tc:3', 2, 'power'], ['Power', 1, null], ['radio', 1, null], ['tc:5', 1, null]]);
    // A closed folder hides what lies below it, even folders left open.
    assert.deepEqual(visibleRows(root, (key) => key === 'power/supply').map((row) => row.key), ['power', 'Power', 'radio', 'tc:5']);
});

test('the tree: arrow keys move, open and close as in an ARIA tree', () => {
    const root = buildTree(CASES);
    const open = new Set(['power', 'power/supply']);
    const isOpen = (key) => open.has(key);
    const rows = visibleRows(root, isOpen);
    const at = (key) => rows.findIndex((row) => row.key === key);
    const go = (key, from) => treeKey(key, rows, at(from), isOpen);
    assert.equal(rows[go('ArrowDown', 'power').focus].key, 'power/supply');
    assert.equal(rows[go('ArrowDown', 'tc:5').focus].key, 'tc:5');
    assert.equal(rows[go('ArrowUp', 'power').focus].key, 'power');
    assert.equal(rows[go('ArrowUp', 'tc:3').focus].key, 'tc:2');
    assert.equal(rows[go('Home', 'tc:3').focus].key, 'power');
    assert.equal(rows[go('End', 'power').focus].key, 'tc:5');
    // Right: opens a closed folder, enters an open one; nothing on a case.
    assert.equal(go('ArrowRight', 'radio').open, 'radio');
    assert.equal(rows[go('ArrowRight', 'power').focus].key, 'power/supply');
    assert.deepEqual(go('ArrowRight', 'tc:1'), {focus: at('tc:1'), open: null, close: null, activate: null});
    // Left: closes an open folder, else goes to the parent; nothing at the top.
    assert.equal(go('ArrowLeft', 'power/supply').close, 'power/supply');
    assert.equal(rows[go('ArrowLeft', 'tc:2').focus].key, 'power/supply');
    assert.equal(rows[go('ArrowLeft', 'tc:3').focus].key, 'power');
    assert.deepEqual(go('ArrowLeft', 'tc:5'), {focus: at('tc:5'), open: null, close: null, activate: null});
    // Enter and Space open a case, or toggle a folder.
    assert.equal(go('Enter', 'tc:1').activate, at('tc:1'));
    assert.equal(go(' ', 'radio').open, 'radio');
    assert.equal(go('Enter', 'power').close, 'power');
    assert.equal(go('a', 'power'), null);
    assert.equal(treeKey('ArrowDown', [], 0, isOpen), null);
});

test('the tree: open folders are remembered, a damaged or refusing storage is survived', () => {
    const storage = new MemoryStorage();
    const first = new OpenFolders(storage, 'open');
    first.set('power', true);
    first.set('radio', true);
    first.set('power', false);
    assert.deepEqual([...new OpenFolders(storage, 'open').keys], ['radio']);
    assert.equal(new OpenFolders(new MemoryStorage({open: 'nope'}), 'open').has('radio'), false);
    const refusing = {getItem: () => null, setItem: () => { throw new Error('quota'); }};
    const folders = new OpenFolders(refusing, 'open');
    folders.set('power', true);
    assert.ok(folders.has('power'));
});

test('search finds a test case by any words of its title, path or id, ignoring case', () => {
    const find = (query) => CASES.filter((tc) => matchesTestcase(tc, query)).map((tc) => tc.testcaseid);
    assert.deepEqual(find(''), [1, 2, 3, 4, 5, 6]);
    assert.deepEqual(find('supply 12'), [1]);
    assert.deepEqual(find('POWER/SUPPLY'), [1, 2]);
    assert.deepEqual(find('#4'), [4]);
    assert.deepEqual(CASES.concat({testcaseid: 40, title: 't'}, {testcaseid: 14, title: 'x'}).filter((tc) => matchesTestcase(tc, '#4'))
        .map((tc) => tc.testcaseid), [4]);
    assert.deepEqual(find('#4 power'), [4]);
    assert.deepEqual(find('#4 supply'), []);
    assert.deepEqual(find('radio tx power'), [4]);
    assert.deepEqual(find('nothing-like-it'), []);
    const plan = {planid: 12, name: 'Nightly radio', tags: ['night', 'rf'], author: 'ana'};
    assert.ok(matchesPlan(plan, '#12'));
    assert.ok(matchesPlan(plan, 'rf RADIO'));
    assert.ok(!matchesPlan(plan, 'power'));
    // Members a record lacks are no words of it.
    assert.ok(!matchesPlan({planid: 1}, 'undefined'));
    assert.ok(!matchesTestcase({testcaseid: 1, title: 'x'}, 'null'));
});

test('paging: pages are clamped, and the text says how many are shown of how many', () => {
    const list = Array.from({length: 125}, (_, index) => index + 1);
    const first = pageOf(list, 1, 50);
    assert.deepEqual([first.items.length, first.items[0], first.pages, first.text], [50, 1, 3, 'showing 1–50 of 125']);
    const last = pageOf(list, 3, 50);
    assert.deepEqual([last.items, last.from, last.to, last.text], [list.slice(100), 101, 125, 'showing 101–125 of 125']);
    assert.equal(pageOf(list, 99, 50).page, 3);
    assert.equal(pageOf(list, -1, 50).page, 1);
    assert.equal(pageOf(list, 'x', 50).page, 1);
    assert.equal(pageOf([1, 2, 3], 1, 50).text, 'showing 3 of 3');
    assert.deepEqual([pageOf([], 1, 50).text, pageOf([], 1, 50).pages], ['showing 0 of 0', 1]);
    // The station has more than was read.
    assert.equal(pageOf(list, 1, 200, 20000).text, 'showing 125 of 125 read (the station has 20000)');
    assert.equal(showingText(1, 50, 125), 'showing 1–50 of 125');
});

const DEVICE_TEMPLATES = [
    {name: 'smoke', content: [{title: 'Supply', MODULE_NAME: 'Power', GROUP_NAME: 'Supply', DATA: []},
        {MODULE_NAME: 'Preset', GROUP_NAME: 'Only', DATA: []}]},
    {name: 'bench-device', content: [{MODULES: [
        {NAME: 'Power', CASE_GROUPS: [{NAME: 'Supply', ITEMS: [{INDEX: 0, INPUT_NAME: 'Voltage'}, {INDEX: 1, INPUT_NAME: 'Current'}]},
            {NAME: 'Battery', ITEMS: []}]},
        {NAME: 'Radio', CASE_GROUPS: [{NAME: 'Tx', ITEMS: [{INDEX: 1, INPUT_NAME: 'Power'}]}]},
        {NAME: 'Bare'}]}]},
];

test('checks before save: module, group and DATA indexes against the device templates only', () => {
    const catalog = new Catalog(null);
    catalog.templates = DEVICE_TEMPLATES;
    const devices = catalog.modules(true);
    assert.ok(catalog.modules().has('Preset'));
    assert.ok(!devices.has('Preset'));
    assert.deepEqual(checkNames(devices, {module: 'Power', group: 'Supply', data: [{INDEX: 0, VALUE: 12}, {INDEX: 1, VALUE: 2}]}), []);
    const [module] = checkNames(devices, {module: 'Powr', group: 'Supply', data: []});
    assert.equal(module.field, 'module');
    assert.match(module.message, /“Powr”.*Power, Radio, Bare/);
    const [group] = checkNames(devices, {module: 'Radio', group: 'Rx', data: []});
    assert.deepEqual([group.field, /Its groups: Tx\./.test(group.message)], ['group', true]);
    const [data] = checkNames(devices, {module: 'Power', group: 'Supply', data: [{INDEX: 0}, {INDEX: 7}, {INDEX: 7}, {INDEX: 9}]});
    assert.equal(data.field, 'data');
    assert.match(data.message, /INDEX 7, 9\. Its items: 0 Voltage, 1 Current\./);
    // What the templates do not describe is not judged.
    assert.deepEqual(checkNames(devices, {module: 'Bare', group: 'Anything', data: [{INDEX: 3}]}), []);
    assert.deepEqual(checkNames(devices, {module: 'Power', group: 'Battery', data: [{INDEX: 3}]}), []);
    assert.deepEqual(checkNames(devices, {module: 'Power', group: 'Supply', data: {INDEX: 9}}), []);
    assert.deepEqual(checkNames(new Map(), {module: 'Anything', group: 'x', data: []}), []);
});

test('checks before save: what the host says of a script and of the names', () => {
    assert.equal(scriptProblem({result: 'ok', cmd: 'check_script'}), null);
    const refused = {result: 'The script does not compile (line 3: SyntaxError: Unexpected token \'}\'). Correct it, then check it again.',
        error: "SyntaxError: Unexpected token '}'", line: 3};
    const problem = scriptProblem(refused);
    assert.deepEqual(problem, {line: 3, message: "SyntaxError: Unexpected token '}'"});
    assert.equal(scriptProblemText(problem), "Line 3: SyntaxError: Unexpected token '}'");
    // A refusal with no engine text of its own (too long a script) says its own.
    assert.deepEqual(scriptProblem({result: 'The script has 9 characters, more than the 8 ...', line: 'x'}),
        {line: 0, message: 'The script has 9 characters, more than the 8 ...'});
    assert.equal(scriptProblemText({line: 0, message: 'no line'}), 'no line');

    assert.deepEqual(contentProblems({result: 'ok', template: 'bench-device'}), []);
    assert.deepEqual(contentProblems({result: 'The station has no device template to check the names against.'}), []);
    assert.deepEqual(contentProblems({result: '3 problems; ...', problems: [
        {field: 'MODULE_NAME', value: 'Powr', message: "Module 'Powr' is not in device template 'bench-device'."},
        {field: 'DATA[1].INDEX', value: 7, message: 'DATA[1] sets item INDEX 7 ...'},
        {field: 'DATA[2].INDEX', value: 9, message: 'DATA[2] sets item INDEX 9 ...'},
        {field: 'GROUP_NAME', value: 'x', message: 'no group x'},
        {field: 'SOMETHING', value: 1, message: 'other'},
        null, {field: 'GROUP_NAME'}]}), [
        {field: 'module', message: "Module 'Powr' is not in device template 'bench-device'."},
        {field: 'data', message: 'DATA[1] sets item INDEX 7 ...'},
        {field: 'group', message: 'no group x'}]);
});

test('the Run view after a lost connection: no job is shown running, none can be cancelled, it is found again', () => {
    const job = {jobid: 11, phase: 'running', url: 'devices/bench-01', rows: [], waiting: null};
    assert.deepEqual(runStateText(job), ['Job 11 running on devices/bench-01', '']);
    assert.ok(canCancel(job, true));
    assert.ok(!canCancel(job, false));
    const lost = {...job, phase: 'lost', note: ''};
    const [text, kind] = runStateText(lost);
    assert.match(text, /Job 11: the connection to the station is lost\. The job goes on there/);
    assert.equal(kind, 'bad');
    assert.ok(!canCancel(lost, true));
    assert.ok(!canCancel({...job, jobid: 0}, true));
    assert.equal(afterReconnect(lost, {data: [{jobid: 11, status: 2}]}), 'follow');
    assert.equal(afterReconnect(lost, {data: [{jobid: 11, status: 3}]}), 'finish');
    assert.equal(afterReconnect(lost, {data: [{jobid: 12, status: 2}]}), 'finish');
    assert.equal(afterReconnect(lost, {result: 'ok'}), 'finish');
    assert.equal(afterReconnect({...lost, phase: 'finished'}, {data: []}), 'none');
    assert.equal(afterReconnect(null, {data: []}), 'none');
    // A host that stopped during the job: its record's reason is the job's.
    const ended = {jobid: 11, phase: 'finished', rows: [{verdict: 'pass'}, {verdict: 'not run'}],
        verdict: {result: false, remark: 'Host stopped during the job', reason: 'Host stopped during the job', whole: true}};
    assert.deepEqual(runStateText(ended), ['Job 11 finished: 1 passed, 1 not run', 'bad']);
    assert.deepEqual(runStateText(null)[1], '');
    assert.match(runStateText({phase: 'waiting', jobid: 3, waiting: {device: 'bench-01', ahead: 2}})[0], /waiting for device bench-01, 2 ahead/);
});

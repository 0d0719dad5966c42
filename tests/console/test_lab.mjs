// The Lab view's logic (console/js/lab.js) and the history and compare of
// reports (console/js/compare.js), from server replies as
// docs/lab-protocol.md shapes them.
// Usage: node test_lab.mjs

import assert from 'node:assert/strict';
import test from 'node:test';

import {compareJobs, historySummary} from '../../console/js/compare.js';
import {agoText, boardRows, endedJobs, queueRequest, queueRows, redact, runningRows} from '../../console/js/lab.js';

const NOW = Date.parse('2026-12-06T19:02:13.514Z');

test('the board: stations by name, devices by url, offline stations make offline devices', () => {
    const rows = boardRows({
        stations: [
            {name: 'bench-b', online: false, last_seen: '2026-12-06T18:00:00.000Z', version: ''},
            {name: 'bench-a', online: true, last_seen: '2026-12-06T19:02:03.514Z', version: '0.1.0'},
        ],
        devices: [
            {station: 'bench-a', url: 'devices/02', tags: [], state: 'busy', jobid: 12},
            {station: 'bench-a', url: 'devices/01', tags: ['radio', '5g'], state: 'free'},
            {station: 'bench-a', url: 'devices/03', tags: [], state: 'busy'},
            {station: 'bench-b', url: 'devices/09', tags: ['radio'], state: 'free'},
        ],
    }, NOW);
    assert.deepEqual(rows.map((station) => [station.name, station.online, station.ago, station.free]),
        [['bench-a', true, '10 s ago', 1], ['bench-b', false, '1 h ago', 0]]);
    assert.deepEqual(rows[0].devices.map((device) => [device.url, device.label, device.jobid]),
        [['devices/01', 'free', null], ['devices/02', 'busy with job 12', 12], ['devices/03', 'busy', null]]);
    assert.deepEqual(rows[0].devices[0].tags, ['radio', '5g']);
    assert.equal(rows[1].devices[0].status, 'offline');
});

test('the board: a device whose station is not listed, and replies with members missing', () => {
    const rows = boardRows({stations: [], devices: [{station: 'ghost', url: 'd', state: 'free'}]}, NOW);
    assert.deepEqual(rows.map((station) => [station.name, station.online, station.ago]), [['ghost', false, 'never']]);
    assert.equal(rows[0].devices[0].status, 'offline');
    assert.deepEqual(boardRows({result: 'ok'}, NOW), []);
    assert.deepEqual(boardRows(null, NOW), []);
});

test('last seen: a clock ahead of the page’s is no time in the future', () => {
    assert.equal(agoText('2026-12-06T19:03:00.000Z', NOW), '0 s ago');
    assert.equal(agoText('2026-12-04T19:02:13.514Z', NOW), '2 d ago');
});

test('the queue keeps the server’s order and says what each job waits for', () => {
    const {rows, total, hidden} = queueRows({
        queue: [
            {jobid: 14, planid: 7, priority: 5, tags: ['radio', '5g'], starter: 'alice', queued: '2026-12-06T19:00:00Z'},
            {jobid: 12, planid: 7, priority: 0, device: 'devices/bench-01', station: 'bench-a', starter: 'ci'},
            {jobid: 13, planid: 8, device: 'devices/bench-02'},
        ],
        queue_total: 1203,
    });
    assert.deepEqual(rows.map((row) => [row.position, row.jobid, row.priority, row.target]), [
        [1, 14, 5, 'any device tagged radio, 5g'],
        [2, 12, 0, 'devices/bench-01 on bench-a'],
        [3, 13, 0, 'devices/bench-02'],
    ]);
    assert.deepEqual([total, hidden], [1203, 1200]);
    assert.deepEqual(queueRows({queue: []}), {rows: [], total: 0, hidden: 0});
});

test('running jobs: oldest first, with their share done', () => {
    const rows = runningRows({running: [
        {jobid: 9, planid: 1, station: 'bench-a', device: 'devices/01', total: 3, finished: 1},
        {jobid: 4, planid: 1, station: 'bench-b', device: 'devices/02', total: 0, finished: 0},
        {jobid: 5, planid: 2, station: 'bench-b', device: 'devices/03', total: 2, finished: 5},
    ]});
    assert.deepEqual(rows.map((row) => [row.jobid, row.finished, row.total, row.percent]),
        [[4, 0, 0, 0], [5, 2, 2, 100], [9, 1, 3, 33]]);
});

test('jobs that ended between two reads', () => {
    const before = {queue: [{jobid: 3}, {jobid: 4}], running: [{jobid: 1}, {jobid: 2}], queue_total: 2};
    // 1 ended, 3 started, 4 was cancelled in the queue.
    assert.deepEqual(endedJobs(before, {queue: [], running: [{jobid: 2}, {jobid: 3}], queue_total: 0}), [1, 4]);
    // A queue longer than the reply lists may only have pushed 4 past its end.
    assert.deepEqual(endedJobs(before, {queue: [{jobid: 3}], running: [{jobid: 2}], queue_total: 5}), [1]);
    assert.deepEqual(endedJobs(before, before), []);
});

test('the queue form: by tags', () => {
    assert.deepEqual(queueRequest({planid: '7', target: 'tags', tags: ' radio, 5g,,radio ', priority: '', station: 'bench-a'}),
        {request: {planid: 7, priority: 0, tags: ['radio', '5g']}});
    assert.match(queueRequest({planid: '7', target: 'tags', tags: ' , '}).error, /at least one tag/);
    const many = Array.from({length: 51}, (_, i) => `t${i}`).join(',');
    assert.match(queueRequest({planid: '7', target: 'tags', tags: many}).error, /50 tags/);
    assert.match(queueRequest({planid: '7', target: 'tags', tags: 'x'.repeat(101)}).error, /100 characters/);
});

test('the queue form: on a device, the plan and the priority', () => {
    assert.deepEqual(queueRequest({planid: '7', target: 'device', device: ' devices/bench-01 ', station: 'bench-a', priority: '-1000'}),
        {request: {planid: 7, priority: -1000, device: 'devices/bench-01', station: 'bench-a'}});
    assert.deepEqual(queueRequest({planid: '7', target: 'device', device: 'd', station: ' ', priority: '1000'}),
        {request: {planid: 7, priority: 1000, device: 'd'}});
    assert.match(queueRequest({planid: '7', target: 'device', device: ''}).error, /device url/);
    assert.match(queueRequest({planid: '7', target: 'device', device: 'd'.repeat(501)}).error, /500/);
    for (const priority of ['1001', '2.5', 'high'])
        assert.match(queueRequest({planid: '7', target: 'tags', tags: 'a', priority}).error, /priority/, priority);
    for (const planid of ['', '0', 'x'])
        assert.match(queueRequest({planid, target: 'tags', tags: 'a'}).error, /plan/, planid);
});

test('the token never reaches a message', () => {
    assert.equal(redact('Forbidden: s3cret is not the token of s3cret', 's3cret'), 'Forbidden: ••• is not the token of •••');
    assert.equal(redact('cannot reach http://srv', ''), 'cannot reach http://srv');
});

// A "job_detail" reply with verdicts: [testcaseid, status] per case in order.
function detail(jobid, planid, cases) {
    return {job: {jobid, planid, status: 3, fin: cases.length, total: cases.length, verdict: {result: true, remark: '', reason: ''}},
        jobdetail: cases.map(([id, status], seqidx) => ({seqidx, testcaseid: id, title: `case ${id}`, path: 'p',
            content: '{}', status: status === 'pass' ? 'pass' : 'fail', verdict: {status, remark: status === 'fail' ? 'low' : '', ms: 1}}))};
}

test('compare: the cases whose verdict changed, the older job first whichever is given first', () => {
    const older = detail(10, 7, [[1, 'pass'], [2, 'pass'], [3, 'fail'], [4, 'not run']]);
    const newer = detail(12, 7, [[1, 'pass'], [2, 'fail'], [3, 'pass'], [4, 'error']]);
    for (const result of [compareJobs(older, newer), compareJobs(newer, older)]) {
        assert.deepEqual([result.before, result.after, result.planid, result.same], [10, 12, 7, 1]);
        assert.deepEqual(result.changed.map((row) => [row.id, row.before, row.after]),
            [[2, 'pass', 'fail'], [3, 'fail', 'pass'], [4, 'not run', 'error']]);
        assert.equal(result.changed[0].remark, 'low');
    }
});

test('compare: a plan changed between the jobs, a case held twice', () => {
    const older = detail(10, 7, [[1, 'pass'], [5, 'pass'], [1, 'fail']]);
    const newer = detail(11, 7, [[1, 'pass'], [1, 'pass'], [6, 'fail']]);
    const result = compareJobs(older, newer);
    assert.deepEqual(result.changed.map((row) => [row.id, row.before, row.after]),
        [[1, 'fail', 'pass'], [6, null, 'fail'], [5, 'pass', null]]);
    assert.equal(result.same, 1);
});

test('compare: refused for two plans or one job', () => {
    assert.match(compareJobs(detail(10, 7, []), detail(11, 8, [])).error, /plan 7.*plan 8/);
    assert.match(compareJobs(detail(10, 7, []), detail(10, 7, [])).error, /two different jobs/);
});

test('history: marks oldest first, the rate and the flaky flag as the server says', () => {
    const data = Array.from({length: 14}, (_, i) => ({jobid: 30 - i, station: 'bench-a', device: 'devices/01',
        time: `2026-12-06 10:${String(59 - i).padStart(2, '0')}:00`, status: i % 3 === 0 ? 'fail' : 'pass'}));
    const summary = historySummary({result: 'ok', tcid: 5, runs: 14, passed: 9, pass_rate: 0.643, flaky: true, data});
    assert.equal(summary.marks.length, 10);
    assert.deepEqual(summary.marks.map((mark) => mark.jobid), [21, 22, 23, 24, 25, 26, 27, 28, 29, 30]);
    assert.equal(summary.marks[9].status, 'fail');
    assert.equal(summary.marks[9].title, 'job 30 · 2026-12-06 10:59:00 · fail · bench-a devices/01');
    assert.deepEqual([summary.rateText, summary.flaky, summary.runs, summary.passed], ['64%', true, 14, 9]);
});

test('history: no judged run, and a reply without counts', () => {
    const none = historySummary({runs: 0, passed: 0, pass_rate: null, flaky: false, data: [{jobid: 3, status: 'not run'}]});
    assert.deepEqual([none.rateText, none.rate, none.marks.map((mark) => mark.status)], ['–', null, ['not run']]);
    const bare = historySummary({data: [{jobid: 3, status: 'pass'}, {jobid: 2, status: 'error'}, {jobid: 1, status: 'not run'}]});
    assert.deepEqual([bare.runs, bare.passed, bare.rateText, bare.flaky], [2, 1, '50%', false]);
    assert.deepEqual(historySummary(undefined).marks, []);
});

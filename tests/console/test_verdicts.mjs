// How the console reads verdicts (console/js/report.js): the rows, counters
// and banner of a report, and how the pass-rate chart classes a job, from the
// host's stored verdicts and, for an older host, from the plain fields.
// Usage: node test_verdicts.mjs [FIXTURES_DIR]

import assert from 'node:assert/strict';
import {readFileSync} from 'node:fs';
import {join} from 'node:path';
import test from 'node:test';
import {fileURLToPath} from 'node:url';

import {chartPoint, durationText, entryVerdict, jobSummary, jobVerdictOf, markCause, reportVerdict, rowsFromDetails,
    tally} from '../../console/js/report.js';

const fixtures = process.argv[2] || fileURLToPath(new URL('../fixtures/junit/', import.meta.url));
const fixture = (name) => JSON.parse(readFileSync(join(fixtures, `${name}.json`), 'utf8'));

const REASON = "Fail to init job info: test case 2 (Broken): module 'Powr' is not in the device template";

// What the host answers for a job whose second case names a module the
// device does not have.
function failedJob() {
    const detail = (seq, id, title, verdict) => ({seqidx: seq, status: 'fail', testcaseid: id, title, path: 'power',
        content: '{"MODULE_NAME":"Powr"}', verdict});
    return {
        job: {jobid: 9, planid: 1, status: 3, fin: 2, total: 2, verdict: {result: false, remark: 'Fail to init job info', reason: REASON}},
        jobdetail: [detail(1, 2, 'Broken', {status: 'error', remark: REASON, ms: -1}),
            detail(0, 1, 'Supply', {status: 'not run', remark: '', ms: -1})],
    };
}

function passedJob(result = true, remark = '') {
    return {
        job: {jobid: 10, planid: 1, status: 3, fin: 2, total: 2, verdict: {result, remark, reason: ''}},
        jobdetail: [{seqidx: 0, status: 'pass', testcaseid: 1, content: '{}', verdict: {status: 'pass', remark: '', ms: 12}},
            {seqidx: 1, status: 'pass', testcaseid: 2, content: '{}', verdict: {status: 'pass', remark: '', ms: 1500}}],
    };
}

function reportOf(reply) {
    const verdict = jobVerdictOf(reply.job);
    const rows = markCause(rowsFromDetails(reply.jobdetail, reply.job), verdict);
    return {verdict, rows, summary: jobSummary(verdict, rows)};
}

test('a job that failed as a whole: the reason above the cases, the case it failed in marked', () => {
    const {rows, summary} = reportOf(failedJob());
    assert.deepEqual(rows.map((row) => [row.seq, row.verdict, row.cause]), [[0, 'not run', false], [1, 'error', true]]);
    assert.equal(rows[1].remark, REASON);
    assert.equal(rows[1].module, 'Powr');
    assert.deepEqual(summary, {kind: 'error', text: `Job failed: ${REASON}`});
    assert.deepEqual(tally(rows), {pass: 0, fail: 0, error: 1, 'not run': 1, running: 0, pending: 0});
});

test('the cause is the error case left without a remark, not an earlier case that erred on its own', () => {
    const reply = fixture('failed-job');
    reply.jobdetail[0].verdict = {status: 'error', remark: 'Script Exception: LINE ( 1 ) Error: bad', ms: 3};
    const {rows} = reportOf(reply);
    assert.deepEqual(rows.map((row) => row.cause), [false, true, false]);
    assert.equal(rows[0].remark, 'Script Exception: LINE ( 1 ) Error: bad');
    assert.match(rows[1].remark, /^Fail to init job info: test case 12/);
});

test('a job-level verdict false fails the job even when every case passed', () => {
    const {summary} = reportOf(passedJob(false));
    assert.deepEqual(summary, {kind: 'fail', text: 'Job failed: the job-level script returned false'});
    assert.equal(reportOf(passedJob(false, 'Script Exception: x')).summary.text, 'Job failed: Script Exception: x');
    assert.equal(reportOf(passedJob(true, 'No Script to Exec')).summary.kind, 'pass');
    const running = fixture('running');
    assert.equal(reportOf(running).summary.kind, 'running');
});

test('the chart: only a job that passed as a whole is a pass bar, and the title says why', () => {
    const failed = failedJob();
    const point = chartPoint(failed.job, rowsFromDetails(failed.jobdetail, failed.job));
    assert.deepEqual([point.kind, point.pass, point.total], ['error', 0, 2]);
    assert.equal(point.title, `job 9: 0 of 2 test cases passed (0%). Job failed: ${REASON}`);

    const scriptFalse = passedJob(false);
    const full = chartPoint(scriptFalse.job, rowsFromDetails(scriptFalse.jobdetail, scriptFalse.job));
    assert.deepEqual([full.kind, full.pass, full.total], ['fail', 2, 2]);
    assert.match(full.title, /job-level script returned false/);

    const passed = passedJob();
    assert.equal(chartPoint(passed.job, rowsFromDetails(passed.jobdetail, passed.job)).kind, 'pass');
    const oneFailed = passedJob();
    oneFailed.jobdetail[1].verdict = {status: 'fail', remark: '', ms: 4};
    assert.equal(chartPoint(oneFailed.job, rowsFromDetails(oneFailed.jobdetail, oneFailed.job)).kind, 'fail');
});

test('progress events: the event\'s verdict wins over the plain fields, which judge an older host', () => {
    assert.deepEqual(entryVerdict({id: 1, result: false, remark: ''}, {status: 'error', remark: 'Set Data Ack: no', ms: 7}),
        {status: 'error', remark: 'Set Data Ack: no', ms: 7});
    const plain = (result, remark) => entryVerdict({id: 1, result, remark}).status;
    assert.equal(plain(true, ''), 'pass');
    assert.equal(plain(false, ''), 'fail');
    assert.equal(plain(false, 'Fatal Error'), 'error');
    assert.equal(plain(false, 'Script Exception: LINE ( 2 ) 5'), 'error');
    assert.equal(plain(false, 'Fail to Convert id data to name data'), 'error');
    assert.equal(entryVerdict({id: 1, result: false, remark: 'x', verdict: {status: 'bogus'}}).status, 'fail');
});

test('an older host\'s report and records: whole-job failures told from the plain fields', () => {
    const fatal = {jobid: 3, result: false, remark: "Device Can't Enter AT Mode",
        tcs: [{id: 1, result: false, remark: 'Fatal Error'}, {id: 2, result: false, remark: 'Fatal Error'}]};
    assert.deepEqual(reportVerdict(fatal), {result: false, remark: "Device Can't Enter AT Mode",
        reason: "Device Can't Enter AT Mode", whole: true});
    const checkFailed = {jobid: 3, result: false, remark: '', tcs: [{id: 1, result: true, remark: ''}, {id: 2, result: false, remark: ''}]};
    assert.equal(reportVerdict(checkFailed).whole, false);

    const job = {jobid: 4, status: 3, fin: 1, total: 3};
    const details = [0, 1, 2].map((seq) => ({seqidx: seq, status: seq === 0 ? 'pass' : 'fail', testcaseid: seq + 1, content: '{}'}));
    assert.deepEqual(rowsFromDetails(details, job).map((row) => row.verdict), ['pass', 'error', 'not run']);
    assert.deepEqual(jobVerdictOf(job), {result: false, remark: '', reason: '', whole: true});
    assert.match(jobSummary(jobVerdictOf(job), []).text, /keeps no reason/);
    assert.equal(jobVerdictOf({status: 2, fin: 0, total: 3}).result, null);
    assert.deepEqual(rowsFromDetails(details, {...job, fin: 3}).map((row) => row.verdict), ['pass', 'fail', 'fail']);
});

test('durations from "ms"', () => {
    assert.deepEqual([12, 0, 1500, 12345, -1, undefined].map(durationText), ['12 ms', '0 ms', '1.50 s', '12.3 s', '', '']);
});

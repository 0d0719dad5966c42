// Job reports: the verdicts of a job and of its test cases, the pass-rate
// classification and JUnit XML.

import {parseJsonObject} from './dom.js';

// A test case's verdict as the host stores it (requests with "verdicts": true).
// The Run view adds "pending" for a case its job has not reached yet.
export const CASE_STATUSES = ['pass', 'fail', 'error', 'not run', 'running'];

// An older host keeps no verdicts: these remarks say that a case could not
// be judged, as the host itself reads such a report.
const ERROR_REMARKS = ['Fatal Error', 'Cancelled'];
const ERROR_PREFIXES = ['Script Exception', 'Script is not callable', 'Set Data Ack', 'Fail to Convert id data to name data'];

function plainStatus(passed, remark) {
    if (passed)
        return 'pass';
    return ERROR_REMARKS.includes(remark) || ERROR_PREFIXES.some((prefix) => remark.startsWith(prefix)) ? 'error' : 'fail';
}

function storedCaseVerdict(verdict) {
    if (!isObject(verdict) || !CASE_STATUSES.includes(verdict.status))
        return null;
    return {status: verdict.status, remark: text(verdict.remark), ms: msOf(verdict.ms)};
}

// A report entry ({id, result, remark}, with its "verdict" when the host
// keeps them); `given` is the "verdict" a JobProgress event sends beside "tc".
export function entryVerdict(entry, given = null) {
    const record = isObject(entry) ? entry : {};
    const remark = text(record.remark);
    return storedCaseVerdict(given) || storedCaseVerdict(record.verdict)
        || {status: plainStatus(record.result === true, remark), remark, ms: -1};
}

// One row per job detail of a "job_detail" reply, in order. Without stored
// verdicts only the plain fields are there, and the test case's "content"
// hides the detail's remark; a finished job that stopped short of its last
// case ("fin" < "total") stopped in case "fin", and those after it did not run.
export function rowsFromDetails(details, job = null) {
    const list = Array.isArray(details) ? details : [];
    const record = isObject(job) ? job : {};
    const stopped = record.status === 3 && Number.isInteger(record.fin) && record.fin < list.length ? record.fin : -1;
    return list
        .map((detail, index) => {
            const item = isObject(detail) ? detail : {};
            return {item, seq: Number.isInteger(item.seqidx) ? item.seqidx : index};
        })
        .sort((a, b) => a.seq - b.seq)
        .map(({item, seq}) => {
            let verdict = storedCaseVerdict(item.verdict);
            if (!verdict) {
                const remark = item.testcaseid === undefined ? text(item.content) : '';
                let status = item.status === 'running' ? 'running' : plainStatus(item.status === 'pass', remark);
                if (stopped >= 0 && seq >= stopped)
                    status = seq === stopped ? 'error' : 'not run';
                verdict = {status, remark, ms: -1};
            }
            const content = parseJsonObject(text(item.content));
            return {
                seq,
                id: item.testcaseid,
                title: text(item.title),
                path: text(item.path),
                module: content ? text(content.MODULE_NAME) : '',
                verdict: verdict.status,
                remark: verdict.remark,
                ms: verdict.ms,
                cause: false,
            };
        });
}

function storedJobVerdict(verdict) {
    const result = typeof verdict.result === 'boolean' ? verdict.result : null;
    const reason = text(verdict.reason);
    return {result, remark: text(verdict.remark), reason, whole: result === false && reason !== ''};
}

const UNKNOWN = Object.freeze({result: null, remark: '', reason: '', whole: false});

// The job-level verdict of a job record ("job" of "job_detail", an element of
// "my_jobs" or "my_reports"): `result` true, false or null (running, waiting),
// `whole` when the job failed as a whole, `reason` why.
export function jobVerdictOf(job) {
    const record = isObject(job) ? job : {};
    if (isObject(record.verdict))
        return storedJobVerdict(record.verdict);
    // An older host: a finished job passes as a job, its cases telling what
    // failed, unless it stopped short of its last case.
    if (record.status !== 3)
        return {...UNKNOWN};
    const stopped = Number.isInteger(record.fin) && Number.isInteger(record.total) && record.fin < record.total;
    return {result: !stopped, remark: '', reason: '', whole: stopped};
}

// The same from a job's report ("VALUE" of "JobReport" or "ExecuteJob"). An
// older host marks a whole-job failure with "Fatal Error" or "Cancelled" on
// every case, its reason in the report's remark.
export function reportVerdict(value) {
    const record = isObject(value) ? value : {};
    if (isObject(record.verdict))
        return storedJobVerdict(record.verdict);
    if (typeof record.result !== 'boolean')
        return {...UNKNOWN};
    const remark = text(record.remark);
    const tcs = Array.isArray(record.tcs) ? record.tcs : [];
    const whole = !record.result && tcs.every((tc) => isObject(tc) && ERROR_REMARKS.includes(tc.remark));
    return {result: record.result, remark, reason: whole ? remark || 'the report has no result' : '', whole};
}

// Marks the case a whole-job failure happened in: the "error" case that
// carries the reason, or the one left without a remark, which then shows it.
export function markCause(rows, verdict) {
    if (!verdict.whole)
        return rows;
    const cause = rows.find((row) => row.verdict === 'error' && row.remark === verdict.reason)
        || rows.find((row) => row.verdict === 'error' && row.remark === '');
    return rows.map((row) => (row === cause ? {...row, cause: true, remark: row.remark || verdict.reason} : row));
}

export function tally(rows) {
    const counts = {pass: 0, fail: 0, error: 0, 'not run': 0, running: 0, pending: 0};
    for (const row of rows)
        counts[row.verdict] = (counts[row.verdict] || 0) + 1;
    return counts;
}

// The job in one word and one sentence: "error" when it failed as a whole,
// "fail" when its own verdict is false or a case did not pass (a job-level
// script that returned false fails a job whose cases all passed), "running"
// while it has no verdict, "pass" otherwise.
export function jobSummary(verdict, rows) {
    const total = rows.length;
    const passed = rows.filter((row) => row.verdict === 'pass').length;
    if (verdict.whole)
        return {kind: 'error', text: `Job failed: ${verdict.reason || 'it stopped before its last test case (the host keeps no reason)'}`};
    if (verdict.result === false)
        return {kind: 'fail', text: `Job failed: ${verdict.remark || 'the job-level script returned false'}`};
    if (verdict.result === null)
        return {kind: 'running', text: 'Job running'};
    if (passed < total)
        return {kind: 'fail', text: `Job failed: ${total - passed} of ${total} test cases did not pass`};
    return {kind: 'pass', text: `Job passed: ${total === 1 ? 'its test case' : `all ${total} test cases`} passed`};
}

// One bar of the pass-rate chart: its height the share of the cases that
// passed, its kind (and colour) the job's as a whole, its title why.
export function chartPoint(job, rows) {
    const summary = jobSummary(jobVerdictOf(job), rows);
    const pass = rows.filter((row) => row.verdict === 'pass').length;
    const total = rows.length;
    const percent = total ? Math.round((100 * pass) / total) : 0;
    return {jobid: job.jobid, pass, total, kind: summary.kind,
        title: `job ${job.jobid}: ${pass} of ${total} test cases passed (${percent}%). ${summary.text}`};
}

// A case's duration; empty when the host does not know it.
export function durationText(ms) {
    if (typeof ms !== 'number' || !(ms >= 0))
        return '';
    return ms < 1000 ? `${ms} ms` : `${(ms / 1000).toFixed(ms < 10000 ? 2 : 1)} s`;
}

// The same in attributes and text, except for the white space an attribute
// would normalise. Characters XML 1.0 has no place for (most C0 controls,
// U+FFFE, U+FFFF, a lone surrogate) become U+FFFD. autotest-client escapes
// the same way, so that both write the same bytes.
const XML_ENTITIES = {'&': '&amp;', '<': '&lt;', '>': '&gt;', '"': '&quot;', "'": '&apos;', '\r': '&#13;'};

function escapeXml(value, attribute = true) {
    const string = String(value);
    let out = '';
    for (let i = 0; i < string.length; ++i) {
        const c = string.charCodeAt(i);
        const next = i + 1 < string.length ? string.charCodeAt(i + 1) : 0;
        if (c >= 0xD800 && c <= 0xDBFF && next >= 0xDC00 && next <= 0xDFFF) {
            out += string[i] + string[i + 1];
            ++i;
        } else if (Object.hasOwn(XML_ENTITIES, string[i])) {
            out += XML_ENTITIES[string[i]];
        } else if (c === 0x9 || c === 0xA) {
            out += attribute ? `&#${c};` : string[i];
        } else if (c < 0x20 || c === 0xFFFE || c === 0xFFFF || (c >= 0xD800 && c <= 0xDFFF)) {
            out += '\uFFFD';
        } else {
            out += string[i];
        }
    }
    return out;
}

// Ids as integers; anything that is not a number is left empty.
function integerText(value) {
    if (typeof value !== 'number')
        return '';
    const n = Math.trunc(value);
    return Math.abs(n) <= Number.MAX_SAFE_INTEGER ? String(n) : '';
}

// A case's time; -1 when it is not known.
function msOf(value) {
    if (typeof value !== 'number')
        return -1;
    const n = Math.trunc(value);
    return n >= 0 && n <= Number.MAX_SAFE_INTEGER ? n : -1;
}

// Written from the integer, so both writers agree to the digit.
function secondsText(ms) {
    const rest = ms % 1000;
    return `${(ms - rest) / 1000}.${String(rest).padStart(3, '0')}`;
}

function text(value) {
    return typeof value === 'string' ? value : '';
}

function isObject(value) {
    return value !== null && typeof value === 'object' && !Array.isArray(value);
}

// JUnit XML of one job from its "job_detail" reply asked with "verdicts":
// one suite, one case per test case in order and one for the job's own
// verdict. docs/verdicts.md describes the layout; autotest-client --junit
// writes the same bytes from the same reply.
export function junitXml(reply) {
    const job = isObject(reply.job) ? reply.job : {};
    // A host without verdicts: the cases' plain status, and a finished job
    // passes as a job, its cases telling what failed.
    const verdict = isObject(job.verdict) ? job.verdict : {result: job.status === 3 ? true : null};
    const result = typeof verdict.result === 'boolean' ? String(verdict.result) : '';
    const remark = text(verdict.remark);
    const reason = text(verdict.reason);
    const details = (Array.isArray(reply.jobdetail) ? reply.jobdetail : [])
        .map((detail, index) => {
            const record = isObject(detail) ? detail : {};
            return {record, order: typeof record.seqidx === 'number' ? record.seqidx : index};
        })
        .sort((a, b) => a.order - b.order)
        .map(({record}) => record);

    const counts = {pass: 0, failure: 0, error: 0, skipped: 0};
    let totalMs = 0;
    const cases = [];
    function addCase(name, classname, ms, status, message) {
        const time = Math.max(ms, 0);
        totalMs += time;
        const open = `    <testcase name="${escapeXml(name)}" classname="${escapeXml(classname)}" time="${secondsText(time)}"`;
        if (status === 'pass') {
            ++counts.pass;
            cases.push(`${open}/>`);
        } else if (status === 'not run' || status === 'running') {
            ++counts.skipped;
            cases.push(`${open}>`, `      <skipped message="${status}"/>`, '    </testcase>');
        } else {
            const tag = status === 'fail' ? 'failure' : 'error';
            ++counts[tag];
            cases.push(`${open}>`,
                `      <${tag} message="${escapeXml(message)}" type="${tag}">${escapeXml(message, false)}</${tag}>`,
                '    </testcase>');
        }
    }

    for (const detail of details) {
        const caseVerdict = isObject(detail.verdict) ? detail.verdict : {status: detail.status};
        const status = text(caseVerdict.status);
        const caseRemark = text(caseVerdict.remark);
        const name = text(detail.title) || `test case ${integerText(detail.testcaseid)}`;
        const parts = text(detail.path).split('/').filter((part) => part !== '');
        const message = status === 'fail' ? caseRemark || 'failed' : caseRemark || reason || 'error';
        addCase(name, parts.length ? parts.join('.') : 'autotest', msOf(caseVerdict.ms), status, message);
    }
    if (result === '')
        addCase('job-level verdict', 'autotest.job', 0, 'running', '');
    else if (result === 'false' && reason)
        addCase('job-level verdict', 'autotest.job', 0, 'error', reason);
    else if (result === 'false')
        addCase('job-level verdict', 'autotest.job', 0, 'fail', remark || 'job-level script returned false');
    else
        addCase('job-level verdict', 'autotest.job', 0, 'pass', '');

    const stime = text(job.stime).replace(' ', 'T');
    const tally = `tests="${counts.pass + counts.failure + counts.error + counts.skipped}" failures="${counts.failure}"`
        + ` errors="${counts.error}" skipped="${counts.skipped}" time="${secondsText(totalMs)}"`;
    const properties = [['jobid', integerText(job.jobid)], ['planid', integerText(job.planid)], ['starter', text(job.starter)],
        ['result', result], ['remark', remark], ['reason', reason]];
    return ['<?xml version="1.0" encoding="UTF-8"?>',
        `<testsuites name="autotest" ${tally}>`,
        `  <testsuite name="job ${integerText(job.jobid)}" id="0" package="plan ${integerText(job.planid)}" ${tally}`
            + (stime ? ` timestamp="${escapeXml(stime)}">` : '>'),
        '    <properties>',
        ...properties.map(([name, value]) => `      <property name="${name}" value="${escapeXml(value)}"/>`),
        '    </properties>',
        ...cases,
        '  </testsuite>',
        '</testsuites>',
        ''].join('\n');
}

export function download(fileName, text, type = 'application/xml') {
    const url = URL.createObjectURL(new Blob([text], {type}));
    const link = document.createElement('a');
    link.href = url;
    link.download = fileName;
    document.body.append(link);
    link.click();
    link.remove();
    setTimeout(() => URL.revokeObjectURL(url), 10000);
}

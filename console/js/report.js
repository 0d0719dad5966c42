// Job reports: verdicts, the remarks this console saw, JUnit XML.

import {parseJsonObject} from './dom.js';

// The host marks a job that could not run with these remarks on every case.
const FATAL_REMARKS = new Set(['Fatal Error', 'job fail']);

export function verdictOf(status, remark) {
    if (status === 'pass' || status === true)
        return 'pass';
    if (status === 'running')
        return 'running';
    if (FATAL_REMARKS.has(remark))
        return 'fatal';
    if (remark === 'Cancelled')
        return 'cancelled';
    return 'fail';
}

// "job_detail" puts the test case's keys beside the detail's, so the test
// case's "content" replaces the detail's remark (and "remark" is the test
// case's own note). The remark is only there when no test case is attached;
// otherwise the console uses what it saw while the job ran, and what the
// job's "fin" tells: a finished job with "fin" 0 failed as a whole ("job
// fail"), and cases past "fin" were "not run".
export function rowsFromDetails(details, seenRemarks = {}, job = null) {
    const finished = job && job.status === 3 && Number.isInteger(job.fin) ? job.fin : -1;
    return details.map((detail, index) => {
        const seq = Number.isInteger(detail.seqidx) ? detail.seqidx : index;
        let remark = '';
        if (detail.testcaseid === undefined && typeof detail.content === 'string')
            remark = detail.content;
        else if (seenRemarks[seq] !== undefined)
            remark = seenRemarks[seq];
        else if (detail.status === 'fail' && finished >= 0 && seq >= finished)
            remark = finished === 0 ? 'job fail' : 'not run';
        const content = parseJsonObject(detail.content || '');
        return {
            seq,
            id: detail.testcaseid,
            title: detail.title || '',
            path: detail.path || '',
            module: content ? content.MODULE_NAME : '',
            status: detail.status,
            remark,
            verdict: verdictOf(detail.status, remark),
        };
    });
}

export function tally(rows) {
    const counts = {pass: 0, fail: 0, fatal: 0, cancelled: 0, running: 0, pending: 0};
    for (const row of rows)
        counts[row.verdict] = (counts[row.verdict] || 0) + 1;
    return counts;
}

// Remarks seen in progress events, kept per station and job so that a report
// opened later still shows them.
const REMARKS_KEY = 'kiv.console.remarks';
const REMARKS_KEPT = 200;

function loadRemarks() {
    try {
        return JSON.parse(localStorage.getItem(REMARKS_KEY)) || {};
    } catch {
        return {};
    }
}

export function rememberRemark(station, jobId, seq, remark) {
    const all = loadRemarks();
    const key = `${station}#${jobId}`;
    const entry = all[key] || {};
    entry[seq] = remark;
    delete all[key];
    all[key] = entry;
    const keys = Object.keys(all);
    for (const old of keys.slice(0, Math.max(0, keys.length - REMARKS_KEPT)))
        delete all[old];
    localStorage.setItem(REMARKS_KEY, JSON.stringify(all));
}

export function seenRemarks(station, jobId) {
    return loadRemarks()[`${station}#${jobId}`] || {};
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

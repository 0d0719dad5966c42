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

function escapeXml(text) {
    return String(text).replace(/[<>&'"]/g, (c) => ({'<': '&lt;', '>': '&gt;', '&': '&amp;', "'": '&apos;', '"': '&quot;'}[c]))
        // Characters XML 1.0 cannot carry at all.
        .replace(/[\u0000-\u0008\u000B\u000C\u000E-\u001F\uFFFE\uFFFF]/g, '');
}

function seconds(from, to) {
    const start = Date.parse((from || '').replace(' ', 'T'));
    const end = Date.parse((to || '').replace(' ', 'T'));
    return Number.isFinite(start) && Number.isFinite(end) && end >= start ? ((end - start) / 1000).toFixed(3) : '0';
}

// JUnit XML in the layout of the Ant schema that CI systems read: one suite
// per job, one case per test case; a failed case has <failure>, a case that
// never ran properly (fatal, cancelled) has <error>.
export function junitXml(job, rows, {suiteName = '', hostname = 'localhost'} = {}) {
    const counts = tally(rows);
    const errors = counts.fatal + counts.cancelled;
    const name = suiteName || `job ${job.jobid} (plan ${job.planid})`;
    const stamp = /^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d$/.test(job.stime || '')
        ? job.stime.replace(' ', 'T') : new Date().toISOString().slice(0, 19);
    const lines = ['<?xml version="1.0" encoding="UTF-8"?>', '<testsuites>',
        `  <testsuite package="kiv" id="0" name="${escapeXml(name)}" hostname="${escapeXml(hostname)}"`
        + ` timestamp="${stamp}" tests="${rows.length}" failures="${counts.fail}" errors="${errors}"`
        + ` time="${seconds(job.stime, job.ftime)}">`,
        '    <properties>',
        `      <property name="jobid" value="${escapeXml(job.jobid)}"/>`,
        `      <property name="planid" value="${escapeXml(job.planid)}"/>`,
        '    </properties>'];
    for (const row of rows) {
        const title = row.title || `test case ${row.id}`;
        const classname = (row.path || 'testcases').replace(/\//g, '.');
        const open = `    <testcase name="${escapeXml(title)}" classname="${escapeXml(classname)}" time="0"`;
        const remark = row.remark || '';
        if (row.verdict === 'pass') {
            lines.push(`${open}/>`);
        } else {
            const tag = row.verdict === 'fail' ? 'failure' : 'error';
            const message = remark || (row.verdict === 'fail' ? 'failed' : row.verdict);
            lines.push(`${open}>`,
                `      <${tag} message="${escapeXml(message)}" type="${row.verdict}">${escapeXml(message)}</${tag}>`,
                '    </testcase>');
        }
    }
    lines.push('    <system-out/>', '    <system-err/>', '  </testsuite>', '</testsuites>', '');
    return lines.join('\n');
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

// Two jobs of one plan side by side, and a test case's history
// ("tc_history"). No DOM here, so that Node can test it.

import {rowsFromDetails} from './report.js';

function isObject(value) {
    return value !== null && typeof value === 'object' && !Array.isArray(value);
}

function text(value) {
    return typeof value === 'string' ? value : '';
}

// Test cases keyed by id and occurrence: a plan may hold one case twice, and
// its second run compares with the other job's second.
function keyed(rows) {
    const seen = new Map();
    return rows.map((row) => {
        const n = (seen.get(row.id) || 0) + 1;
        seen.set(row.id, n);
        return [`${row.id}#${n}`, row];
    });
}

// The cases whose verdict differs between two "job_detail" replies (asked
// with "verdicts"), the older job as "before". A case only one job has
// (the plan changed in between) counts as changed, its other verdict null.
// {error} when the jobs are not of the same plan.
export function compareJobs(first, second) {
    const a = isObject(first) && isObject(first.job) ? first : {job: {}};
    const b = isObject(second) && isObject(second.job) ? second : {job: {}};
    if (a.job.jobid === b.job.jobid)
        return {error: 'Choose two different jobs'};
    if (a.job.planid !== b.job.planid)
        return {error: `Job ${a.job.jobid} is of plan ${a.job.planid}, job ${b.job.jobid} of plan ${b.job.planid}`};
    const [older, newer] = a.job.jobid < b.job.jobid ? [a, b] : [b, a];
    const before = new Map(keyed(rowsFromDetails(older.jobdetail, older.job)));
    const after = keyed(rowsFromDetails(newer.jobdetail, newer.job));
    const changed = [];
    let same = 0;
    for (const [key, row] of after) {
        const old = before.get(key);
        before.delete(key);
        if (old && old.verdict === row.verdict) {
            ++same;
            continue;
        }
        changed.push({id: row.id, seq: row.seq, title: row.title || (old && old.title) || '', path: row.path,
            before: old ? old.verdict : null, after: row.verdict, remark: row.remark});
    }
    for (const old of before.values())
        changed.push({id: old.id, seq: old.seq, title: old.title, path: old.path, before: old.verdict, after: null,
            remark: ''});
    return {planid: newer.job.planid, before: older.job.jobid, after: newer.job.jobid, changed, same};
}

// A test case's history for its row in a report: the last `marks` verdicts,
// oldest first as they read left to right, the pass rate and whether the
// server calls it flaky. A host that sends no counts gets them from the list.
export function historySummary(reply, marks = 10) {
    const record = isObject(reply) ? reply : {};
    const entries = (Array.isArray(record.data) ? record.data : []).filter(isObject);
    const judged = entries.filter((entry) => ['pass', 'fail', 'error'].includes(entry.status));
    const runs = Number.isInteger(record.runs) ? record.runs : judged.length;
    const passed = Number.isInteger(record.passed) ? record.passed : judged.filter((entry) => entry.status === 'pass').length;
    let rate = null;
    if (typeof record.pass_rate === 'number')
        rate = record.pass_rate;
    else if (!('pass_rate' in record) && runs > 0)
        rate = passed / runs;
    const where = (entry) => [text(entry.station), text(entry.device)].filter((part) => part).join(' ');
    return {
        runs,
        passed,
        rate,
        rateText: rate === null ? '–' : `${Math.round(rate * 100)}%`,
        flaky: record.flaky === true,
        marks: entries.slice(0, marks).reverse().map((entry) => {
            const status = text(entry.status) || 'not run';
            return {status, jobid: entry.jobid,
                title: [`job ${entry.jobid}`, text(entry.time), status, where(entry)].filter((part) => part).join(' · ')};
        }),
    };
}

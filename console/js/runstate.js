// The Run view's job in words, and what to do with it when the station is
// back after a lost connection. No DOM here, so that Node can test it.

import {jobSummary, tally} from './report.js';

// [text, kind] of the state line for the job the view follows (null: none).
// phase: "starting", "running", "finished", "refused" (not started),
// "lost" (the connection went while it ran).
export function runStateText(job) {
    if (!job)
        return ['Pick a plan and a device, then start.', ''];
    switch (job.phase) {
    case 'starting':
        return ['Starting…', ''];
    case 'refused':
        return [`Not started: ${job.note}`, 'bad'];
    case 'lost':
        return [`Job ${job.jobid}: the connection to the station is lost. `
            + `The job goes on there; the console follows it again once it is back${job.note ? ` (${job.note})` : ''}.`, 'bad'];
    case 'finished': {
        const counts = tally(job.rows);
        const parts = [`${counts.pass} passed`, ...['fail', 'error', 'not run'].filter((key) => counts[key])
            .map((key) => `${counts[key]} ${key === 'fail' ? 'failed' : key}`)];
        const kind = jobSummary(job.verdict, job.rows).kind;
        return [`Job ${job.jobid} finished: ${parts.join(', ')}`, kind === 'pass' ? 'good' : 'bad'];
    }
    default:
        if (job.waiting) {
            const {device, ahead} = job.waiting;
            const queue = Number.isInteger(ahead) ? `, ${ahead} ahead` : '';
            return [`Job ${job.jobid} waiting for device ${device}${queue}`, 'waiting'];
        }
        return [`Job ${job.jobid} running on ${job.url}`, ''];
    }
}

// Whether a job can still be cancelled from the page: only while the
// station is there to hear it and the job runs or waits.
export function canCancel(job, connected) {
    return Boolean(job && connected && job.jobid && job.phase === 'running');
}

// After a reconnect, from "my_jobs": "follow" when the job still runs or
// waits, "finish" when it has ended (its record says how, "Host stopped
// during the job" for one whose host went away), "none" without a job.
export function afterReconnect(job, myJobs) {
    if (!job || !job.jobid || !['running', 'lost'].includes(job.phase))
        return 'none';
    const data = myJobs && Array.isArray(myJobs.data) ? myJobs.data : [];
    const entry = data.find((item) => item && item.jobid === job.jobid);
    return entry && entry.status !== 3 ? 'follow' : 'finish';
}

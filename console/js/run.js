// Run: start a stored plan on a device ("execute_job_local" with "progress"
// and "verdicts"), follow it with the events and "my_jobs", show the verdicts
// as they come, the job's own verdict at the end, and cancel it ("CancelJob").

import {act, badge, clear, counterList, field, h, notify, scrollTable, verdictCell} from './dom.js';
import {durationText, entryVerdict, jobSummary, jobVerdictOf, markCause, reportVerdict, rowsFromDetails,
    tally} from './report.js';
import {allPlans} from './plans.js';
import {afterReconnect, canCancel, runStateText} from './runstate.js';
import {explain} from './messages.js';

// The host's reason for not starting a job, in the words of a notice.
function explainText(error) {
    const said = explain(error.cmd || '', error.message, error.empty);
    return said.next ? `${said.text} ${said.next}` : said.text;
}

const DEVICE_KEY = 'kiv.console.device';
const POLL_MS = 400;

// The host holds one job per device, named by the url's last segment.
function deviceOf(url) {
    return url.split('/').filter((part) => part !== '').pop() || url;
}

export function createRunView(ctx) {
    const plans = new Map();   // planid -> plan
    // {jobid, planid, url, seq, rows, done, total, phase, note, waiting, verdict, reported, station}
    // phase: "starting", "running", "finished", "refused" (not started), "lost"
    let job = null;
    let pollTimer = 0;

    const planSelect = h('select', {name: 'plan', required: true});
    const planCount = h('span', {class: 'field-hint', id: 'run-plan-count'});
    const device = h('input', {type: 'text', name: 'device', required: true,
        value: localStorage.getItem(DEVICE_KEY) || 'devices/bench-01'});
    const startButton = h('button', {type: 'submit', class: 'primary', name: 'start'}, '▶ Start');
    const cancelButton = h('button', {type: 'button', class: 'danger', name: 'cancel', disabled: true}, 'Cancel job');
    const stateLine = h('p', {class: 'run-state', id: 'run-state', role: 'status'}, '');
    const banner = h('div', {class: 'job-banner', id: 'run-banner', role: 'status', hidden: true});
    const fill = h('div', {class: 'bar-fill'});
    const barLabel = h('span', {class: 'bar-label'}, '');
    const bar = h('div', {class: 'bar', id: 'run-progress', role: 'progressbar', 'aria-label': 'Test cases done',
        'aria-valuemin': 0, 'aria-valuemax': 0, 'aria-valuenow': 0}, fill, barLabel);
    const counters = h('div', {class: 'counters', id: 'run-counters'});
    const table = h('tbody', {id: 'run-verdicts'});
    const reportButton = h('button', {type: 'button', name: 'open-report', hidden: true}, 'Open the report →');

    const element = h('section', {id: 'run'},
        h('div', {class: 'panel'},
            h('div', {class: 'panel-head'}, h('h1', {}, 'Run a plan')),
            h('form', {class: 'run-form', onsubmit: act((event) => { event.preventDefault(); return start(); })},
                field('Plan', planSelect, planCount), field('Device url', device, 'the device the controller drives'),
                h('div', {class: 'actions'}, startButton, cancelButton))),
        h('div', {class: 'panel'},
            h('div', {class: 'panel-head'}, h('h2', {}, 'Progress'), reportButton),
            stateLine, banner, bar, counters,
            scrollTable('Verdicts of the job',
                h('thead', {}, h('tr', {}, ['#', 'Test case', 'Path', 'Verdict', 'Time', 'Remark']
                    .map((title) => h('th', {scope: 'col'}, title)))),
                table)));

    cancelButton.addEventListener('click', act(async () => {
        if (!canCancel(job, ctx.station.connected))
            return;
        const reply = await ctx.call('CancelJob', {jobid: job.jobid});
        notify(`Cancelled ${reply.cancelled ?? 0} job${reply.cancelled === 1 ? '' : 's'}`, 'info');
    }));
    reportButton.addEventListener('click', () => job && ctx.go('results', job.jobid));

    async function loadPlans(preselect) {
        const found = await allPlans(ctx);
        plans.clear();
        for (const plan of found.plans)
            plans.set(plan.planid, plan);
        if (preselect && !plans.has(preselect))
            plans.set(preselect, await ctx.call('plan_info', {planid: preselect}));
        const chosen = preselect || Number(planSelect.value) || 0;
        planCount.textContent = found.all ? `${plans.size} plan${plans.size === 1 ? '' : 's'} on this station`
            : `${plans.size} plan${plans.size === 1 ? '' : 's'} of the tags seen here (this host lists plans by tag only)`;
        clear(planSelect, h('option', {value: ''}, plans.size ? 'Choose a plan…' : 'No plans yet: create one under Plans'),
            [...plans.values()].sort((a, b) => b.planid - a.planid).map((plan) =>
                h('option', {value: String(plan.planid), selected: plan.planid === chosen},
                    `#${plan.planid} ${plan.name} [${(plan.tags || [])[0] || ''}]`)));
    }

    function render() {
        const rows = job ? job.rows : [];
        const total = job ? job.total : 0;
        const done = job ? Math.min(job.done, total) : 0;
        const [stateText, stateKind] = runStateText(job);
        cancelButton.disabled = !canCancel(job, ctx.station.connected);
        startButton.disabled = Boolean(job && job.phase === 'starting');
        stateLine.textContent = stateText;
        stateLine.className = `run-state ${stateKind}`;
        bar.setAttribute('aria-valuemax', total);
        bar.setAttribute('aria-valuenow', done);
        fill.style.width = total ? `${(100 * done) / total}%` : '0';
        barLabel.textContent = total ? `${done} / ${total}` : '';
        const counts = tally(rows);
        const finished = job && job.phase === 'finished';
        const summary = finished ? jobSummary(job.verdict, rows) : null;
        bar.classList.toggle('has-failures', counts.fail + counts.error > 0 || (summary !== null && summary.kind !== 'pass'));
        banner.hidden = !summary;
        if (summary) {
            banner.className = `job-banner ${summary.kind}`;
            banner.dataset.kind = summary.kind;
            clear(banner, badge(summary.kind), h('span', {class: 'banner-text'}, summary.text));
        }
        clear(counters, counterList(counts));
        const live = job && job.phase === 'running' && !job.waiting;
        let runningShown = false;
        clear(table, rows.map((row, index) => {
            let verdict = row.verdict;
            if (verdict === 'pending' && live && !runningShown) {
                verdict = 'running';
                runningShown = true;
            }
            return h('tr', {class: row.cause ? 'cause' : null, dataset: {verdict}},
                h('td', {class: 'num'}, index + 1),
                h('td', {}, row.title || `test case ${row.id}`, h('span', {class: 'muted small'}, ` #${row.id}`)),
                h('td', {class: 'muted'}, row.path),
                verdictCell(verdict, row.cause),
                h('td', {class: 'num'}, durationText(row.ms)),
                h('td', {class: 'remark'}, row.remark || (verdict === 'pass' || verdict === 'fail' ? h('span', {class: 'muted'}, '–') : '')));
        }));
    }

    async function start() {
        const planid = Number(planSelect.value);
        const url = device.value.trim();
        if (!planid || !url)
            return;
        if (job && (job.phase === 'starting' || job.phase === 'running')) {
            notify({text: `Job ${job.jobid} is still running.`, next: 'Wait for it to end, or cancel it first.'});
            return;
        }
        localStorage.setItem(DEVICE_KEY, url);
        const members = await ctx.call('plan_tcs', {planid});
        const testcases = Array.isArray(members.data) ? members.data : [];
        job = {jobid: 0, planid, url, seq: 0, done: 0, total: testcases.length, phase: 'starting', note: '',
            waiting: null, verdict: null, reported: null, station: ctx.station.url,
            rows: testcases.map((tc, index) => ({seq: index, id: tc.testcaseid, title: tc.title, path: tc.path,
                verdict: 'pending', remark: '', ms: -1, cause: false}))};
        const current = job;
        reportButton.hidden = true;
        render();
        const plan = plans.get(planid) || {};
        const request = ctx.call('execute_job_local', {planid, url, projectid: plan.projectid ?? 0,
            starter: 'console', progress: true, verdicts: true}, (message) => onMessage(current, message));
        current.seq = request.seq;
        render();
        let reply;
        try {
            reply = await request;
        } catch (error) {
            current.phase = 'refused';
            current.note = explainText(error);
            render();
            throw error;
        }
        current.jobid = reply.jobid;
        // An event may have said the job is over before this reply was read.
        if (current.phase === 'starting')
            current.phase = 'running';
        render();
        poll(current);
    }

    function onMessage(current, message) {
        if (message.EVENT === 'JobWaiting') {
            current.waiting = {device: typeof message.device === 'string' ? message.device : deviceOf(current.url),
                ahead: Number.isInteger(message.ahead) ? message.ahead : null};
        } else if (message.EVENT === 'JobProgress') {
            current.waiting = null;
            const tc = message.tc || {};
            let index = Number(message.done) - 1;
            if (!(index >= 0 && index < current.rows.length && current.rows[index].id === tc.id))
                index = current.rows.findIndex((row) => row.verdict === 'pending' && row.id === tc.id);
            if (index >= 0)
                applyVerdict(current.rows[index], entryVerdict(tc, message.verdict));
            if (Number.isInteger(message.total) && message.total > 0)
                current.total = message.total;
            current.done = Math.max(current.done, Number(message.done) || 0);
        } else if (message.VALUE && Array.isArray(message.VALUE.tcs)) {
            // The report: its verdicts replace what the events showed (a job
            // that failed as a whole may undo a case an event showed passing).
            message.VALUE.tcs.forEach((tc, index) => {
                if (current.rows[index])
                    applyVerdict(current.rows[index], entryVerdict(tc));
            });
            current.done = Math.max(current.done, message.VALUE.tcs.length);
            current.reported = reportVerdict(message.VALUE);
            current.waiting = null;
            // Recorded: "job_detail" has the job's final records now.
            if (message.EVENT === 'JobReport' && message.recorded === true && current.jobid)
                act(() => finish(current))();
        }
        if (current === job)
            render();
    }

    function applyVerdict(row, verdict) {
        row.verdict = verdict.status;
        row.remark = verdict.remark;
        row.ms = verdict.ms;
    }

    // "my_jobs" lists the job until its results are stored, "waiting" while
    // its device is held by another job; then "job_detail" has the final
    // verdicts, also when no event came.
    function poll(current) {
        clearTimeout(pollTimer);
        pollTimer = setTimeout(act(async () => {
            if (current !== job || current.phase !== 'running')
                return;
            let running;
            try {
                const reply = await ctx.call('my_jobs', {verdicts: true});
                running = (reply.data || []).find((item) => item.jobid === current.jobid);
            } catch (error) {
                if (current.phase === 'running')
                    loseTrack(current, ctx.station.connected ? error.message : '');
                // A lost connection has its own notice; the job is followed
                // again when the station is back.
                if (ctx.station.connected)
                    throw error;
                return;
            }
            if (current.phase !== 'running')
                return;
            if (running && running.status !== 3) {
                if (running.waiting === true)
                    current.waiting = current.waiting || {device: deviceOf(current.url), ahead: null};
                else if (running.waiting === false)
                    current.waiting = null;
                current.done = Math.max(current.done, Number(running.fin) || 0);
                render();
                poll(current);
                return;
            }
            await finish(current);
        }), POLL_MS);
    }

    // The station went away while the job ran: nothing on the page says it
    // runs (no running row, no Cancel) until the station answers again.
    function loseTrack(current, note) {
        clearTimeout(pollTimer);
        current.phase = 'lost';
        current.note = note;
        current.waiting = null;
        if (current === job)
            render();
    }

    // Back on the station: the job still running is followed again, one that
    // ended meanwhile (or with its host) shows what its record says.
    let resuming = false;
    let resumeAgain = false;
    async function resume(current) {
        if (resuming) {
            // Asked again meanwhile (the mode changed): once more after this.
            resumeAgain = true;
            return;
        }
        if (!ctx.station.connected || current.phase !== 'lost')
            return;
        resuming = true;
        resumeAgain = false;
        try {
            const reply = await ctx.call('my_jobs', {verdicts: true});
            const what = afterReconnect(current, reply);
            if (what === 'follow') {
                current.phase = 'running';
                current.note = '';
                render();
                poll(current);
            } else if (what === 'finish') {
                await finish(current);
            }
        } catch (error) {
            if (current.phase === 'lost') {
                current.note = explainText(error);
                render();
            }
        } finally {
            resuming = false;
        }
        if (resumeAgain && current.phase === 'lost')
            await resume(current);
    }

    async function finish(current) {
        if (current.phase === 'finished' || current.finishing)
            return;
        current.finishing = true;
        ctx.station.unwatch(current.seq);
        let failure = null;
        try {
            const reply = await ctx.call('job_detail', {jobid: current.jobid, verdicts: true});
            const rows = rowsFromDetails(reply.jobdetail, reply.job);
            if (rows.length)
                current.rows = rows;
            // A host that keeps no verdicts: the report said more than the record.
            if (reply.job && (reply.job.verdict || !current.reported))
                current.verdict = jobVerdictOf(reply.job);
            current.total = current.rows.length;
            current.done = current.total;
        } catch (error) {
            failure = error;
        }
        current.finishing = false;
        // Without a record and without the job's own report there is no
        // outcome to show: the job stays "lost" until the station can say.
        if (failure && (!ctx.station.connected || !current.reported)) {
            loseTrack(current, ctx.station.connected ? explainText(failure) : '');
            if (ctx.station.connected)
                throw failure;
            return;
        }
        current.phase = 'finished';
        current.waiting = null;
        current.verdict = current.verdict || current.reported || {result: true, remark: '', reason: '', whole: false};
        current.rows = markCause(current.rows, current.verdict);
        reportButton.hidden = false;
        if (current === job)
            render();
        if (failure)
            throw failure;
    }

    ctx.on((what) => {
        if (what === 'connected')
            plans.clear();
        if (what === 'lost' && job && job.phase === 'running')
            loseTrack(job, '');
        if ((what === 'connected' || what === 'mode') && job && job.phase === 'lost' && ctx.mode)
            act(() => resume(job))();
    });

    render();
    return {
        element,
        async show(planid) {
            await loadPlans(typeof planid === 'number' ? planid : 0);
        },
    };
}

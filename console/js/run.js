// Run: start a stored plan on a device ("execute_job_local" with "progress"),
// follow it with the progress events and "my_jobs", show the verdicts as they
// come and cancel it ("CancelJob").

import {act, badge, clear, field, h, notify} from './dom.js';
import {rememberRemark, rowsFromDetails, seenRemarks, tally, verdictOf} from './report.js';
import {knownTags, plansByTag} from './plans.js';

const DEVICE_KEY = 'kiv.console.device';
const POLL_MS = 400;

export function createRunView(ctx) {
    const plans = new Map();   // planid -> plan
    let job = null;            // {jobid, planid, seq, rows, done, total, finished, station}
    let pollTimer = 0;

    const planSelect = h('select', {name: 'plan', required: true});
    const device = h('input', {type: 'text', name: 'device', required: true,
        value: localStorage.getItem(DEVICE_KEY) || 'devices/bench-01'});
    const startButton = h('button', {type: 'submit', class: 'primary', name: 'start'}, '▶ Start');
    const cancelButton = h('button', {type: 'button', class: 'danger', name: 'cancel', disabled: true}, 'Cancel job');
    const stateLine = h('p', {class: 'run-state', id: 'run-state'}, 'Pick a plan and a device, then start.');
    const fill = h('div', {class: 'bar-fill'});
    const barLabel = h('span', {class: 'bar-label'}, '');
    const bar = h('div', {class: 'bar', id: 'run-progress', role: 'progressbar', 'aria-valuemin': 0,
        'aria-valuemax': 0, 'aria-valuenow': 0}, fill, barLabel);
    const counters = h('div', {class: 'counters', id: 'run-counters'});
    const table = h('tbody', {id: 'run-verdicts'});
    const reportButton = h('button', {type: 'button', name: 'open-report', hidden: true}, 'Open the report →');

    const element = h('section', {id: 'run'},
        h('div', {class: 'panel'},
            h('div', {class: 'panel-head'}, h('h2', {}, 'Run a plan')),
            h('form', {class: 'run-form', onsubmit: act((event) => { event.preventDefault(); return start(); })},
                field('Plan', planSelect), field('Device url', device, 'the device the controller drives'),
                h('div', {class: 'actions'}, startButton, cancelButton))),
        h('div', {class: 'panel'},
            h('div', {class: 'panel-head'}, h('h2', {}, 'Progress'), reportButton),
            stateLine, bar, counters,
            h('table', {class: 'grid-table'},
                h('thead', {}, h('tr', {}, h('th', {}, '#'), h('th', {}, 'Test case'), h('th', {}, 'Path'),
                    h('th', {}, 'Verdict'), h('th', {}, 'Remark'))),
                table)));

    cancelButton.addEventListener('click', act(async () => {
        if (!job)
            return;
        const reply = await ctx.call('CancelJob', {jobid: job.jobid});
        notify(`Cancelled ${reply.cancelled ?? 0} job${reply.cancelled === 1 ? '' : 's'}`, 'info');
    }));
    reportButton.addEventListener('click', () => job && ctx.go('results', job.jobid));

    async function loadPlans(preselect) {
        for (const tag of knownTags(ctx)) {
            const {plans: found} = await plansByTag(ctx, tag);
            for (const plan of found)
                plans.set(plan.planid, plan);
        }
        if (preselect && !plans.has(preselect))
            plans.set(preselect, await ctx.call('plan_info', {planid: preselect}));
        const chosen = preselect || Number(planSelect.value) || 0;
        clear(planSelect, h('option', {value: ''}, plans.size ? 'Choose a plan…' : 'No plans known yet: list or create them under Plans'),
            [...plans.values()].sort((a, b) => b.planid - a.planid).map((plan) =>
                h('option', {value: String(plan.planid), selected: plan.planid === chosen},
                    `#${plan.planid} ${plan.name} [${(plan.tags || [])[0] || ''}]`)));
    }

    function render() {
        const rows = job ? job.rows : [];
        const total = job ? job.total : 0;
        const done = job ? Math.min(job.done, total) : 0;
        bar.setAttribute('aria-valuemax', total);
        bar.setAttribute('aria-valuenow', done);
        fill.style.width = total ? `${(100 * done) / total}%` : '0';
        barLabel.textContent = total ? `${done} / ${total}` : '';
        const counts = tally(rows);
        bar.classList.toggle('has-failures', counts.fail + counts.fatal > 0);
        clear(counters, ['pass', 'fail', 'fatal', 'cancelled'].filter((key) => counts[key] || key === 'pass' || key === 'fail')
            .map((key) => h('span', {class: `counter ${key}`}, h('b', {}, counts[key]), ` ${key}`)));
        let runningShown = false;
        clear(table, rows.map((row, index) => {
            let verdict = row.verdict;
            if (verdict === 'pending' && job && !job.finished && !runningShown) {
                verdict = 'running';
                runningShown = true;
            }
            return h('tr', {dataset: {verdict}},
                h('td', {class: 'num'}, index + 1),
                h('td', {}, row.title || `test case ${row.id}`, h('span', {class: 'muted small'}, ` #${row.id}`)),
                h('td', {class: 'muted'}, row.path),
                h('td', {}, badge(verdict)),
                h('td', {class: 'remark'}, row.remark || (verdict === 'pass' || verdict === 'fail' ? h('span', {class: 'muted'}, '–') : '')));
        }));
    }

    function setState(text, kind = '') {
        stateLine.textContent = text;
        stateLine.className = `run-state ${kind}`;
    }

    async function start() {
        const planid = Number(planSelect.value);
        const url = device.value.trim();
        if (!planid || !url)
            return;
        if (job && !job.finished) {
            notify(`Job ${job.jobid} is still running`);
            return;
        }
        localStorage.setItem(DEVICE_KEY, url);
        const members = await ctx.call('plan_tcs', {planid});
        const testcases = Array.isArray(members.data) ? members.data : [];
        job = {jobid: 0, planid, seq: 0, done: 0, total: testcases.length, finished: false, station: ctx.station.url,
            rows: testcases.map((tc, index) => ({seq: index, id: tc.testcaseid, title: tc.title, path: tc.path,
                verdict: 'pending', remark: ''}))};
        const current = job;
        reportButton.hidden = true;
        setState('Starting…');
        render();
        const plan = plans.get(planid) || {};
        const request = ctx.call('execute_job_local', {planid, url, projectid: plan.projectid ?? 0,
            starter: 'console', progress: true}, (message) => onMessage(current, message));
        current.seq = request.seq;
        startButton.disabled = true;
        let reply;
        try {
            reply = await request;
        } catch (error) {
            current.finished = true;
            startButton.disabled = false;
            setState(`Not started: ${error.message}`, 'bad');
            throw error;
        }
        current.jobid = reply.jobid;
        cancelButton.disabled = false;
        setState(`Job ${current.jobid} running on ${url}`);
        render();
        poll(current);
    }

    function onMessage(current, message) {
        if (message.EVENT === 'JobProgress') {
            const tc = message.tc || {};
            let index = Number(message.done) - 1;
            if (!(index >= 0 && index < current.rows.length && current.rows[index].id === tc.id))
                index = current.rows.findIndex((row) => row.verdict === 'pending' && row.id === tc.id);
            if (index >= 0)
                applyVerdict(current, index, tc.result === true, tc.remark);
            if (Number.isInteger(message.total) && message.total > 0)
                current.total = message.total;
            current.done = Math.max(current.done, Number(message.done) || 0);
        } else if (message.VALUE && Array.isArray(message.VALUE.tcs)) {
            message.VALUE.tcs.forEach((tc, index) => applyVerdict(current, index, tc.result === true, tc.remark));
            current.done = Math.max(current.done, message.VALUE.tcs.length);
        }
        if (current === job)
            render();
    }

    function applyVerdict(current, index, passed, remark) {
        const row = current.rows[index];
        if (!row)
            return;
        row.remark = typeof remark === 'string' ? remark : '';
        row.verdict = verdictOf(passed ? 'pass' : 'fail', row.remark);
        if (current.jobid && row.remark)
            rememberRemark(current.station, current.jobid, index, row.remark);
    }

    // "my_jobs" lists the job until its results are stored; then "job_detail"
    // has the final verdicts, also when no progress event came.
    function poll(current) {
        clearTimeout(pollTimer);
        pollTimer = setTimeout(act(async () => {
            if (current !== job || current.finished)
                return;
            let running;
            try {
                const reply = await ctx.call('my_jobs');
                running = (reply.data || []).find((item) => item.jobid === current.jobid);
            } catch (error) {
                setState(`Lost track of job ${current.jobid}: ${error.message}`, 'bad');
                current.finished = true;
                startButton.disabled = false;
                throw error;
            }
            if (running && running.status !== 3) {
                current.done = Math.max(current.done, Number(running.fin) || 0);
                render();
                poll(current);
                return;
            }
            await finish(current);
        }), POLL_MS);
    }

    async function finish(current) {
        current.finished = true;
        startButton.disabled = false;
        cancelButton.disabled = true;
        ctx.station.unwatch(current.seq);
        for (const row of current.rows) {
            if (row.remark)
                rememberRemark(current.station, current.jobid, row.seq, row.remark);
        }
        try {
            const reply = await ctx.call('job_detail', {jobid: current.jobid});
            const rows = rowsFromDetails(reply.jobdetail || [], seenRemarks(current.station, current.jobid), reply.job);
            if (rows.length)
                current.rows = rows;
            current.total = current.rows.length;
            current.done = current.total;
        } finally {
            const counts = tally(current.rows);
            const bad = counts.fail + counts.fatal + counts.cancelled;
            setState(`Job ${current.jobid} finished: ${counts.pass} passed, ${bad} did not`, bad ? 'bad' : 'good');
            reportButton.hidden = false;
            render();
        }
    }

    ctx.on((what) => {
        if (what === 'connected')
            plans.clear();
    });

    render();
    return {
        element,
        async show(planid) {
            await loadPlans(typeof planid === 'number' ? planid : 0);
        },
    };
}

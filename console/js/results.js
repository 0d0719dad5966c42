// Results: running jobs ("my_jobs"), finished reports ("my_reports") with a
// pass-rate chart, and one job's report (see jobview.js).

import {act, badge, clear, h, scrollTable} from './dom.js';
import {renderJobDetail} from './jobview.js';
import {chartPoint, jobVerdictOf, rowsFromDetails} from './report.js';

const CHART_JOBS = 20;
const SVG = 'http://www.w3.org/2000/svg';

function svg(tag, attrs = {}, ...children) {
    const element = document.createElementNS(SVG, tag);
    for (const [key, value] of Object.entries(attrs))
        element.setAttribute(key, value);
    for (const child of children) {
        if (child !== null && child !== undefined)
            element.append(child instanceof Node ? child : document.createTextNode(String(child)));
    }
    return element;
}

// Bars of the pass rate of each job, oldest on the left, coloured by the job
// as a whole (see chartPoint): a job that failed, even with every case
// passed, is no green bar, and a mark above it says so without colour.
export function passRateChart(points) {
    const width = 640;
    const height = 170;
    const left = 42;
    const bottom = 22;
    const top = 14;
    const plot = height - bottom - top;
    const chart = svg('svg', {viewBox: `0 0 ${width} ${height}`, class: 'chart', id: 'pass-chart', role: 'img',
        'aria-label': 'Pass rate of recent jobs'});
    for (const level of [0, 50, 100]) {
        const y = top + plot - (plot * level) / 100;
        chart.append(svg('line', {x1: left, x2: width, y1: y, y2: y, class: 'gridline'}),
            svg('text', {x: left - 6, y: y + 4, class: 'axis', 'text-anchor': 'end'}, `${level}%`));
    }
    if (points.length === 0) {
        chart.append(svg('text', {x: (width + left) / 2, y: height / 2, class: 'axis', 'text-anchor': 'middle'},
            'No finished jobs yet'));
        return chart;
    }
    const slot = (width - left) / Math.max(points.length, 8);
    const marks = {fail: '!', error: '✕'};
    points.forEach((point, index) => {
        const rate = point.total ? point.pass / point.total : 0;
        const barHeight = Math.max(3, plot * rate);
        const x = left + index * slot + slot * 0.15;
        const y = top + plot - barHeight;
        chart.append(svg('g', {class: `bar bar-${point.kind}`, 'data-jobid': point.jobid, 'data-kind': point.kind},
            svg('title', {}, point.title),
            svg('rect', {x, y, width: slot * 0.7, height: barHeight, rx: 3}),
            marks[point.kind] ? svg('text', {x: x + slot * 0.35, y: Math.max(top - 2, y - 3), class: 'mark',
                'text-anchor': 'middle'}, marks[point.kind]) : null),
        svg('text', {x: x + slot * 0.35, y: height - 6, class: 'axis', 'text-anchor': 'middle'}, point.jobid));
    });
    return chart;
}

function chartLegend() {
    const item = (kind, text) => h('span', {class: 'legend-item'},
        h('span', {class: `swatch bar-${kind}`, 'aria-hidden': 'true'}), text);
    return h('p', {class: 'legend small muted'}, item('pass', 'passed'),
        item('fail', 'failed (! a case or the job-level verdict)'), item('error', 'failed as a whole (✕)'));
}

function jobTable(jobs, {onOpen = null, emptyText, stateTitle, label}) {
    if (jobs.length === 0)
        return h('p', {class: 'empty'}, emptyText);
    return scrollTable(label,
        h('thead', {}, h('tr', {}, ['Job', 'Plan', 'Starter', 'Started', 'Finished', 'Cases', stateTitle, 'Pass rate',
            h('span', {class: 'visually-hidden'}, 'Report')].map((title) => h('th', {scope: 'col'}, title)))),
        h('tbody', {}, jobs.map(({job, rate, state, why}) => h('tr', {dataset: {jobid: job.jobid}},
            h('td', {class: 'num'}, `#${job.jobid}`),
            h('td', {}, `#${job.planid}`),
            h('td', {}, job.starter || '–'),
            h('td', {class: 'muted'}, job.stime || '–'),
            h('td', {class: 'muted'}, job.ftime || '–'),
            h('td', {class: 'num'}, `${job.fin}/${job.total}`),
            h('td', {title: why || null}, state ? badge(state) : h('span', {class: 'muted'}, '–')),
            h('td', {}, rate || ''),
            h('td', {}, onOpen ? h('button', {type: 'button', class: 'small', name: 'open-job', 'aria-label': `Details of job ${job.jobid}`,
                onclick: act(() => onOpen(job.jobid))}, 'Details') : null)))));
}

export function createResultsView(ctx) {
    const details = new Map();   // "station#jobid" -> job_detail reply (finished jobs do not change)
    const runningBox = h('div', {id: 'running-jobs'});
    const chartBox = h('div', {class: 'chart-box'});
    const reportsBox = h('div', {id: 'reports'});
    const detailBox = h('div', {class: 'panel', id: 'job-detail', hidden: true});
    const element = h('section', {id: 'results'},
        h('h1', {class: 'view-title'}, 'Results'),
        h('div', {class: 'panel'},
            h('div', {class: 'panel-head'}, h('h2', {}, 'Running jobs'),
                h('button', {type: 'button', onclick: act(() => refresh())}, 'Refresh')),
            runningBox),
        detailBox,
        h('div', {class: 'panel'},
            h('div', {class: 'panel-head'}, h('h2', {}, 'Reports'),
                h('span', {class: 'muted small'}, `pass rate of the last ${CHART_JOBS} jobs`)),
            chartBox, reportsBox));

    ctx.on((what) => {
        if (what === 'connected')
            details.clear();
    });

    async function detailOf(jobid) {
        const key = `${ctx.station.url}#${jobid}`;
        if (!details.has(key))
            details.set(key, await ctx.call('job_detail', {jobid, verdicts: true}));
        return details.get(key);
    }

    let runningIds = '';
    let lastReports = [];   // "my_reports" newest first: the jobs a report offers to compare with
    let watchTimer = 0;

    // A job waiting for its device is listed with the running ones; the list
    // is re-drawn on every read, the reports only when a job has left it.
    async function showRunning() {
        const running = await ctx.call('my_jobs', {verdicts: true});
        const jobs = Array.isArray(running.data) ? running.data : [];
        clear(runningBox, jobTable(jobs.map((job) => ({job, state: job.waiting === true ? 'waiting' : 'running',
            why: job.waiting === true ? 'waiting for its device, held by another job' : ''})),
        {emptyText: 'No job is running.', stateTitle: 'State', label: 'Running jobs'}));
        const ids = jobs.map((job) => job.jobid).join(',');
        const changed = ids !== runningIds;
        runningIds = ids;
        return changed;
    }

    // While the view is open, running jobs are re-read every few seconds, and
    // the reports when a job has left the running list. A failure stops it
    // (and is shown) instead of repeating every few seconds.
    function watch() {
        clearTimeout(watchTimer);
        watchTimer = setTimeout(act(async () => {
            if (element.hidden || !ctx.station.connected)
                return;
            if (await showRunning())
                await showReports();
            watch();
        }), 2000);
    }

    async function refresh() {
        await showRunning();
        await showReports();
        watch();
    }

    async function showReports() {
        const reports = await ctx.call('my_reports', {size: 50, verdicts: true});
        const jobs = Array.isArray(reports.data) ? reports.data : [];
        lastReports = jobs;
        const recent = jobs.slice(0, CHART_JOBS);
        const points = await Promise.all(recent.map(async (job) => {
            const reply = await detailOf(job.jobid);
            return chartPoint(reply.job || job, rowsFromDetails(reply.jobdetail, reply.job || job));
        }));
        const byJob = new Map(points.map((point) => [point.jobid, point]));
        clear(chartBox, passRateChart([...points].reverse()), chartLegend());
        clear(reportsBox, jobTable(jobs.map((job) => {
            const point = byJob.get(job.jobid);
            if (point)
                return {job, state: point.kind, why: point.title,
                    rate: point.total ? `${Math.round((100 * point.pass) / point.total)}%` : ''};
            // Past the chart only the job's own verdict is read.
            const verdict = jobVerdictOf(job);
            return {job, state: verdict.whole ? 'error' : verdict.result === false ? 'fail' : '', rate: ''};
        }), {onOpen: openJob, emptyText: 'No finished jobs yet.', stateTitle: 'Verdict', label: 'Finished jobs'}));
    }

    async function openJob(jobid) {
        const reply = await detailOf(jobid);
        const planid = reply.job && reply.job.planid;
        const others = lastReports.filter((job) => job.planid === planid && job.jobid !== jobid).map((job) => job.jobid);
        renderJobDetail(detailBox, reply, {call: ctx.call, others, onClose: () => { detailBox.hidden = true; }});
    }

    return {
        element,
        async show(jobid) {
            await refresh();
            if (typeof jobid === 'number' && jobid > 0)
                await openJob(jobid);
        },
    };
}

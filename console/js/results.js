// Results: running jobs ("my_jobs"), finished reports ("my_reports") with a
// pass-rate chart, one job's details ("job_detail") and its JUnit XML.

import {act, badge, clear, h} from './dom.js';
import {download, junitXml, rowsFromDetails, seenRemarks, tally} from './report.js';

const CHART_JOBS = 20;
const SVG = 'http://www.w3.org/2000/svg';

function svg(tag, attrs = {}, ...children) {
    const element = document.createElementNS(SVG, tag);
    for (const [key, value] of Object.entries(attrs))
        element.setAttribute(key, value);
    for (const child of children)
        element.append(child instanceof Node ? child : document.createTextNode(String(child)));
    return element;
}

// Bars of the pass rate of each job, oldest on the left.
export function passRateChart(points) {
    const width = 640;
    const height = 170;
    const left = 42;
    const bottom = 22;
    const top = 8;
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
    points.forEach((point, index) => {
        const rate = point.total ? point.pass / point.total : 0;
        const barHeight = Math.max(2, plot * rate);
        const x = left + index * slot + slot * 0.15;
        const kind = rate === 1 ? 'pass' : rate === 0 ? 'fatal' : 'fail';
        chart.append(svg('rect', {x, y: top + plot - barHeight, width: slot * 0.7, height: barHeight, rx: 3,
            class: `bar-${kind}`},
            svg('title', {}, `job ${point.jobid}: ${point.pass} of ${point.total} passed (${Math.round(rate * 100)}%)`)),
        svg('text', {x: x + slot * 0.35, y: height - 6, class: 'axis', 'text-anchor': 'middle'}, point.jobid));
    });
    return chart;
}

function jobTable(jobs, onOpen, emptyText) {
    if (jobs.length === 0)
        return h('p', {class: 'empty'}, emptyText);
    return h('table', {class: 'grid-table'},
        h('thead', {}, h('tr', {}, ['Job', 'Plan', 'Starter', 'Started', 'Finished', 'Cases', 'Pass rate', '']
            .map((title) => h('th', {}, title)))),
        h('tbody', {}, jobs.map(({job, rate}) => h('tr', {dataset: {jobid: job.jobid}},
            h('td', {class: 'num'}, `#${job.jobid}`),
            h('td', {}, `#${job.planid}`),
            h('td', {}, job.starter || '–'),
            h('td', {class: 'muted'}, job.stime || '–'),
            h('td', {class: 'muted'}, job.ftime || (job.status === 2 ? 'running' : '–')),
            h('td', {class: 'num'}, `${job.fin}/${job.total}`),
            h('td', {}, rate || ''),
            h('td', {}, onOpen ? h('button', {type: 'button', class: 'small', name: 'open-job',
                onclick: act(() => onOpen(job.jobid))}, 'Details') : null)))));
}

export function createResultsView(ctx) {
    const details = new Map();   // "station#jobid" -> job_detail reply (finished jobs do not change)
    const runningBox = h('div', {id: 'running-jobs'});
    const chartBox = h('div', {class: 'chart-box'});
    const reportsBox = h('div', {id: 'reports'});
    const detailBox = h('div', {class: 'panel', id: 'job-detail', hidden: true});
    const element = h('section', {id: 'results'},
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
            details.set(key, await ctx.call('job_detail', {jobid}));
        return details.get(key);
    }

    let runningIds = '';
    let watchTimer = 0;

    async function showRunning() {
        const running = await ctx.call('my_jobs');
        const jobs = Array.isArray(running.data) ? running.data : [];
        clear(runningBox, jobTable(jobs.map((job) => ({job})), null, 'No job is running.'));
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
        const reports = await ctx.call('my_reports', {size: 50});
        const jobs = Array.isArray(reports.data) ? reports.data : [];
        const recent = jobs.slice(0, CHART_JOBS);
        const counted = await Promise.all(recent.map(async (job) => {
            const reply = await detailOf(job.jobid);
            const rows = rowsFromDetails(reply.jobdetail || [], seenRemarks(ctx.station.url, job.jobid), reply.job);
            return {jobid: job.jobid, pass: tally(rows).pass, total: rows.length};
        }));
        const rates = new Map(counted.map((point) => [point.jobid, point]));
        clear(chartBox, passRateChart([...counted].reverse()));
        clear(reportsBox, jobTable(jobs.map((job) => {
            const point = rates.get(job.jobid);
            return {job, rate: point && point.total ? `${Math.round((100 * point.pass) / point.total)}%` : ''};
        }), openJob, 'No finished jobs yet.'));
    }

    async function openJob(jobid) {
        const reply = await detailOf(jobid);
        const job = reply.job || {jobid};
        const rows = rowsFromDetails(reply.jobdetail || [], seenRemarks(ctx.station.url, jobid), job);
        const counts = tally(rows);
        const fileName = `job-${jobid}.junit.xml`;
        const downloadButton = h('button', {type: 'button', class: 'primary', name: 'junit',
            onclick: act(async () => download(fileName, junitXml(await ctx.call('job_detail', {jobid, verdicts: true}))))},
        '⬇ JUnit XML');
        detailBox.hidden = false;
        detailBox.dataset.jobid = jobid;
        clear(detailBox,
            h('div', {class: 'panel-head'}, h('h2', {}, `Job #${jobid}`),
                h('div', {class: 'actions'}, downloadButton,
                    h('button', {type: 'button', class: 'icon', title: 'Close', onclick: () => { detailBox.hidden = true; }}, '×'))),
            h('dl', {class: 'facts'},
                h('dt', {}, 'Plan'), h('dd', {}, `#${job.planid}`),
                h('dt', {}, 'Starter'), h('dd', {}, job.starter || '–'),
                h('dt', {}, 'Started'), h('dd', {}, job.stime || '–'),
                h('dt', {}, 'Finished'), h('dd', {}, job.ftime || '–'),
                h('dt', {}, 'Reported'), h('dd', {}, `${job.fin} of ${job.total} test cases`)),
            h('div', {class: 'counters'}, ['pass', 'fail', 'fatal', 'cancelled'].filter((key) => counts[key] || key === 'pass' || key === 'fail')
                .map((key) => h('span', {class: `counter ${key}`}, h('b', {}, counts[key]), ` ${key}`))),
            h('table', {class: 'grid-table'},
                h('thead', {}, h('tr', {}, ['#', 'Test case', 'Path', 'Module', 'Verdict', 'Remark'].map((title) => h('th', {}, title)))),
                h('tbody', {id: 'detail-rows'}, rows.map((row) => h('tr', {dataset: {verdict: row.verdict}},
                    h('td', {class: 'num'}, row.seq + 1),
                    h('td', {}, row.title || `test case ${row.id}`, h('span', {class: 'muted small'}, ` #${row.id}`)),
                    h('td', {class: 'muted'}, row.path),
                    h('td', {class: 'muted'}, row.module || ''),
                    h('td', {}, badge(row.verdict)),
                    h('td', {class: 'remark'}, row.remark || h('span', {class: 'muted'}, '–')))))),
            rows.some((row) => !row.remark && row.verdict !== 'pass')
                ? h('p', {class: 'muted small'}, 'The host keeps no remark with a stored result; '
                    + 'remarks show for jobs this browser watched run.') : null);
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

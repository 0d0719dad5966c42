// Lab: the test-management server's stations, devices, queue and running
// jobs ("lab_state", read about once a second while the view is shown),
// queueing a plan ("queue_job") and cancelling ("cancel_job"). It talks to
// the server over HTTP, so it works with no station connected.

import {act, badge, clear, field, h, notify, scrollTable, showError} from './dom.js';
import {boardRows, endedJobs, queueRequest, queueRows, runningRows} from './lab.js';
import {renderJobDetail} from './jobview.js';
import {jobSummary, jobVerdictOf, markCause, rowsFromDetails} from './report.js';
import {allPlans, knownTags, plansByTag, rememberTag} from './plans.js';
import {LabServer, serverBase} from './server.js';

const SERVER_KEY = 'kiv.console.server';
const POLL_MS = 1000;
const RETRY_MS = 5000;
const ENDED_KEPT = 20;

// autotest-server serves the console itself, so the page's own origin is
// the server unless the page came from elsewhere (or from disk).
function defaultServer() {
    const fromQuery = new URLSearchParams(location.search).get('server');
    if (fromQuery)
        return fromQuery;
    const stored = localStorage.getItem(SERVER_KEY);
    if (stored)
        return stored;
    return /^https?:$/.test(location.protocol) ? location.origin : 'http://127.0.0.1:8080';
}

// The count beside the bar rather than on it: no text on the green fill.
function progressBar(row) {
    return h('div', {class: 'lab-progress'},
        h('div', {class: 'bar lab-bar', role: 'progressbar', 'aria-label': `job ${row.jobid}: test cases done`,
            'aria-valuemin': 0, 'aria-valuemax': row.total, 'aria-valuenow': row.finished,
            'aria-valuetext': `${row.finished} of ${row.total}`},
        h('div', {class: 'bar-fill', style: {width: `${row.percent}%`}})),
        h('span', {class: 'lab-count'}, `${row.finished} / ${row.total}`));
}

// "2026-12-06T19:02:03.514Z" as "2026-12-06 19:02:03 UTC".
function timeText(iso) {
    return iso ? iso.replace('T', ' ').replace(/\.\d+/, '').replace(/Z$/, ' UTC') : '–';
}

function tagList(tags) {
    return tags.length ? tags.map((tag) => h('span', {class: 'tag'}, tag)) : h('span', {class: 'muted'}, 'no tags');
}

export function createLabView() {
    const server = new LabServer();
    // plans.js keeps tags per address and asks through ctx.call.
    const planCtx = {station: {url: ''}, call: (cmd, fields) => server.call(cmd, fields)};
    let timer = 0;
    let active = false;
    let generation = 0;       // a poll of an address no longer used is dropped
    let last = null;          // the last lab_state
    let lastJobs = '';        // its queue and running jobs, to redraw them only when they change
    let sent = 0;
    let shownOrder = 0;
    const ended = [];         // [{jobid, planid, where, kind, text}] newest first

    const addressInput = h('input', {type: 'text', name: 'server', spellcheck: 'false', value: defaultServer()});
    const tokenInput = h('input', {type: 'password', name: 'token', autocomplete: 'off',
        placeholder: 'none on loopback without --users'});
    const linkLine = h('p', {class: 'run-state', id: 'lab-link', role: 'status'}, '');
    const boardBox = h('div', {id: 'lab-board', class: 'lab-board'});
    const runningBox = h('div', {id: 'lab-running'});
    const queueBox = h('div', {id: 'lab-queue'});
    const endedBox = h('div', {id: 'lab-ended'});
    const detailBox = h('div', {class: 'panel', id: 'lab-job-detail', hidden: true});

    const tagInput = h('input', {type: 'text', name: 'plan-tag', list: 'lab-plan-tags', spellcheck: 'false',
        placeholder: 'every tag'});
    const tagOptions = h('datalist', {id: 'lab-plan-tags'});
    const planSelect = h('select', {name: 'plan'}, h('option', {value: ''}, 'List the plans first'));
    const targetDevice = h('input', {type: 'radio', name: 'target', value: 'device', id: 'lab-target-device'});
    const targetTags = h('input', {type: 'radio', name: 'target', value: 'tags', id: 'lab-target-tags', checked: true});
    const deviceInput = h('input', {type: 'text', name: 'device', spellcheck: 'false', placeholder: 'devices/bench-01'});
    const stationInput = h('input', {type: 'text', name: 'station', spellcheck: 'false', placeholder: 'any station'});
    const tagsInput = h('input', {type: 'text', name: 'tags', spellcheck: 'false', placeholder: 'radio, 5g'});
    const priorityInput = h('input', {type: 'number', name: 'priority', min: -1000, max: 1000, step: 1, value: '0'});
    const formError = h('p', {class: 'form-error', role: 'alert', hidden: true});
    const deviceFields = h('div', {class: 'grid two'}, field('Device url', deviceInput),
        field('Station', stationInput, 'optional: pins the station'));
    const tagFields = h('div', {}, field('Tags', tagsInput, 'comma separated; a device must have every one'));

    const element = h('section', {id: 'lab'},
        h('div', {class: 'panel'},
            h('div', {class: 'panel-head'}, h('h1', {}, 'Lab server')),
            h('form', {class: 'lab-connect', autocomplete: 'off', onsubmit: act((event) => {
                event.preventDefault();
                use();
            })},
            field('Server address', addressInput, 'autotest-server, e.g. http://127.0.0.1:8080'),
            field('Token', tokenInput, 'kept in this page only'),
            h('div', {class: 'actions'}, h('button', {type: 'submit', name: 'use-server'}, 'Use'))),
            linkLine),
        h('div', {class: 'panel'},
            h('div', {class: 'panel-head'}, h('h2', {}, 'Stations and devices')), boardBox),
        h('div', {class: 'panel'},
            h('div', {class: 'panel-head'}, h('h2', {}, 'Running')), runningBox),
        h('div', {class: 'panel'},
            h('div', {class: 'panel-head'}, h('h2', {}, 'Queue')), queueBox,
            h('h3', {}, 'Queue a job'),
            h('form', {id: 'lab-queue-form', class: 'lab-form', onsubmit: act((event) => {
                event.preventDefault();
                return queue();
            })},
            h('div', {class: 'grid three'},
                h('div', {class: 'field'},
                    h('label', {class: 'field-label', for: 'lab-plan-tag'}, 'Plan tag'),
                    h('div', {class: 'inline'}, Object.assign(tagInput, {id: 'lab-plan-tag'}),
                        h('button', {type: 'button', name: 'list-plans', onclick: act(() => listPlans(tagInput.value.trim()))},
                            'List plans')),
                    tagOptions),
                field('Plan', planSelect),
                field('Priority', priorityInput, 'higher runs first, -1000 to 1000')),
            h('fieldset', {class: 'target'},
                h('legend', {class: 'field-label'}, 'Run on'),
                h('label', {class: 'choice'}, targetTags, ' any device with tags'),
                h('label', {class: 'choice'}, targetDevice, ' one device')),
            tagFields, deviceFields, formError,
            h('div', {class: 'actions'}, h('button', {type: 'submit', class: 'primary', name: 'queue'}, 'Queue')))),
        h('div', {class: 'panel'},
            h('div', {class: 'panel-head'}, h('h2', {}, 'Ended while watched'),
                h('span', {class: 'muted small'}, 'jobs that left the queue or ended since this page opened the view')),
            endedBox),
        detailBox);

    function showTarget() {
        deviceFields.hidden = !targetDevice.checked;
        tagFields.hidden = !targetTags.checked;
    }
    targetDevice.addEventListener('change', showTarget);
    targetTags.addEventListener('change', showTarget);
    showTarget();

    function use() {
        const base = serverBase(addressInput.value);
        if (!/^https?:\/\/[^/]/.test(base)) {
            notify(`"${addressInput.value}" is not an HTTP address (http://HOST:PORT)`);
            return;
        }
        localStorage.setItem(SERVER_KEY, base);
        server.use(base, tokenInput.value.trim());
        planCtx.station.url = base;
        last = null;
        lastJobs = '';
        ended.length = 0;
        renderEnded();
        ++generation;
        clear(linkLine, `Reading ${base}…`);
        linkLine.className = 'run-state';
        delete linkLine.dataset.state;
        if (active) {
            poll();
            // A server that refuses says so in the status line already.
            loadPlans().catch(() => {});
        }
    }

    function schedule(ms) {
        clearTimeout(timer);
        if (active && !document.hidden)
            timer = setTimeout(poll, ms);
    }

    // The next read is set off by the reply, so a slow server is never
    // asked faster than it answers.
    async function poll() {
        clearTimeout(timer);
        const asked = generation;
        const order = ++sent;
        let state;
        try {
            state = await server.call('lab_state');
        } catch (error) {
            if (asked !== generation || order < shownOrder)
                return;
            linkLine.textContent = `${server.base}: ${error.message}`;
            linkLine.className = 'run-state bad';
            linkLine.dataset.state = 'error';
            schedule(RETRY_MS);
            return;
        }
        // A cancel or a queueing asks at once, beside the regular read: an
        // answer older than one already shown is dropped.
        if (asked !== generation || order < shownOrder)
            return;
        shownOrder = order;
        // A status line that changed every second would be read out every
        // second: the time of the last read goes in its title.
        if (linkLine.dataset.state !== 'ok')
            linkLine.textContent = `${server.base}: live, read about once a second`;
        linkLine.title = `last read ${new Date().toLocaleTimeString()}`;
        linkLine.className = 'run-state good';
        linkLine.dataset.state = 'ok';
        const gone = last ? endedJobs(last, state) : [];
        const before = last;
        last = state;
        render(state);
        schedule(POLL_MS);
        for (const jobid of gone)
            noteEnded(jobid, before).catch(showError);
    }

    function render(state) {
        const stations = boardRows(state);
        clear(boardBox, stations.length === 0 ? h('p', {class: 'empty'}, 'No station has checked in.')
            : stations.map((station) => h('div', {class: 'station-card', dataset: {station: station.name,
                online: station.online}},
            h('div', {class: 'station-head'},
                h('strong', {}, station.name),
                h('span', {class: `online ${station.online ? 'yes' : 'no'}`}, station.online ? 'online' : 'offline'),
                h('span', {class: 'muted small', title: station.lastSeen}, `last seen ${station.ago}`),
                station.version ? h('span', {class: 'muted small'}, `version ${station.version}`) : null,
                h('span', {class: 'muted small'}, `${station.free} of ${station.devices.length} free`)),
            station.devices.length === 0 ? h('p', {class: 'empty'}, 'No devices.') : scrollTable(`Devices of ${station.name}`,
                h('thead', {}, h('tr', {}, ['Device', 'Tags', 'State'].map((title) => h('th', {scope: 'col'}, title)))),
                h('tbody', {}, station.devices.map((device) => h('tr', {dataset: {url: device.url, state: device.status,
                    jobid: device.jobid ?? ''}},
                h('td', {class: 'mono'}, device.url),
                h('td', {}, tagList(device.tags)),
                h('td', {}, h('span', {class: `dstate ${device.status}`}, device.label)))))))));

        // The tables hold buttons: redrawn every second, they would slip
        // from under the pointer.
        const jobs = JSON.stringify([state.queue, state.queue_total, state.running]);
        if (jobs === lastJobs)
            return;
        lastJobs = jobs;
        const running = runningRows(state);
        clear(runningBox, running.length === 0 ? h('p', {class: 'empty'}, 'No job is running.')
            : scrollTable('Running jobs',
                h('thead', {}, h('tr', {}, ['Job', 'Plan', 'Station', 'Device', 'Progress', 'Starter', 'Started', '']
                    .map((title) => h('th', {scope: 'col'}, title)))),
                h('tbody', {}, running.map((row) => h('tr', {dataset: {jobid: row.jobid, finished: row.finished,
                    total: row.total}},
                h('td', {class: 'num'}, `#${row.jobid}`),
                h('td', {}, `#${row.planid}`),
                h('td', {}, row.station),
                h('td', {class: 'mono'}, row.device),
                h('td', {class: 'wide'}, progressBar(row)),
                h('td', {}, row.starter || '–'),
                h('td', {class: 'muted'}, timeText(row.started)),
                h('td', {}, cancelButton(row.jobid)))))));

        const queue = queueRows(state);
        clear(queueBox, queue.rows.length === 0 ? h('p', {class: 'empty'}, 'The queue is empty.') : [
            scrollTable('Queued jobs',
                h('thead', {}, h('tr', {}, ['#', 'Job', 'Plan', 'Priority', 'Waits for', 'Starter', 'Queued', '']
                    .map((title) => h('th', {scope: 'col'}, title)))),
                h('tbody', {}, queue.rows.map((row) => h('tr', {dataset: {jobid: row.jobid}},
                    h('td', {class: 'num'}, row.position),
                    h('td', {class: 'num'}, `#${row.jobid}`),
                    h('td', {}, `#${row.planid}`),
                    h('td', {class: 'num'}, row.priority),
                    h('td', {}, row.target),
                    h('td', {}, row.starter || '–'),
                    h('td', {class: 'muted'}, timeText(row.queued)),
                    h('td', {}, cancelButton(row.jobid)))))),
            queue.hidden ? h('p', {class: 'muted small'}, `and ${queue.hidden} more queued`) : null]);
    }

    function cancelButton(jobid) {
        return h('button', {type: 'button', class: 'small danger', name: 'cancel', dataset: {jobid}, 'aria-label': `Cancel job ${jobid}`,
            onclick: act(async () => {
                const reply = await server.call('cancel_job', {jobid});
                notify(`Job ${jobid}: ${reply.state || 'cancelled'}`, 'info');
                poll();
            })}, 'Cancel');
    }

    // A job that left the board: its verdict from "job_detail".
    async function noteEnded(jobid, before) {
        const running = runningRows(before).find((row) => row.jobid === jobid);
        if (ended.some((item) => item.jobid === jobid))
            return;
        const reply = await server.call('job_detail', {jobid, verdicts: true});
        const job = reply.job || {jobid};
        const verdict = jobVerdictOf(job);
        const summary = jobSummary(verdict, markCause(rowsFromDetails(reply.jobdetail, job), verdict));
        ended.unshift({jobid, planid: job.planid, where: running ? `${running.station} ${running.device}` : 'never started',
            kind: summary.kind, text: summary.text});
        ended.splice(ENDED_KEPT);
        renderEnded();
    }

    function renderEnded() {
        clear(endedBox, ended.length === 0 ? h('p', {class: 'empty'}, 'None yet.') : scrollTable('Jobs ended while watched',
            h('thead', {}, h('tr', {}, ['Job', 'Plan', 'Ran on', 'Verdict', '', ''].map((title) => h('th', {scope: 'col'}, title)))),
            h('tbody', {}, ended.map((item) => h('tr', {dataset: {jobid: item.jobid, kind: item.kind}},
                h('td', {class: 'num'}, `#${item.jobid}`),
                h('td', {}, `#${item.planid}`),
                h('td', {class: 'mono'}, item.where),
                h('td', {}, badge(item.kind)),
                h('td', {class: 'remark'}, item.text),
                h('td', {}, h('button', {type: 'button', class: 'small', name: 'open-job', 'aria-label': `Report of job ${item.jobid}`,
                    onclick: act(() => openJob(item.jobid))}, 'Report')))))));
    }

    async function openJob(jobid) {
        const reply = await server.call('job_detail', {jobid, verdicts: true});
        const planid = reply.job && reply.job.planid;
        const others = ended.filter((item) => item.planid === planid && item.jobid !== jobid).map((item) => item.jobid);
        renderJobDetail(detailBox, reply, {call: (cmd, fields) => server.call(cmd, fields), others, prefix: 'lab-',
            onClose: () => { detailBox.hidden = true; }});
        detailBox.scrollIntoView({block: 'nearest'});
    }

    // A tag's plans, or every plan when no tag is given.
    async function listPlans(tag, quiet = false) {
        const {plans, error} = tag ? await plansByTag(planCtx, tag) : {...await allPlans(planCtx), error: null};
        if (error && !quiet)
            notify(`No plan is tagged “${tag}”`, 'info');
        if (!error && tag)
            rememberTag(planCtx, tag);
        const chosen = planSelect.value;
        clear(planSelect, h('option', {value: ''}, plans.length ? 'Choose a plan…' : tag ? `No plan tagged “${tag}”` : 'No plans yet'),
            plans.sort((a, b) => b.planid - a.planid).map((plan) => h('option', {value: String(plan.planid),
                selected: String(plan.planid) === chosen}, `#${plan.planid} ${plan.name || '(unnamed)'}`)));
        clear(tagOptions, knownTags(planCtx).map((known) => h('option', {value: known})));
    }

    async function loadPlans() {
        const tags = knownTags(planCtx);
        clear(tagOptions, tags.map((known) => h('option', {value: known})));
        if (!tagInput.value)
            await listPlans('', true);
    }

    async function queue() {
        const {request, error} = queueRequest({planid: planSelect.value, target: targetDevice.checked ? 'device' : 'tags',
            device: deviceInput.value, station: stationInput.value, tags: tagsInput.value, priority: priorityInput.value});
        formError.hidden = !error;
        formError.textContent = error || '';
        if (error)
            return;
        const reply = await server.call('queue_job', request);
        notify(`Queued job ${reply.jobid}`, 'info');
        poll();
    }

    // A tab in the background reads nothing; it catches up when it is back.
    document.addEventListener('visibilitychange', () => {
        if (document.hidden)
            clearTimeout(timer);
        else if (active && server.base)
            poll();
    });

    // The address is taken as it stands the first time the view is shown.
    let used = false;
    return {
        element,
        station: false,
        async show() {
            active = true;
            if (!used) {
                used = true;
                use();
                return;
            }
            poll();
        },
        hide() {
            active = false;
            clearTimeout(timer);
        },
    };
}

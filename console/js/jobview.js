// One job's report (its "job_detail" with verdicts), each case with its
// history ("tc_history"), and the compare of two jobs of one plan. The
// Results view shows it for the station's jobs, the Lab view for the
// server's: `call(cmd, fields)` asks whichever it is.

import {act, badge, clear, counterList, field, h, scrollTable, showError, verdictCell} from './dom.js';
import {durationText, download, jobSummary, jobVerdictOf, junitXml, markCause, rowsFromDetails, tally} from './report.js';
import {compareJobs, historySummary} from './compare.js';

const HISTORY_SIZE = 20;

function historyCell(summary) {
    return [
        h('span', {class: 'history-marks', role: 'img',
            'aria-label': `last ${summary.marks.length} verdicts, oldest first: ${summary.marks.map((mark) => mark.status).join(', ') || 'none'}`},
        summary.marks.map((mark) => h('span', {class: `hmark ${mark.status.replace(/ /g, '-')}`, title: mark.title,
            dataset: {verdict: mark.status}}))),
        h('span', {class: 'history-rate', title: `${summary.passed} of ${summary.runs} runs passed`}, summary.rateText),
        summary.flaky ? h('span', {class: 'flaky', title: 'its verdict changed on one device while the test case did not'},
            'flaky') : null,
    ];
}

// Fills each row's history cell; one request per test case. A host that
// keeps no history answers the first with a failure, which then stands for
// all of them instead of one notice per case.
async function loadHistory(call, cells) {
    const ids = [...cells.keys()];
    for (let i = 0; i < ids.length; ++i) {
        let reply;
        try {
            reply = await call('tc_history', {tcid: ids[i], size: HISTORY_SIZE});
        } catch (error) {
            for (const [id, list] of cells) {
                if (ids.indexOf(id) >= i)
                    list.forEach((cell) => clear(cell, h('span', {class: 'muted small', title: error.message}, 'no history')));
            }
            return;
        }
        const summary = historySummary(reply);
        for (const cell of cells.get(ids[i])) {
            clear(cell, historyCell(summary));
            cell.dataset.flaky = summary.flaky;
            cell.dataset.rate = summary.rateText;
        }
    }
}

// The panel's content for one job. `others`: ids of jobs of the same plan to
// offer for a compare, newest first.
// `prefix` keeps the ids of the element inside apart when two views show one.
export function renderJobDetail(box, reply, {call, onClose, others = [], prefix = ''}) {
    const job = reply.job || {};
    const jobid = job.jobid;
    const verdict = jobVerdictOf(job);
    const rows = markCause(rowsFromDetails(reply.jobdetail, job), verdict);
    const summary = jobSummary(verdict, rows);
    const fileName = `job-${jobid}.junit.xml`;
    const historyCells = new Map();   // tcid -> [td]
    const compareBox = h('div', {class: 'compare', id: `${prefix}compare`, hidden: true});
    const otherInput = h('input', {type: 'number', name: 'compare-with', min: 1, value: others[0] || '',
        list: `${prefix}compare-jobs-${jobid}`, class: 'narrow'});
    box.hidden = false;
    box.dataset.jobid = jobid;
    clear(box,
        h('div', {class: 'panel-head'}, h('h2', {}, `Job #${jobid}`),
            h('div', {class: 'actions'},
                h('button', {type: 'button', class: 'primary', name: 'junit',
                    onclick: () => download(fileName, junitXml(reply))}, '⬇ JUnit XML'),
                h('button', {type: 'button', class: 'icon', title: 'Close', 'aria-label': 'Close', onclick: onClose}, '×'))),
        h('div', {class: `job-banner ${summary.kind}`, id: `${prefix}job-banner`, role: 'status', dataset: {kind: summary.kind}},
            badge(summary.kind), h('span', {class: 'banner-text'}, summary.text)),
        h('dl', {class: 'facts'},
            h('dt', {}, 'Plan'), h('dd', {}, `#${job.planid}`),
            h('dt', {}, 'Starter'), h('dd', {}, job.starter || '–'),
            h('dt', {}, 'Started'), h('dd', {}, job.stime || '–'),
            h('dt', {}, 'Finished'), h('dd', {}, job.ftime || '–'),
            h('dt', {}, 'Reported'), h('dd', {}, `${job.fin} of ${job.total} test cases`),
            h('dt', {}, 'Job verdict'), h('dd', {id: `${prefix}job-verdict`},
                verdict.result === null ? 'none yet' : String(verdict.result),
                verdict.remark ? h('span', {class: 'muted'}, ` (${verdict.remark})`) : null)),
        h('div', {class: 'counters', id: `${prefix}detail-counters`}, counterList(tally(rows))),
        scrollTable(`Verdicts of job ${jobid}`,
            h('thead', {}, h('tr', {}, ['#', 'Test case', 'Path', 'Module', 'Verdict', 'Time', 'Remark', 'History']
                .map((title) => h('th', {scope: 'col'}, title)))),
            h('tbody', {id: `${prefix}detail-rows`}, rows.map((row) => {
                const cell = h('td', {class: 'history', dataset: {tcid: row.id}}, h('span', {class: 'muted small'}, '…'));
                if (Number.isInteger(row.id))
                    historyCells.set(row.id, [...(historyCells.get(row.id) || []), cell]);
                return h('tr', {class: row.cause ? 'cause' : null, dataset: {verdict: row.verdict}},
                    h('td', {class: 'num'}, row.seq + 1),
                    h('td', {}, row.title || `test case ${row.id}`, h('span', {class: 'muted small'}, ` #${row.id}`)),
                    h('td', {class: 'muted'}, row.path),
                    h('td', {class: 'muted'}, row.module || ''),
                    verdictCell(row.verdict, row.cause),
                    h('td', {class: 'num'}, durationText(row.ms) || h('span', {class: 'muted'}, '–')),
                    h('td', {class: 'remark'}, row.remark || h('span', {class: 'muted'}, '–')),
                    cell);
            }))),
        h('form', {class: 'compare-form', onsubmit: act(async (event) => {
            event.preventDefault();
            const other = Number(otherInput.value);
            if (!Number.isInteger(other) || other < 1) {
                compareBox.hidden = false;
                clear(compareBox, h('p', {class: 'form-error', role: 'alert'}, `Give the id of another job of plan #${job.planid}`));
                return;
            }
            const otherReply = await call('job_detail', {jobid: other, verdicts: true});
            renderCompare(compareBox, reply, otherReply, prefix);
        })},
        field(`Compare job #${jobid} with job`, otherInput),
        h('datalist', {id: `${prefix}compare-jobs-${jobid}`}, others.map((id) => h('option', {value: id}))),
        h('button', {type: 'submit', name: 'compare'}, 'Compare')),
        compareBox);
    loadHistory(call, historyCells).catch(showError);
}

const shown = (verdict) => (verdict === null ? h('span', {class: 'muted'}, 'not in the job') : badge(verdict));

export function renderCompare(box, first, second, prefix = '') {
    const result = compareJobs(first, second);
    box.hidden = false;
    if (result.error) {
        clear(box, h('p', {class: 'form-error', role: 'alert'}, result.error));
        return;
    }
    box.dataset.before = result.before;
    box.dataset.after = result.after;
    clear(box,
        h('h3', {}, `Job #${result.before} → job #${result.after} (plan #${result.planid})`),
        h('p', {class: 'muted', id: `${prefix}compare-summary`}, result.changed.length === 0
            ? `No verdict changed; ${result.same} test case${result.same === 1 ? '' : 's'} the same.`
            : `${result.changed.length} changed, ${result.same} the same.`),
        result.changed.length === 0 ? null : scrollTable('Changed verdicts',
            h('thead', {}, h('tr', {}, ['#', 'Test case', `Job #${result.before}`, `Job #${result.after}`, 'Remark']
                .map((title) => h('th', {scope: 'col'}, title)))),
            h('tbody', {id: `${prefix}compare-rows`}, result.changed.map((row) => h('tr', {dataset: {tcid: row.id,
                before: row.before ?? '', after: row.after ?? ''}},
            h('td', {class: 'num'}, row.seq + 1),
            h('td', {}, row.title || `test case ${row.id}`, h('span', {class: 'muted small'}, ` #${row.id}`)),
            h('td', {}, shown(row.before)),
            h('td', {}, shown(row.after)),
            h('td', {class: 'remark'}, row.remark || h('span', {class: 'muted'}, '–')))))));
}

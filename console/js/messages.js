// What the host's answers mean to a test engineer, and what to do next. The
// host speaks in its own words ("Local AT Server not support cmd: X", an
// empty text for "nothing found"); a notice says what happened and how to
// go on. No DOM here, so that Node can test it.

import {hideTokens} from './address.js';

const PLAN_CMDS = ['plan_info', 'plan_tcs', 'update_plan', 'del_plan', 'sync_plan', 'execute_job_local'];
const TC_CMDS = ['fetch_tc', 'update_tc', 'del_tc'];
const JOB_CMDS = ['job_info', 'job_detail', 'CancelJob'];

function nothingFound(cmd) {
    if (PLAN_CMDS.includes(cmd))
        return {text: 'This station has no plan with that id.', next: 'Check the id, or find the plan in the list under Plans.'};
    if (TC_CMDS.includes(cmd))
        return {text: 'This station has no test case with that id.', next: 'Reload the library: it may have been deleted meanwhile.'};
    if (JOB_CMDS.includes(cmd))
        return {text: 'This station has no job with that id.', next: 'Check the id in the reports under Results.'};
    if (cmd === 'my_plans')
        return {text: 'No plan matches.', next: 'Check the tag or the search words, or clear them to list every plan.'};
    if (cmd === 'proj_tcs')
        return {text: 'No test case matches.', next: 'Check the search words, or clear them to see the whole library.'};
    return {text: 'The station found nothing for this request.', next: 'Check the id or the name you gave.'};
}

// Rules for the texts the host or the browser give, first match wins: a
// pattern, and a function of its match giving {text, next}.
const RULES = [
    [/^not connected to a station/i, () => ({text: 'Not connected to a station.',
        next: 'Give the station’s address at the top and press Connect.'})],
    [/^connection lost|^disconnected$/i, () => ({text: 'The connection to the station was lost before it answered.',
        next: 'The console connects again by itself; do it again once the top bar says “connected”.'})],
    [/cannot reach (\S+?)\s*\(/i, (match) => ({text: `The station at ${match[1]} does not answer.`,
        next: 'Check that autotest-host runs there, and that it allows this page’s origin (--allow-origin); '
            + 'a host started with --token needs its token.'})],
    [/not support cmd:\s*(\S+)/i, (match) => ({text: `This station’s autotest-host does not know “${match[1]}”.`,
        next: 'Update autotest-host on the station; everything else here works without it.'})],
    [/is not in the device template/i, (match) => ({text: match.input,
        next: 'Correct the module or group of that test case in the library, or add the device’s template to the '
            + 'station’s Data/AutoTestTpl/ folder.'})],
    [/tclist has (\d+) test case ids, more than the limit of (\d+)/i, (match) => ({
        text: `The plan would hold ${match[1]} test cases, more than the station takes (${match[2]}).`,
        next: 'Split it into smaller plans, or raise KIV_TCLIST_LIMIT where autotest-host runs.'})],
    [/^No more worker/i, () => ({text: 'The station runs as many jobs as it can at once.',
        next: 'Start the job again once another has ended, or cancel one under Results.'})],
    [/^URL is empty/i, () => ({text: 'The job has no device url.', next: 'Give the device url, e.g. devices/bench-01.'})],
    [/Job url has no device id/i, () => ({text: 'The device url names no device.',
        next: 'Give a url whose last part is the device, e.g. devices/bench-01.'})],
    [/^Forbidden|no token given|token is not/i, () => ({text: 'The token was refused (none was given, or not the right one).',
        next: 'Give the token beside the station’s address (or, for the lab server, in the Lab view) and try again.'})],
    [/could not read the request|not a JSON object|unreadable message/i, () => ({
        text: 'The station and the console did not understand each other.',
        next: 'Reload the page; if it happens again, the console and autotest-host may be of different versions.'})],
    [/Device Can't Enter AT Mode/i, (match) => ({text: match.input,
        next: 'Check that the device is on and answers its controller, then start the job again.'})],
    [/Websocket to controller|Connection refused/i, (match) => ({text: match.input,
        next: 'Check that the controller (or controller-emulator) runs where autotest-host expects it (--controller).'})],
];

// {text, next} for a failed request: `cmd` the command, `message` the host's
// or the browser's text, `empty` when the host answered an empty text (what
// the station's database says when a lookup found nothing).
export function explain(cmd, message, empty = false) {
    if (empty)
        return nothingFound(cmd);
    const raw = hideTokens(message);
    for (const [pattern, make] of RULES) {
        const match = pattern.exec(raw);
        if (match)
            return make(match);
    }
    return {text: raw.trim() === '' ? 'Something went wrong without a reason given.' : raw, next: ''};
}

// Why a connection closed, in words; `origin` the page's own.
export function closeReason(code, reason, address, origin) {
    if (reason)
        return hideTokens(reason);
    if (code === 1006)
        return `cannot reach ${address} (is autotest-host running there, and does it allow this page’s origin ${origin}?)`;
    return `closed with code ${code}`;
}

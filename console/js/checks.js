// Checks of a test case before it is saved: its module, group and DATA
// against the station's device templates (by the host, "check_testcase", or
// here from the templates it serves when the host cannot), and what the
// host's compile of the verification script ("check_script") found. Each problem names the
// field it belongs to. No DOM here, so that Node can test it.

function list(names) {
    const shown = names.slice(0, 8).join(', ');
    return names.length > 8 ? `${shown}, …` : shown;
}

// `devices`: Catalog.modules(true), module -> group -> [{name, index}].
// A station without device templates checks nothing. [{field, message}].
export function checkNames(devices, {module, group, data}) {
    if (!(devices instanceof Map) || devices.size === 0)
        return [];
    const groups = devices.get(module);
    if (!groups) {
        return [{field: 'module', message: `No device template of this station has a module “${module}”. `
            + `Its modules: ${list([...devices.keys()])}.`}];
    }
    const named = [...groups.keys()].filter(Boolean);
    if (named.length === 0)
        return [];
    const items = groups.get(group);
    if (!items) {
        return [{field: 'group', message: `Module “${module}” has no group “${group}” in the device templates. `
            + `Its groups: ${list(named)}.`}];
    }
    if (!Array.isArray(data) || items.length === 0)
        return [];
    const known = new Set(items.map((item) => item.index));
    const unknown = [...new Set(data.filter((entry) => entry && typeof entry === 'object' && 'INDEX' in entry)
        .map((entry) => entry.INDEX).filter((index) => !known.has(index)))];
    if (unknown.length === 0)
        return [];
    return [{field: 'data', message: `${module}/${group} has no item with INDEX ${unknown.join(', ')}. `
        + `Its items: ${list(items.map((item) => `${item.index} ${item.name}`.trim()))}.`}];
}

// The host's answer to "check_script": null when the script compiles, else
// {line, message}. A script that does not compile is refused with the
// engine's own text in "error" and its line in "line" (1 for the script's
// first, left out when the engine names none).
export function scriptProblem(reply) {
    const record = reply && typeof reply === 'object' ? reply : {};
    if (record.result === 'ok' || record.result === undefined)
        return null;
    const message = [record.error, record.result].find((item) => typeof item === 'string' && item.trim());
    const line = Number.isInteger(record.line) && record.line > 0 ? record.line : 0;
    return {line, message: message || 'the script does not compile'};
}

// The fields of the editor that the members "check_testcase" names belong to.
const CONTENT_FIELDS = {MODULE_NAME: 'module', GROUP_NAME: 'group', DATA: 'data'};

// The host's answer to "check_testcase" as [{field, message}]: its
// "problems" (member, value, message each), one per field, the first of
// each kept. A refusal without problems (no device template, templates that
// could not be read) checked nothing and finds nothing.
export function contentProblems(reply) {
    const record = reply && typeof reply === 'object' ? reply : {};
    if (record.result === 'ok' || !Array.isArray(record.problems))
        return [];
    const found = new Map();
    for (const problem of record.problems) {
        if (!problem || typeof problem.field !== 'string' || typeof problem.message !== 'string')
            continue;
        const field = CONTENT_FIELDS[problem.field.split(/[[.]/)[0]] || 'data';
        if (!found.has(field))
            found.set(field, problem.message);
    }
    return [...found].map(([field, message]) => ({field, message}));
}

// The text under the script field.
export function scriptProblemText(problem) {
    return problem.line ? `Line ${problem.line}: ${problem.message}` : problem.message;
}

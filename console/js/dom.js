// Small helpers for building the views without a framework.

import {hideTokens} from './address.js';
import {explain} from './messages.js';

// h('button', {class: 'primary', onclick: fn}, 'Save'): attributes starting
// with "on" become listeners, `dataset` and `style` objects are merged, the
// rest are set as attributes (false and null leave them out).
export function h(tag, attrs = {}, ...children) {
    const element = document.createElement(tag);
    for (const [key, value] of Object.entries(attrs || {})) {
        if (value === false || value === null || value === undefined)
            continue;
        if (key.startsWith('on') && typeof value === 'function')
            element.addEventListener(key.slice(2), value);
        else if (key === 'dataset' || key === 'style')
            Object.assign(element[key], value);
        else if (key === 'value' || key === 'checked' || key === 'selected')
            element[key] = value;
        else
            element.setAttribute(key, value === true ? '' : value);
    }
    append(element, children);
    return element;
}

function append(element, children) {
    for (const child of children.flat(Infinity)) {
        if (child === null || child === undefined || child === false)
            continue;
        element.append(child instanceof Node ? child : document.createTextNode(String(child)));
    }
}

export function clear(element, ...children) {
    element.replaceChildren();
    append(element, children);
    return element;
}

// A labelled form row; `control` is an input, select or textarea.
export function field(label, control, hint = '') {
    return h('label', {class: 'field'}, h('span', {class: 'field-label'}, label), control,
        hint ? h('span', {class: 'field-hint'}, hint) : null);
}

// Notices stay until the person closes them, so that no error goes unseen.
// `text` is a string or {text, next}: what happened and what to do now. No
// notice ever shows a token. The page keeps room below its content for the
// notices (--notices-height), so that they never cover a button.
export function notify(text, kind = 'error', cmd = '') {
    const list = document.getElementById('notices');
    const message = typeof text === 'object' && text !== null ? text : {text: String(text), next: ''};
    const notice = h('div', {class: `notice ${kind}`, role: kind === 'error' ? 'alert' : 'status', dataset: {cmd}},
        h('span', {class: 'notice-text'}, hideTokens(message.text),
            message.next ? h('span', {class: 'notice-next'}, hideTokens(message.next)) : null),
        h('button', {class: 'icon', title: 'Dismiss', 'aria-label': 'Dismiss', onclick: () => notice.remove()}, '×'));
    list.prepend(notice);
    if (kind !== 'error')
        setTimeout(() => notice.remove(), 3000);
    while (list.children.length > 4)
        list.lastElementChild.remove();
    return notice;
}

// Keeps --notices-height at the height the notices take at the bottom of
// the window.
export function reserveNoticeSpace() {
    const list = document.getElementById('notices');
    const update = () => document.documentElement.style.setProperty('--notices-height',
        `${list.children.length ? Math.ceil(list.getBoundingClientRect().height) + 16 : 0}px`);
    new ResizeObserver(update).observe(list);
    new MutationObserver(update).observe(list, {childList: true});
    update();
}

export function showError(error) {
    if (error && error.cmd !== undefined)
        notify(explain(error.cmd, error.message, error.empty), 'error', error.cmd);
    else
        notify(explain('', String(error && error.message || error)), 'error');
}

// Runs an event handler's async work and shows whatever it throws.
export function act(work) {
    return (...args) => Promise.resolve().then(() => work(...args)).catch(showError);
}

// Marks a form control as wrong and says why under it (or clears it when
// `message` is empty); the message is the control's description.
export function setFieldError(control, message) {
    const box = control.closest('.field');
    let note = box ? box.querySelector(':scope > .field-error') : null;
    if (!message) {
        control.removeAttribute('aria-invalid');
        if (note)
            note.remove();
        return;
    }
    if (!note) {
        note = h('span', {class: 'field-error', id: `${control.name || 'field'}-error`});
        if (box)
            box.append(note);
        else
            control.after(note);
    }
    note.textContent = message;
    control.setAttribute('aria-invalid', 'true');
    control.setAttribute('aria-describedby', note.id);
}

// A table that scrolls sideways inside its panel on a narrow screen; the
// keyboard reaches it too (it is focusable and named).
export function scrollTable(label, ...children) {
    return h('div', {class: 'table-scroll', tabindex: '0', role: 'region', 'aria-label': label},
        h('table', {class: 'grid-table'}, ...children));
}

const BADGE_LABELS = {pass: 'PASS', fail: 'FAIL', error: 'ERROR', 'not run': 'NOT RUN', running: 'RUNNING',
    pending: 'PENDING', waiting: 'WAITING'};

// A verdict as a badge; "data-verdict" keeps the host's word ("not run"),
// the class one without blanks.
export function badge(verdict) {
    return h('span', {class: `badge ${verdict.replace(/ /g, '-')}`, dataset: {verdict}},
        BADGE_LABELS[verdict] || verdict.toUpperCase());
}

// A case's verdict cell; the case a whole-job failure happened in says so.
export function verdictCell(verdict, cause = false) {
    return h('td', {}, badge(verdict), cause ? h('span', {class: 'cause-note'}, 'the job failed here') : null);
}

// The counters of a tally: pass, fail and error always, the others when some
// case has them.
export function counterList(counts) {
    return ['pass', 'fail', 'error', 'not run', 'running'].filter((key) => counts[key] || ['pass', 'fail', 'error'].includes(key))
        .map((key) => h('span', {class: `counter ${key.replace(/ /g, '-')}`, dataset: {verdict: key}},
            h('b', {}, counts[key] || 0), ` ${key}`));
}

export function parseJsonObject(text) {
    try {
        const value = JSON.parse(text);
        return value && typeof value === 'object' && !Array.isArray(value) ? value : null;
    } catch {
        return null;
    }
}

// JSON for the editors: an array of objects keeps one element per line.
export function formatJson(value) {
    const oneLine = (item) => JSON.stringify(item, null, 1).replace(/\n\s*/g, ' ');
    if (Array.isArray(value) && value.length > 0 && value.every((item) => item && typeof item === 'object'))
        return `[\n${value.map((item) => `  ${oneLine(item)}`).join(',\n')}\n]`;
    return JSON.stringify(value, null, 2);
}

// The monospace editors: Tab indents instead of leaving the field.
export function codeArea(attrs = {}) {
    const area = h('textarea', Object.assign({class: 'code', spellcheck: 'false', autocomplete: 'off'}, attrs));
    area.addEventListener('keydown', (event) => {
        if (event.key !== 'Tab' || event.shiftKey || event.ctrlKey || event.altKey)
            return;
        event.preventDefault();
        area.setRangeText('    ', area.selectionStart, area.selectionEnd, 'end');
    });
    return area;
}

// Plans: list by tag, create, tag, pick and order test cases ("sync_plan"),
// post-delay strategies per test case and the job-level script.

import {act, clear, codeArea, field, h, notify, parseJsonObject, showError} from './dom.js';
import {loadAllTestcases, matches} from './library.js';

const TAGS_KEY = 'kiv.console.tags';

// The host lists plans only by tag, so the console remembers the tags it has
// seen on this station.
export function knownTags(ctx) {
    try {
        const all = JSON.parse(localStorage.getItem(TAGS_KEY)) || {};
        return Array.isArray(all[ctx.station.url]) ? all[ctx.station.url] : [];
    } catch {
        return [];
    }
}

export function rememberTag(ctx, tag) {
    let all;
    try {
        all = JSON.parse(localStorage.getItem(TAGS_KEY)) || {};
    } catch {
        all = {};
    }
    const tags = (Array.isArray(all[ctx.station.url]) ? all[ctx.station.url] : []).filter((known) => known !== tag);
    tags.unshift(tag);
    all[ctx.station.url] = tags.slice(0, 30);
    localStorage.setItem(TAGS_KEY, JSON.stringify(all));
}

// {plans, error}: "my_plans" answers a failure with an empty text when no
// plan has the tag, which is an empty list here (its text is still shown);
// any other failure is thrown.
export async function plansByTag(ctx, tag) {
    try {
        const reply = await ctx.call('my_plans', {tags: [tag], page: 1, size: 1000});
        return {plans: Array.isArray(reply.data) ? reply.data : [], error: null};
    } catch (error) {
        if (!error.empty)
            throw error;
        return {plans: [], error};
    }
}

function delayOf(strategies) {
    let delay = 0;
    for (const item of Array.isArray(strategies) ? strategies : []) {
        if (item && item.type === 's_deplay')
            delay = Number.isInteger(item.time) ? item.time : 0;
    }
    return delay;
}

export function createPlansView(ctx) {
    let plan = null;          // the stored plan being edited, or null for a new one
    let rows = [];            // [{tc, delay, extra}] in plan order
    let library = [];
    let baseContent = {};
    let refreshPicker = () => {};

    const tagInput = h('input', {type: 'search', name: 'tag-filter', placeholder: 'Tag', list: 'plan-tags'});
    const tagList = h('datalist', {id: 'plan-tags'});
    const idInput = h('input', {type: 'number', name: 'open-planid', placeholder: 'Plan id', min: 1});
    const planList = h('div', {class: 'plan-list', id: 'plan-list'});
    const form = h('form', {class: 'editor', id: 'plan-editor', autocomplete: 'off'});
    const element = h('section', {id: 'plans', class: 'split'},
        h('div', {class: 'panel list-panel'},
            h('div', {class: 'panel-head'}, h('h2', {}, 'Plans'),
                h('button', {type: 'button', class: 'primary', name: 'new-plan', onclick: act(() => edit(null))}, '+ New plan')),
            h('form', {class: 'inline', onsubmit: act((event) => { event.preventDefault(); return listPlans(); })},
                tagInput, tagList, h('button', {type: 'submit'}, 'List')),
            h('form', {class: 'inline', onsubmit: act((event) => { event.preventDefault(); return open(Number(idInput.value)); })},
                idInput, h('button', {type: 'submit', name: 'open-plan'}, 'Open')),
            planList),
        h('div', {class: 'panel editor-panel'}, form));

    async function listPlans() {
        const tag = tagInput.value.trim();
        clear(tagList, knownTags(ctx).map((known) => h('option', {value: known})));
        const {plans, error} = await plansByTag(ctx, tag);
        if (error) {
            clear(planList, h('p', {class: 'empty'}, `No plan is tagged “${tag}”.`,
                h('span', {class: 'muted small block'}, `my_plans answered: ${error.message}`)));
            return;
        }
        rememberTag(ctx, tag);
        clear(planList, plans.map((item) => h('button', {type: 'button',
            class: `leaf${plan && plan.planid === item.planid ? ' active' : ''}`, dataset: {planid: item.planid},
            onclick: act(() => open(item.planid))},
            h('span', {class: 'leaf-title'}, item.name || '(unnamed)'),
            h('span', {class: 'muted small'}, `#${item.planid} · ${(item.tags || [])[0] || 'no tag'}`))));
    }

    async function open(id) {
        if (!id)
            return;
        const info = await ctx.call('plan_info', {planid: id});
        const members = await ctx.call('plan_tcs', {planid: id});
        await edit(info, Array.isArray(members.data) ? members.data : []);
    }

    async function edit(stored, members = []) {
        plan = stored;
        const content = parseJsonObject((stored && stored.content) || '{}') || {};
        baseContent = content;
        const strategies = Array.isArray(content.case_stratepy) ? content.case_stratepy : [];
        rows = members.map((tc, index) => ({tc, delay: delayOf(strategies[index]),
            extra: (Array.isArray(strategies[index]) ? strategies[index] : []).filter((item) => !item || item.type !== 's_deplay')}));
        // The editor first, the library beside it when it has been read.
        renderEditor();
        listPlans().catch(showError);
        library = (await loadAllTestcases(ctx)).list;
        refreshPicker();
    }

    function renderEditor() {
        const stored = plan || {};
        const inputs = {
            name: h('input', {type: 'text', name: 'name', required: true, value: stored.name || ''}),
            tag: h('input', {type: 'text', name: 'tag', value: (stored.tags || [])[0] || tagInput.value.trim()}),
            author: h('input', {type: 'text', name: 'author', value: stored.author || ''}),
            remark: h('input', {type: 'text', name: 'remark', value: stored.remark || ''}),
            projectid: h('input', {type: 'number', name: 'projectid', value: stored.projectid ?? 1}),
        };
        const script = codeArea({name: 'job-script', rows: 6, value: baseContent.execute_script || '',
            placeholder: '(function (local, global) {\n    return global.Power.Battery.Voltage.length > 0;\n})'});
        const chosen = h('ol', {class: 'chosen', id: 'plan-cases'});
        const pickSearch = h('input', {type: 'search', name: 'pick-search', placeholder: 'Search the library…'});
        const pickList = h('div', {class: 'pick-list', id: 'plan-picker'});

        const renderChosen = () => {
            if (rows.length === 0) {
                clear(chosen, h('li', {class: 'empty'}, 'No test cases yet: add them from the library below.'));
                return;
            }
            clear(chosen, rows.map((row, index) => {
                const delay = h('input', {type: 'number', min: 0, step: 100, value: row.delay, class: 'delay',
                    name: `delay-${index}`, title: 'Pause after this test case, in ms'});
                delay.addEventListener('input', () => { row.delay = Math.max(0, Math.trunc(Number(delay.value) || 0)); });
                const move = (to) => () => {
                    rows.splice(to, 0, rows.splice(index, 1)[0]);
                    renderChosen();
                };
                return h('li', {dataset: {tcid: row.tc.testcaseid}},
                    h('span', {class: 'order'}, index + 1),
                    h('span', {class: 'grow'}, h('strong', {}, row.tc.title || '(untitled)'),
                        h('span', {class: 'muted small block'}, `#${row.tc.testcaseid} · ${row.tc.path || 'no path'}`)),
                    h('label', {class: 'delay-label'}, 'then wait', delay, 'ms'),
                    h('button', {type: 'button', class: 'icon', title: 'Move up', disabled: index === 0, onclick: move(index - 1)}, '↑'),
                    h('button', {type: 'button', class: 'icon', title: 'Move down', disabled: index === rows.length - 1,
                        onclick: move(index + 1)}, '↓'),
                    h('button', {type: 'button', class: 'icon', title: 'Remove', name: 'remove',
                        onclick: () => { rows.splice(index, 1); renderChosen(); }}, '×'));
            }));
        };
        const renderPicker = () => {
            const shown = library.filter((tc) => matches(tc, pickSearch.value.trim())).slice(0, 200);
            clear(pickList, shown.length ? shown.map((tc) => h('button', {type: 'button', class: 'pick',
                dataset: {tcid: tc.testcaseid}, title: 'Add to the plan',
                onclick: () => { rows.push({tc, delay: 0, extra: []}); renderChosen(); }},
                h('span', {class: 'plus'}, '+'), h('span', {class: 'grow'}, tc.title || '(untitled)'),
                h('span', {class: 'muted small'}, `${tc.path || ''} #${tc.testcaseid}`)))
                : h('p', {class: 'empty'}, library.length ? 'Nothing matches.' : 'The library is empty.'));
        };
        pickSearch.addEventListener('input', renderPicker);
        refreshPicker = renderPicker;
        renderChosen();
        renderPicker();

        const deleteButton = h('button', {type: 'button', class: 'danger', name: 'delete', hidden: !plan}, 'Delete');
        deleteButton.addEventListener('click', act(async () => {
            if (deleteButton.dataset.armed !== 'yes') {
                deleteButton.dataset.armed = 'yes';
                deleteButton.textContent = 'Click again to delete';
                return;
            }
            await ctx.call('del_plan', {planid: plan.planid});
            notify(`Deleted plan #${plan.planid}`, 'info');
            await edit(null);
        }));

        form.onsubmit = act(async (event) => {
            event.preventDefault();
            const content = Object.assign({}, baseContent, {
                case_stratepy: rows.map((row) => [...row.extra, ...(row.delay > 0 ? [{type: 's_deplay', time: row.delay}] : [])]),
            });
            if (script.value.trim())
                content.execute_script = script.value;
            else
                delete content.execute_script;
            const tag = inputs.tag.value.trim();
            const record = {name: inputs.name.value, author: inputs.author.value, remark: inputs.remark.value,
                projectid: Number(inputs.projectid.value) || 0, tags: [tag], content: JSON.stringify(content)};
            let id;
            if (plan) {
                id = plan.planid;
                await ctx.call('update_plan', {planid: id, attrs: record});
            } else {
                id = (await ctx.call('create_plan', record)).planid;
            }
            await ctx.call('sync_plan', {planid: id, tclist: rows.map((row) => row.tc.testcaseid)});
            rememberTag(ctx, tag);
            tagInput.value = tag;
            notify(`Saved plan #${id} with ${rows.length} test case${rows.length === 1 ? '' : 's'}`, 'info');
            await open(id);
        });

        clear(form,
            h('div', {class: 'panel-head'}, h('h2', {}, plan ? `Plan #${stored.planid}` : 'New plan'),
                plan ? h('span', {class: 'muted small'}, `created ${stored.ctime || '–'} · changed ${stored.mtime || '–'}`) : null),
            h('div', {class: 'grid two'}, field('Name', inputs.name), field('Tag', inputs.tag)),
            h('div', {class: 'grid three'}, field('Author', inputs.author), field('Remark', inputs.remark),
                field('Project', inputs.projectid)),
            h('h3', {}, 'Test cases, in the order they run'),
            chosen,
            h('details', {class: 'picker', open: true}, h('summary', {}, 'Add from the library'), pickSearch, pickList),
            h('h3', {}, 'Job-level script'),
            h('label', {class: 'field'}, script,
                h('span', {class: 'field-hint'}, 'Runs after the last test case against the observation data (global); '
                    + 'its verdict is the job’s result.')),
            h('div', {class: 'actions end'}, deleteButton,
                plan ? h('button', {type: 'button', name: 'run-plan', onclick: () => ctx.go('run', plan.planid)}, 'Run…') : null,
                h('button', {type: 'submit', class: 'primary', name: 'save'}, plan ? 'Save plan' : 'Create plan')));
    }

    renderEditor();
    return {
        element,
        async show() {
            if (!tagInput.value)
                tagInput.value = knownTags(ctx)[0] || '';
            // Keep what is being typed; only the library beside it is new.
            library = (await loadAllTestcases(ctx)).list;
            refreshPicker();
            await listPlans();
        },
    };
}

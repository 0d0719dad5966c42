// Plans: list by tag, create, tag, pick and order test cases ("sync_plan"),
// post-delay strategies per test case and the job-level script.

import {act, clear, codeArea, field, h, notify, parseJsonObject, setFieldError, showError} from './dom.js';
import {scriptProblem, scriptProblemText} from './checks.js';
import {loadAllTestcases} from './library.js';
import {matchesPlan, matchesTestcase, pageOf} from './paging.js';

const PICK_PAGE = 50;
const PLAN_PAGE = 50;
const ALL_PLANS = 10000;

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

// Every plan of the station, newest first: {plans, all}. "all": true asks
// "my_plans" for the plans of every tag; a host that does not know it
// answers for the tags this browser has seen (`all` false then).
export async function allPlans(ctx) {
    if (ctx.supports === undefined || ctx.supports('my_plans.all')) {
        try {
            const reply = await ctx.call('my_plans', {all: true, page: 1, size: ALL_PLANS});
            if (Array.isArray(reply.data))
                return {plans: reply.data.sort((a, b) => b.planid - a.planid), all: true};
        } catch (error) {
            if (!error.empty && !/tag/i.test(error.message))
                throw error;
        }
        if (ctx.unknownCommands)
            ctx.unknownCommands.add('my_plans.all');
    }
    const found = new Map();
    for (const tag of knownTags(ctx)) {
        const {plans} = await plansByTag(ctx, tag);
        plans.forEach((plan) => found.set(plan.planid, plan));
    }
    return {plans: [...found.values()].sort((a, b) => b.planid - a.planid), all: false};
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

    let listed = [];          // the plans listed (all, or those of the tag)
    let listPage = 1;
    let everyPlan = false;    // the host listed every plan

    const tagInput = h('input', {type: 'search', name: 'tag-filter', id: 'plan-tag-filter', list: 'plan-tags',
        placeholder: 'every tag'});
    const tagList = h('datalist', {id: 'plan-tags'});
    const planSearch = h('input', {type: 'search', name: 'plan-search', id: 'plan-search', 'aria-controls': 'plan-list',
        placeholder: 'words of the name, #id'});
    const idInput = h('input', {type: 'number', name: 'open-planid', id: 'open-planid', min: 1});
    const planList = h('div', {class: 'plan-list', id: 'plan-list'});
    const planShowing = h('span', {class: 'grow', id: 'plan-showing'});
    const planPrev = h('button', {type: 'button', class: 'small', name: 'plans-prev', 'aria-label': 'Previous page of plans',
        onclick: () => { --listPage; renderPlanList(); }}, '‹ Previous');
    const planNext = h('button', {type: 'button', class: 'small', name: 'plans-next', 'aria-label': 'Next page of plans',
        onclick: () => { ++listPage; renderPlanList(); }}, 'Next ›');
    const form = h('form', {class: 'editor', id: 'plan-editor', autocomplete: 'off', 'aria-label': 'Plan'});
    const element = h('section', {id: 'plans', class: 'split'},
        h('div', {class: 'panel list-panel'},
            h('div', {class: 'panel-head'}, h('h1', {}, 'Plans'),
                h('button', {type: 'button', class: 'primary', name: 'new-plan', onclick: act(() => edit(null))}, '+ New plan')),
            h('div', {class: 'search-row'}, h('label', {for: 'plan-search', class: 'field-label'}, 'Search name or id'), planSearch),
            h('form', {class: 'search-row', onsubmit: act((event) => { event.preventDefault(); return listPlans(); })},
                h('label', {for: 'plan-tag-filter', class: 'field-label'}, 'Tag'),
                h('div', {class: 'inline'}, tagInput, tagList, h('button', {type: 'submit', name: 'list-plans'}, 'List'))),
            h('form', {class: 'search-row', onsubmit: act((event) => { event.preventDefault(); return open(Number(idInput.value)); })},
                h('label', {for: 'open-planid', class: 'field-label'}, 'Open a plan by id'),
                h('div', {class: 'inline'}, idInput, h('button', {type: 'submit', name: 'open-plan'}, 'Open'))),
            h('div', {class: 'pager'}, planShowing, planPrev, planNext),
            planList),
        h('div', {class: 'panel editor-panel'}, form));

    planSearch.addEventListener('input', () => {
        listPage = 1;
        renderPlanList();
    });

    // The tag's plans, or every plan when no tag is given.
    async function listPlans() {
        const tag = tagInput.value.trim();
        clear(tagList, knownTags(ctx).map((known) => h('option', {value: known})));
        if (!tag) {
            const found = await allPlans(ctx);
            listed = found.plans;
            everyPlan = found.all;
        } else {
            const {plans, error} = await plansByTag(ctx, tag);
            listed = plans.sort((a, b) => b.planid - a.planid);
            everyPlan = false;
            if (!error)
                rememberTag(ctx, tag);
        }
        listPage = 1;
        renderPlanList();
    }

    function renderPlanList() {
        const tag = tagInput.value.trim();
        const shown = listed.filter((item) => matchesPlan(item, planSearch.value.trim()));
        const current = pageOf(shown, listPage, PLAN_PAGE);
        listPage = current.page;
        planShowing.textContent = `${current.text} ${tag ? `tagged “${tag}”` : everyPlan ? 'plans' : 'plans of the tags seen here'}`;
        planPrev.disabled = current.page <= 1;
        planNext.disabled = current.page >= current.pages;
        planPrev.hidden = planNext.hidden = current.pages <= 1;
        if (shown.length === 0) {
            clear(planList, h('p', {class: 'empty'}, listed.length ? 'No plan matches: try fewer words, or #id.'
                : tag ? `No plan is tagged “${tag}”. Clear the tag to list every plan.`
                    : 'No plans yet. Create one with “New plan”.'));
            return;
        }
        clear(planList, current.items.map((item) => h('button', {type: 'button',
            class: `leaf${plan && plan.planid === item.planid ? ' active' : ''}`, dataset: {planid: item.planid},
            'aria-current': plan && plan.planid === item.planid ? 'true' : null, title: item.name || '(unnamed)',
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
        const pickSearch = h('input', {type: 'search', name: 'pick-search', id: 'pick-search', 'aria-controls': 'plan-picker',
            placeholder: 'words of the title or path, #id'});
        const pickList = h('div', {class: 'pick-list', id: 'plan-picker'});
        const pickShowing = h('span', {class: 'grow', id: 'pick-showing'});
        let pickPage = 1;
        const pickPrev = h('button', {type: 'button', class: 'small', name: 'pick-prev', 'aria-label': 'Previous page of the library',
            onclick: () => { --pickPage; renderPicker(); }}, '‹ Previous');
        const pickNext = h('button', {type: 'button', class: 'small', name: 'pick-next', 'aria-label': 'Next page of the library',
            onclick: () => { ++pickPage; renderPicker(); }}, 'Next ›');
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
                    h('button', {type: 'button', class: 'icon', title: 'Move up', 'aria-label': `Move ${row.tc.title || 'it'} up`, disabled: index === 0, onclick: move(index - 1)}, '↑'),
                    h('button', {type: 'button', class: 'icon', title: 'Move down', 'aria-label': `Move ${row.tc.title || 'it'} down`, disabled: index === rows.length - 1,
                        onclick: move(index + 1)}, '↓'),
                    h('button', {type: 'button', class: 'icon', title: 'Remove', 'aria-label': `Remove ${row.tc.title || 'it'}`, name: 'remove',
                        onclick: () => { rows.splice(index, 1); renderChosen(); }}, '×'));
            }));
        };
        const renderPicker = () => {
            const shown = library.filter((tc) => matchesTestcase(tc, pickSearch.value.trim()));
            const current = pageOf(shown, pickPage, PICK_PAGE);
            pickPage = current.page;
            pickShowing.textContent = pickSearch.value.trim() ? `${current.text} matching` : current.text;
            pickPrev.disabled = current.page <= 1;
            pickNext.disabled = current.page >= current.pages;
            pickPrev.hidden = pickNext.hidden = current.pages <= 1;
            clear(pickList, shown.length ? current.items.map((tc) => h('button', {type: 'button', class: 'pick',
                dataset: {tcid: tc.testcaseid}, title: `Add “${tc.title || '(untitled)'}” to the plan`,
                onclick: () => { rows.push({tc, delay: 0, extra: []}); renderChosen(); }},
                h('span', {class: 'plus', 'aria-hidden': 'true'}, '+'), h('span', {class: 'grow'}, tc.title || '(untitled)'),
                h('span', {class: 'muted small'}, `${tc.path || ''} #${tc.testcaseid}`)))
                : h('p', {class: 'empty'}, library.length ? 'Nothing matches: try fewer words, a part of the path, or #id.'
                    : 'The library is empty.'));
        };
        pickSearch.addEventListener('input', () => {
            pickPage = 1;
            renderPicker();
        });
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

        // The job-level script is compiled by the host before the plan is
        // saved; a second press ("Save anyway") keeps it as it is.
        const saveButton = h('button', {type: 'submit', class: 'primary', name: 'save'}, plan ? 'Save plan' : 'Create plan');
        let overrule = '';
        script.addEventListener('input', () => {
            overrule = '';
            setFieldError(script, '');
            saveButton.textContent = plan ? 'Save plan' : 'Create plan';
        });

        form.onsubmit = act(async (event) => {
            event.preventDefault();
            setFieldError(script, '');
            if (script.value.trim() && overrule !== script.value && ctx.supports('check_script')) {
                let problem = null;
                try {
                    await ctx.call('check_script', {script: script.value});
                } catch (error) {
                    problem = ctx.unsupported(error) ? null : scriptProblem(error.reply || {result: error.message});
                }
                if (problem) {
                    setFieldError(script, scriptProblemText(problem));
                    overrule = script.value;
                    saveButton.textContent = 'Save anyway';
                    script.focus();
                    return;
                }
            }
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
            notify(`Saved plan #${id} with ${rows.length} test case${rows.length === 1 ? '' : 's'}`, 'info');
            await open(id);
        });

        clear(form,
            h('div', {class: 'panel-head'}, h('h2', {id: 'plan-editor-title'}, plan ? `Plan #${stored.planid}` : 'New plan'),
                plan ? h('span', {class: 'muted small'}, `created ${stored.ctime || '–'} · changed ${stored.mtime || '–'}`) : null),
            h('div', {class: 'grid two'}, field('Name', inputs.name), field('Tag', inputs.tag)),
            h('div', {class: 'grid three'}, field('Author', inputs.author), field('Remark', inputs.remark),
                field('Project', inputs.projectid)),
            h('h3', {}, 'Test cases, in the order they run'),
            chosen,
            h('details', {class: 'picker', open: true}, h('summary', {}, 'Add from the library'),
                h('div', {class: 'search-row'}, h('label', {for: 'pick-search', class: 'field-label'}, 'Search the library'), pickSearch),
                h('div', {class: 'pager'}, pickShowing, pickPrev, pickNext), pickList),
            h('h3', {}, 'Job-level script'),
            h('label', {class: 'field'}, h('span', {class: 'visually-hidden'}, 'Job-level script'), script,
                h('span', {class: 'field-hint'}, 'Runs after the last test case against the observation data (global); '
                    + 'its verdict is the job’s result.')),
            h('div', {class: 'actions end action-bar'}, deleteButton,
                plan ? h('button', {type: 'button', name: 'run-plan', onclick: () => ctx.go('run', plan.planid)}, 'Run…') : null,
                saveButton));
    }

    renderEditor();
    return {
        element,
        async show() {
            // Keep what is being typed; only the library beside it is new.
            library = (await loadAllTestcases(ctx)).list;
            refreshPicker();
            await listPlans();
        },
    };
}

// Test library: the test cases as a tree by path, search, and an editor for
// one test case with its content (module, group, data, verification script).

import {act, clear, codeArea, field, formatJson, h, notify, parseJsonObject} from './dom.js';

const PAGE_SIZE = 500;
const MAX_PAGES = 40;

// Every test case of the station, read page by page ("proj_tcs" with the empty
// path lists them all, ordered by path). Returns {list, count}.
export async function loadAllTestcases(ctx) {
    const list = [];
    let count = 0;
    for (let page = 1; page <= MAX_PAGES; ++page) {
        const reply = await ctx.call('proj_tcs', {path: '', page, size: PAGE_SIZE});
        const data = Array.isArray(reply.data) ? reply.data : [];
        list.push(...data);
        count = Number(reply.count) || list.length;
        if (data.length < PAGE_SIZE || page >= (Number(reply.maxpage) || 1))
            break;
    }
    return {list, count};
}

export function matches(tc, query) {
    if (!query)
        return true;
    const text = `${tc.testcaseid} ${tc.title} ${tc.path} ${tc.tags} ${tc.author}`.toLowerCase();
    return query.toLowerCase().split(/\s+/).every((word) => text.includes(word));
}

function buildTree(testcases) {
    const root = {folders: new Map(), cases: []};
    for (const tc of testcases) {
        let node = root;
        for (const part of (tc.path || '').split('/').filter(Boolean)) {
            if (!node.folders.has(part))
                node.folders.set(part, {folders: new Map(), cases: []});
            node = node.folders.get(part);
        }
        node.cases.push(tc);
    }
    return root;
}

function countCases(node) {
    let count = node.cases.length;
    for (const child of node.folders.values())
        count += countCases(child);
    return count;
}

const TEXT_FIELDS = ['title', 'path', 'author', 'tags', 'hw', 'sw', 'constraints', 'remark'];

export function createLibraryView(ctx) {
    let testcases = [];
    let total = 0;
    let selected = null;      // the stored test case being edited, or null for a new one
    let baseContent = {};     // the content's other keys, kept as they were
    let refreshCatalog = () => {};

    const search = h('input', {type: 'search', name: 'search', placeholder: 'Search title, path, tags, id…'});
    const tree = h('div', {class: 'tree', id: 'tc-tree'});
    const summary = h('div', {class: 'muted small'});
    const form = h('form', {class: 'editor', id: 'tc-editor', autocomplete: 'off'});
    const element = h('section', {id: 'library', class: 'split'},
        h('div', {class: 'panel list-panel'},
            h('div', {class: 'panel-head'}, h('h2', {}, 'Test library'),
                h('div', {class: 'actions'},
                    h('button', {type: 'button', onclick: act(() => refresh())}, 'Reload'),
                    h('button', {type: 'button', class: 'primary', name: 'new-tc', onclick: () => edit(null)},
                        '+ New test case'))),
            search, summary, tree),
        h('div', {class: 'panel editor-panel'}, form));

    search.addEventListener('input', () => renderTree());

    function renderTree() {
        const query = search.value.trim();
        const shown = testcases.filter((tc) => matches(tc, query));
        summary.textContent = query ? `${shown.length} of ${testcases.length} match`
            : `${testcases.length} test case${testcases.length === 1 ? '' : 's'}`
              + (total > testcases.length ? ` (first ${testcases.length} of ${total})` : '');
        if (shown.length === 0) {
            clear(tree, h('p', {class: 'empty'}, query ? 'Nothing matches.' : 'No test cases yet. Create one with “New test case”.'));
            return;
        }
        clear(tree, renderNode(buildTree(shown), '', true));
    }

    function renderNode(node, name, isRoot) {
        const children = [];
        for (const [folder, child] of [...node.folders.entries()].sort((a, b) => a[0].localeCompare(b[0])))
            children.push(renderNode(child, folder, false));
        for (const tc of node.cases) {
            const active = selected && selected.testcaseid === tc.testcaseid;
            children.push(h('button', {type: 'button', class: `leaf${active ? ' active' : ''}`,
                dataset: {tcid: tc.testcaseid}, onclick: act(() => open(tc.testcaseid))},
                h('span', {class: 'leaf-title'}, tc.title || '(untitled)'),
                h('span', {class: 'muted small'}, `#${tc.testcaseid}`)));
        }
        if (isRoot)
            return h('div', {class: 'tree-root'}, children);
        return h('details', {open: true, class: 'folder'},
            h('summary', {}, h('span', {class: 'folder-name'}, name), h('span', {class: 'count'}, countCases(node))),
            h('div', {class: 'folder-body'}, children));
    }

    async function refresh() {
        const loaded = await loadAllTestcases(ctx);
        testcases = loaded.list;
        total = loaded.count;
        renderTree();
    }

    async function open(id) {
        const reply = await ctx.call('fetch_tc', {testcaseid: id});
        edit(reply);
    }

    function edit(tc) {
        selected = tc;
        renderTree();
        renderEditor();
    }

    function renderEditor() {
        const tc = selected || {};
        const content = parseJsonObject(tc.content || '{}');
        const contentBroken = tc.content && !content;
        baseContent = content ? Object.assign({}, content) : {};
        const inputs = {};
        for (const key of TEXT_FIELDS)
            inputs[key] = h('input', {type: 'text', name: key, value: tc[key] || ''});
        inputs.title.required = true;
        inputs.path.placeholder = 'power/supply';
        inputs.projectid = h('input', {type: 'number', name: 'projectid', value: tc.projectid ?? 1});
        inputs.timeout = h('input', {type: 'number', name: 'timeout', value: tc.timeout ?? 0, min: 0});

        const catalog = ctx.catalog;
        let modules = catalog.modules();
        const moduleList = h('datalist', {id: 'module-names'});
        const groupList = h('datalist', {id: 'group-names'});
        const module = h('input', {type: 'text', name: 'module', list: 'module-names', value: baseContent.MODULE_NAME || ''});
        const group = h('input', {type: 'text', name: 'group', list: 'group-names', value: baseContent.GROUP_NAME || ''});
        const data = codeArea({name: 'data', rows: 5,
            value: baseContent.DATA === undefined ? '' : formatJson(baseContent.DATA)});
        const script = codeArea({name: 'script', rows: 9, value: baseContent.execute_script || '',
            placeholder: '(function (local, global) {\n    return local.Voltage === 12;\n})'});
        const dataHint = h('span', {class: 'field-hint'});
        const fillGroups = () => {
            const groups = modules.get(module.value) || new Map();
            clear(groupList, [...groups.keys()].filter(Boolean).map((name) => h('option', {value: name})));
            const skeleton = catalog.dataSkeleton(module.value, group.value);
            dataHint.textContent = skeleton ? `Device items: ${(modules.get(module.value).get(group.value) || [])
                .map((item) => `${item.index} ${item.name}`).join(', ')}` : '';
            if (skeleton && !data.value.trim())
                data.value = formatJson(skeleton);
        };
        module.addEventListener('input', fillGroups);
        group.addEventListener('input', fillGroups);

        let presets = [];
        const preset = h('select', {name: 'preset'});
        // The templates may arrive after the editor is shown: fill them in
        // place, so that nothing typed meanwhile is lost.
        refreshCatalog = () => {
            modules = catalog.modules();
            clear(moduleList, [...modules.keys()].map((name) => h('option', {value: name})));
            presets = catalog.presets();
            clear(preset, h('option', {value: ''}, presets.length ? 'Fill from a template…' : 'No templates on this station'),
                presets.map((item, index) => h('option', {value: String(index)}, item.label)));
            preset.disabled = presets.length === 0;
            fillGroups();
        };
        preset.addEventListener('change', () => {
            const chosen = presets[Number(preset.value)];
            if (!chosen)
                return;
            const entry = chosen.entry;
            module.value = entry.MODULE_NAME || '';
            group.value = entry.GROUP_NAME || '';
            data.value = entry.DATA === undefined ? '' : formatJson(entry.DATA);
            script.value = entry.execute_script || '';
            if (entry.title && !inputs.title.value)
                inputs.title.value = entry.title;
            fillGroups();
        });
        refreshCatalog();

        const problem = h('p', {class: 'form-error', role: 'alert', hidden: true});
        const deleteButton = h('button', {type: 'button', class: 'danger', name: 'delete', hidden: !selected});
        deleteButton.textContent = 'Delete';
        deleteButton.addEventListener('click', act(async () => {
            if (deleteButton.dataset.armed !== 'yes') {
                deleteButton.dataset.armed = 'yes';
                deleteButton.textContent = 'Click again to delete';
                return;
            }
            await ctx.call('del_tc', {testcaseid: selected.testcaseid});
            notify(`Deleted test case #${selected.testcaseid}`, 'info');
            selected = null;
            await refresh();
            renderEditor();
        }));

        form.onsubmit = act(async (event) => {
            event.preventDefault();
            problem.hidden = true;
            let dataValue;
            try {
                dataValue = data.value.trim() === '' ? undefined : JSON.parse(data.value);
            } catch (error) {
                problem.textContent = `DATA is not JSON: ${error.message}`;
                problem.hidden = false;
                data.focus();
                return;
            }
            if (!module.value.trim() || !group.value.trim() || dataValue === undefined) {
                problem.textContent = 'A test case needs a module, a group and DATA to run.';
                problem.hidden = false;
                return;
            }
            const newContent = Object.assign({}, baseContent, {MODULE_NAME: module.value.trim(),
                GROUP_NAME: group.value.trim(), DATA: dataValue});
            if (script.value.trim())
                newContent.execute_script = script.value;
            else
                delete newContent.execute_script;
            const record = {content: JSON.stringify(newContent),
                projectid: Number(inputs.projectid.value) || 0, timeout: Number(inputs.timeout.value) || 0};
            for (const key of TEXT_FIELDS)
                record[key] = inputs[key].value;
            let id;
            if (selected) {
                id = selected.testcaseid;
                await ctx.call('update_tc', {testcaseid: id, attrs: record});
            } else {
                id = (await ctx.call('add_tc', {testcase: record})).testcaseid;
            }
            notify(`Saved test case #${id}`, 'info');
            await refresh();
            await open(id);
        });

        clear(form,
            h('div', {class: 'panel-head'},
                h('h2', {}, selected ? `Test case #${tc.testcaseid}` : 'New test case'),
                selected ? h('span', {class: 'muted small'}, `created ${tc.date || '–'} · changed ${tc.mtime || '–'}`) : null),
            contentBroken ? h('p', {class: 'form-error'}, 'The stored content is not a JSON object; saving replaces it.') : null,
            h('div', {class: 'grid two'},
                field('Title', inputs.title), field('Path', inputs.path, 'folders separated by /')),
            h('div', {class: 'grid three'},
                field('Author', inputs.author), field('Tags', inputs.tags), field('Project', inputs.projectid)),
            h('details', {class: 'more'}, h('summary', {}, 'More fields'),
                h('div', {class: 'grid three'}, field('Hardware', inputs.hw), field('Software', inputs.sw),
                    field('Timeout', inputs.timeout)),
                h('div', {class: 'grid two'}, field('Constraints', inputs.constraints), field('Remark', inputs.remark))),
            h('h3', {}, 'What it sends to the device'),
            preset,
            moduleList, groupList,
            h('div', {class: 'grid two'}, field('Module', module), field('Group', group)),
            h('label', {class: 'field'}, h('span', {class: 'field-label'}, 'DATA (JSON)'), data, dataHint),
            h('h3', {}, 'Verification script'),
            h('label', {class: 'field'}, script,
                h('span', {class: 'field-hint'}, 'local: the device’s answer by output name; '
                    + 'global: observation data by module, group and item. Return true to pass.')),
            problem,
            h('div', {class: 'actions end'}, deleteButton,
                selected ? h('button', {type: 'button', onclick: () => renderEditor()}, 'Revert') : null,
                h('button', {type: 'submit', class: 'primary', name: 'save'}, selected ? 'Save changes' : 'Create test case')));
    }

    ctx.on((what) => {
        if (what === 'connected')
            ctx.catalog.loaded = false;
    });

    renderEditor();
    return {
        element,
        async show() {
            await ctx.catalog.ensure().catch((error) => {
                notify(`GetAutoTestTemplate: ${error.message}`);
            });
            refreshCatalog();
            await refresh();
        },
    };
}

// Test library: the test cases as a tree by path, search, and an editor for
// one test case with its content (module, group, data, verification script).

import {act, clear, codeArea, field, formatJson, h, notify, parseJsonObject, setFieldError} from './dom.js';
import {checkNames, contentProblems, scriptProblem, scriptProblemText} from './checks.js';
import {matchesTestcase, pageOf} from './paging.js';
import {OpenFolders, buildTree, foldersOf, treeKey, visibleRows} from './tree.js';

const PAGE_SIZE = 500;
const MAX_PAGES = 40;
const TREE_PAGE = 200;
const OPEN_KEY = 'kiv.console.tree.open';

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

const TEXT_FIELDS = ['title', 'path', 'author', 'tags', 'hw', 'sw', 'constraints', 'remark'];

export function createLibraryView(ctx) {
    let testcases = [];
    let total = 0;
    let selected = null;      // the stored test case being edited, or null for a new one
    let baseContent = {};     // the content's other keys, kept as they were
    let refreshCatalog = () => {};
    let page = 1;
    let rows = [];            // the tree's visible rows (tree.js)
    let focusKey = '';        // the row that takes Tab (roving tabindex)
    const openFolders = new OpenFolders(localStorage, OPEN_KEY);
    let searchOpen = new Set(); // folders opened by a search, not remembered

    const search = h('input', {type: 'search', name: 'search', id: 'tc-search', 'aria-controls': 'tc-tree',
        placeholder: 'words of the title or path, #id'});
    const tree = h('div', {class: 'tree', id: 'tc-tree'});
    const summary = h('span', {class: 'grow', id: 'tc-showing'});
    const prev = h('button', {type: 'button', class: 'small', name: 'tc-prev', 'aria-label': 'Previous page of test cases'}, '‹ Previous');
    const next = h('button', {type: 'button', class: 'small', name: 'tc-next', 'aria-label': 'Next page of test cases'}, 'Next ›');
    const form = h('form', {class: 'editor', id: 'tc-editor', autocomplete: 'off', 'aria-label': 'Test case'});
    const element = h('section', {id: 'library', class: 'split'},
        h('div', {class: 'panel list-panel'},
            h('div', {class: 'panel-head'}, h('h1', {}, 'Test library'),
                h('div', {class: 'actions'},
                    h('button', {type: 'button', onclick: act(() => refresh())}, 'Reload'),
                    h('button', {type: 'button', class: 'primary', name: 'new-tc', onclick: () => edit(null)},
                        '+ New test case'))),
            h('div', {class: 'search-row'}, h('label', {for: 'tc-search', class: 'field-label'}, 'Search title, path or id'), search),
            h('div', {class: 'pager'}, summary, prev, next), tree),
        h('div', {class: 'panel editor-panel'}, form));

    search.addEventListener('input', () => {
        page = 1;
        renderTree();
    });
    prev.addEventListener('click', () => { --page; renderTree(); });
    next.addEventListener('click', () => { ++page; renderTree(); });

    const isOpen = (key) => openFolders.has(key) || searchOpen.has(key);

    // A re-drawn tree (a reload, a save) keeps the keyboard where it was.
    function renderTree(focus = tree.contains(document.activeElement)) {
        const query = search.value.trim();
        const shown = testcases.filter((tc) => matchesTestcase(tc, query));
        const current = pageOf(shown, page, TREE_PAGE, query ? shown.length : Math.max(total, shown.length));
        page = current.page;
        summary.textContent = query ? `${current.text} matching` : current.text;
        prev.disabled = current.page <= 1;
        next.disabled = current.page >= current.pages;
        prev.hidden = next.hidden = current.pages <= 1;
        if (shown.length === 0) {
            rows = [];
            clear(tree, h('p', {class: 'empty'}, query ? 'Nothing matches: try fewer words, a part of the path, or #id.'
                : 'No test cases yet. Create one with “New test case”.'));
            return;
        }
        // A search shows every match: the folders that hold one open.
        searchOpen = query ? foldersOf(current.items) : new Set();
        const root = buildTree(current.items);
        rows = visibleRows(root, isOpen);
        if (!rows.some((row) => row.key === focusKey))
            focusKey = (rows.find((row) => row.kind === 'case' && selected && row.tc.testcaseid === selected.testcaseid) || rows[0]).key;
        clear(tree, h('ul', {class: 'tree-list', role: 'tree', 'aria-label': 'Test cases by path'}, renderLevel(root, 1)));
        if (focus)
            focusRow(focusKey);
    }

    function renderLevel(node, level) {
        const items = [];
        for (const folder of node.folders.values()) {
            const open = isOpen(folder.key);
            items.push(h('li', {role: 'treeitem', class: 'tree-item folder', 'aria-expanded': String(open), 'aria-level': level,
                tabindex: folder.key === focusKey ? '0' : '-1', dataset: {key: folder.key}, title: folder.key},
            h('span', {class: 'tree-row'}, h('span', {class: 'twisty', 'aria-hidden': 'true'}, open ? '▾' : '▸'),
                h('span', {class: 'folder-name'}, folder.name),
                h('span', {class: 'count', 'aria-label': `${folder.count} test case${folder.count === 1 ? '' : 's'}`}, folder.count)),
            open ? h('ul', {role: 'group'}, renderLevel(folder, level + 1)) : null));
        }
        for (const tc of node.cases) {
            const key = `tc:${tc.testcaseid}`;
            const active = Boolean(selected && selected.testcaseid === tc.testcaseid);
            const title = tc.title || '(untitled)';
            items.push(h('li', {role: 'treeitem', class: `tree-item leaf${active ? ' active' : ''}`, 'aria-level': level,
                'aria-selected': String(active), tabindex: key === focusKey ? '0' : '-1', dataset: {key, tcid: tc.testcaseid},
                title: `${title} (#${tc.testcaseid}${tc.path ? `, ${tc.path}` : ''})`},
            h('span', {class: 'tree-row'}, h('span', {class: 'leaf-title'}, title),
                h('span', {class: 'muted small'}, `#${tc.testcaseid}`))));
        }
        return items;
    }

    function focusRow(key) {
        focusKey = key;
        for (const item of tree.querySelectorAll('[role="treeitem"]'))
            item.tabIndex = item.dataset.key === key ? 0 : -1;
        const target = [...tree.querySelectorAll('[role="treeitem"]')].find((item) => item.dataset.key === key);
        if (target)
            target.focus();
    }

    function setOpen(key, open) {
        openFolders.set(key, open);
        if (!open)
            searchOpen.delete(key);
        focusKey = key;
        renderTree(true);
    }

    tree.addEventListener('focusin', (event) => {
        const item = event.target.closest('[role="treeitem"]');
        if (item && item.dataset.key !== focusKey)
            focusRow(item.dataset.key);
    });
    tree.addEventListener('click', (event) => {
        const item = event.target.closest('[role="treeitem"]');
        if (!item)
            return;
        focusRow(item.dataset.key);
        if (item.classList.contains('folder'))
            setOpen(item.dataset.key, item.getAttribute('aria-expanded') !== 'true');
        else
            act(() => open(Number(item.dataset.tcid)))();
    });
    tree.addEventListener('keydown', (event) => {
        const item = event.target.closest('[role="treeitem"]');
        if (!item || event.altKey || event.ctrlKey || event.metaKey)
            return;
        const index = rows.findIndex((row) => row.key === item.dataset.key);
        const move = treeKey(event.key, rows, index, isOpen);
        if (!move)
            return;
        event.preventDefault();
        if (move.open !== null)
            setOpen(move.open, true);
        else if (move.close !== null)
            setOpen(move.close, false);
        else if (move.activate !== null)
            act(() => open(rows[move.activate].tc.testcaseid))();
        else
            focusRow(rows[move.focus].key);
    });

    // The folders that lead to a test case open, so that it is in sight.
    function reveal(tc) {
        const parts = String(tc.path || '').split('/').filter(Boolean);
        for (let i = 1; i <= parts.length; ++i)
            openFolders.set(parts.slice(0, i).join('/'), true);
        const index = testcases.filter((item) => matchesTestcase(item, search.value.trim()))
            .findIndex((item) => item.testcaseid === tc.testcaseid);
        if (index >= 0)
            page = Math.floor(index / TREE_PAGE) + 1;
        focusKey = `tc:${tc.testcaseid}`;
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
        if (tc)
            reveal(tc);
        renderTree();
        renderEditor();
    }

    // [{field, message}]: the names against the device templates (by the
    // host, or here when it cannot), the script compiled by the host. A
    // host that knows neither command is asked once per connection.
    async function checkBeforeSave(content, scriptText) {
        const found = [];
        let namesChecked = false;
        if (ctx.supports('check_testcase')) {
            try {
                await ctx.call('check_testcase', {content: JSON.stringify(content)});
                namesChecked = true;
            } catch (error) {
                if (!ctx.unsupported(error)) {
                    found.push(...contentProblems(error.reply));
                    namesChecked = true;
                }
            }
        }
        if (!namesChecked) {
            found.push(...checkNames(ctx.catalog.modules(true),
                {module: content.MODULE_NAME, group: content.GROUP_NAME, data: content.DATA}));
        }
        if (scriptText.trim() && ctx.supports('check_script')) {
            try {
                await ctx.call('check_script', {script: scriptText});
            } catch (error) {
                const problemFound = ctx.unsupported(error) ? null : scriptProblem(error.reply || {result: error.message});
                if (problemFound)
                    found.push({field: 'script', message: scriptProblemText(problemFound)});
            }
        }
        return found;
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
        const preset = h('select', {name: 'preset', id: 'tc-preset'});
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

        // A test case is checked before it is saved: DATA must be JSON, the
        // names must be the device templates' and the script must compile.
        // Name and script problems can be overruled by a second press
        // ("Save anyway"): the templates may not know every device.
        let overrule = '';
        const saveButton = h('button', {type: 'submit', class: 'primary', name: 'save'}, selected ? 'Save changes' : 'Create test case');
        const clearProblems = () => {
            for (const control of [module, group, data, script])
                setFieldError(control, '');
            problem.hidden = true;
        };
        for (const control of [module, group, data, script]) {
            control.addEventListener('input', () => {
                overrule = '';
                saveButton.textContent = selected ? 'Save changes' : 'Create test case';
            });
        }

        form.onsubmit = act(async (event) => {
            event.preventDefault();
            clearProblems();
            let dataValue;
            try {
                dataValue = data.value.trim() === '' ? undefined : JSON.parse(data.value);
            } catch (error) {
                setFieldError(data, `DATA is not JSON: ${error.message}. Write it as [{"INDEX": 0, "VALUE": 12}].`);
                data.focus();
                return;
            }
            const missing = [[module, 'Give the module the test case sets, e.g. Power.'],
                [group, 'Give the group of that module, e.g. Supply.'],
                [data, 'Give the DATA to set, e.g. [{"INDEX": 0, "VALUE": 12}].']]
                .filter(([control]) => control.value.trim() === '');
            if (missing.length) {
                missing.forEach(([control, text]) => setFieldError(control, text));
                problem.textContent = 'A test case needs a module, a group and DATA to run.';
                problem.hidden = false;
                missing[0][0].focus();
                return;
            }
            const found = await checkBeforeSave({MODULE_NAME: module.value.trim(), GROUP_NAME: group.value.trim(),
                DATA: dataValue, ...(script.value.trim() ? {execute_script: script.value} : {})}, script.value);
            const signature = JSON.stringify(found);
            if (found.length && overrule !== signature) {
                const controls = {module, group, data, script};
                found.forEach((item) => setFieldError(controls[item.field], item.message));
                overrule = signature;
                saveButton.textContent = 'Save anyway';
                problem.textContent = 'Check the marked fields: as it is, a job would fail on this test case. '
                    + 'Press “Save anyway” to keep it like this.';
                problem.hidden = false;
                controls[found[0].field].focus();
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
                h('h2', {id: 'tc-editor-title'}, selected ? `Test case #${tc.testcaseid}` : 'New test case'),
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
            field('Fill from a template', preset),
            moduleList, groupList,
            h('div', {class: 'grid two'}, field('Module', module), field('Group', group)),
            h('label', {class: 'field'}, h('span', {class: 'field-label'}, 'DATA (JSON)'), data, dataHint),
            h('h3', {id: 'tc-script-label'}, 'Verification script'),
            h('label', {class: 'field'}, h('span', {class: 'visually-hidden'}, 'Verification script'), script,
                h('span', {class: 'field-hint'}, 'local: the device’s answer by output name; '
                    + 'global: observation data by module, group and item. Return true to pass.')),
            problem,
            h('div', {class: 'actions end action-bar'}, deleteButton,
                selected ? h('button', {type: 'button', onclick: () => renderEditor()}, 'Revert') : null,
                saveButton));
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

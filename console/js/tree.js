// The test library as a tree by path: folders from the test cases' paths,
// which of them are open, the rows a reader sees and where the arrow keys
// go (the keys of an ARIA tree). No DOM here, so that Node can test it.

// Folders are keyed by their path ("power/supply"); each holds its folders
// (sorted by name), its test cases (in the order given) and how many test
// cases lie below it.
export function buildTree(testcases) {
    const root = {key: '', name: '', folders: new Map(), cases: [], count: 0};
    for (const tc of testcases) {
        let node = root;
        ++node.count;
        for (const part of String(tc.path || '').split('/').filter(Boolean)) {
            if (!node.folders.has(part)) {
                node.folders.set(part, {key: node.key ? `${node.key}/${part}` : part, name: part,
                    folders: new Map(), cases: [], count: 0});
            }
            node = node.folders.get(part);
            ++node.count;
        }
        node.cases.push(tc);
    }
    const sort = (node) => {
        node.folders = new Map([...node.folders.entries()].sort((a, b) => a[0].localeCompare(b[0])));
        node.folders.forEach(sort);
    };
    sort(root);
    return root;
}

// The rows shown, in order: {kind: 'folder'|'case', key, level (1 for the
// top), parent (the key of its folder, null at the top), node or tc}. A
// folder's rows follow it only when `isOpen(key)`.
export function visibleRows(root, isOpen) {
    const rows = [];
    const walk = (node, level, parent) => {
        for (const folder of node.folders.values()) {
            rows.push({kind: 'folder', key: folder.key, level, parent, node: folder});
            if (isOpen(folder.key))
                walk(folder, level + 1, folder.key);
        }
        for (const tc of node.cases)
            rows.push({kind: 'case', key: `tc:${tc.testcaseid}`, level, parent, tc});
    };
    walk(root, 1, null);
    return rows;
}

// Every folder that holds a test case of `testcases`: opened while a search
// is shown, so that every match is in sight.
export function foldersOf(testcases) {
    const keys = new Set();
    for (const tc of testcases) {
        const parts = String(tc.path || '').split('/').filter(Boolean);
        for (let i = 1; i <= parts.length; ++i)
            keys.add(parts.slice(0, i).join('/'));
    }
    return keys;
}

// What a key does on row `index` of `rows`: {focus: the row to focus,
// open / close: a folder key to open or close, activate: the row to open
// (a test case) or null}. null when the key is not one of the tree's.
export function treeKey(key, rows, index, isOpen) {
    const row = rows[index];
    if (!row)
        return null;
    const result = {focus: index, open: null, close: null, activate: null};
    const isFolder = row.kind === 'folder';
    switch (key) {
    case 'ArrowDown':
        result.focus = Math.min(rows.length - 1, index + 1);
        return result;
    case 'ArrowUp':
        result.focus = Math.max(0, index - 1);
        return result;
    case 'Home':
        result.focus = 0;
        return result;
    case 'End':
        result.focus = rows.length - 1;
        return result;
    case 'ArrowRight':
        if (isFolder && !isOpen(row.key))
            result.open = row.key;
        else if (isFolder && rows[index + 1] && rows[index + 1].parent === row.key)
            result.focus = index + 1;
        return result;
    case 'ArrowLeft':
        if (isFolder && isOpen(row.key)) {
            result.close = row.key;
        } else if (row.parent !== null) {
            const parent = rows.findIndex((other) => other.kind === 'folder' && other.key === row.parent);
            if (parent >= 0)
                result.focus = parent;
        }
        return result;
    case 'Enter':
    case ' ':
        if (isFolder) {
            if (isOpen(row.key))
                result.close = row.key;
            else
                result.open = row.key;
        } else {
            result.activate = index;
        }
        return result;
    default:
        return null;
    }
}

// Which folders are open, kept per browser: a set of keys that survives a
// reload. `storage` is localStorage or anything with its two methods.
export class OpenFolders {
    constructor(storage, storageKey) {
        this.storage = storage;
        this.storageKey = storageKey;
        this.keys = new Set();
        try {
            const list = JSON.parse(storage.getItem(storageKey));
            if (Array.isArray(list))
                this.keys = new Set(list.filter((item) => typeof item === 'string'));
        } catch {
            // A damaged entry opens nothing.
        }
    }

    has(key) {
        return this.keys.has(key);
    }

    set(key, open) {
        if (open)
            this.keys.add(key);
        else
            this.keys.delete(key);
        try {
            this.storage.setItem(this.storageKey, JSON.stringify([...this.keys]));
        } catch {
            // A full or refused storage only forgets the state.
        }
    }
}

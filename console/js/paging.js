// Searching and paging long lists (the library, the plan picker, the plans).
// No DOM here, so that Node can test it.

// Every word of the query must be somewhere in the test case's id, title,
// path, tags or author, ignoring case; "#12" is test case 12 alone.
export function matchesTestcase(tc, query) {
    return matchesWords(tc.testcaseid, [tc.title, tc.path, tc.tags, tc.author], query);
}

export function matchesPlan(plan, query) {
    return matchesWords(plan.planid, [plan.name, ...(Array.isArray(plan.tags) ? plan.tags : []), plan.author, plan.remark], query);
}

// `fields`: the record's texts; members it lacks count as empty.
function matchesWords(id, fields, query) {
    const words = String(query ?? '').toLowerCase().split(/\s+/).filter(Boolean);
    if (words.length === 0)
        return true;
    const haystack = [`#${id}`, ...fields.filter((field) => typeof field === 'string' || typeof field === 'number')]
        .join(' ').toLowerCase();
    return words.every((word) => (/^#\d+$/.test(word) ? word === `#${id}` : haystack.includes(word)));
}

// One page of `list`: {items, page (from 1, clamped), pages, from, to
// (1-based, inclusive), total, text}. `total` may be more than the list holds
// when the station has more than was read.
export function pageOf(list, page, size, total = list.length) {
    const pages = Math.max(1, Math.ceil(list.length / size));
    const current = Math.min(Math.max(1, Math.trunc(Number(page)) || 1), pages);
    const start = (current - 1) * size;
    const items = list.slice(start, start + size);
    const from = items.length ? start + 1 : 0;
    const to = start + items.length;
    return {items, page: current, pages, from, to, total, text: showingText(from, to, list.length, total)};
}

// "showing 1–50 of 1234", "showing 12 of 12".
export function showingText(from, to, count, total = count) {
    const of = total > count ? `${count} read (the station has ${total})` : `${count}`;
    if (count === 0)
        return 'showing 0 of 0';
    if (from === 1 && to === count)
        return `showing ${count} of ${of}`;
    return `showing ${from}–${to} of ${of}`;
}

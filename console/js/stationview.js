// The station: its mode ("get_state", "switch_state") and the templates it
// serves ("GetAutoTestTemplate").

import {act, clear, h, notify} from './dom.js';

const MODES = {
    local: 'Test cases, plans and results live in the station’s own database.',
    remote: 'Test management is forwarded to the remote test-management server.',
};

function entries(template) {
    const count = Array.isArray(template.content) ? template.content.length : 0;
    return `${count} ${count === 1 ? 'entry' : 'entries'}`;
}

export function createStationView(ctx) {
    const modeBox = h('div', {class: 'modes', id: 'modes'});
    const templatesBox = h('div', {id: 'templates'});
    const element = h('section', {id: 'station'},
        h('h1', {class: 'view-title'}, 'Mode & templates'),
        h('div', {class: 'panel'},
            h('div', {class: 'panel-head'}, h('h2', {}, 'Mode')), modeBox),
        h('div', {class: 'panel'},
            h('div', {class: 'panel-head'}, h('h2', {}, 'Templates'),
                h('button', {type: 'button', onclick: act(() => loadTemplates())}, 'Reload')),
            h('p', {class: 'muted small'}, 'JSON files in the station’s Data/AutoTestTpl/ folder. Test-case entries '
                + '(MODULE_NAME, GROUP_NAME, DATA) fill new test cases; device templates (MODULES) offer module and group names.'),
            templatesBox));

    // The cards are made once and only marked afterwards, so that a click
    // never lands on a card that a reply has just replaced.
    const cards = Object.entries(MODES).map(([mode, text]) => {
        const current = h('span', {class: 'current'}, 'current');
        const card = h('button', {type: 'button', class: 'mode-card', name: `mode-${mode}`, dataset: {mode},
            onclick: act(async () => {
                const reply = await ctx.call('switch_state', {state: mode});
                ctx.setMode(reply.state);
                notify(`Station is in mode ${reply.state}`, 'info');
            })},
        h('strong', {}, mode), h('span', {class: 'muted small block'}, text), current);
        return {mode, card, current};
    });
    clear(modeBox, cards.map((item) => item.card));

    function renderModes() {
        for (const {mode, card, current} of cards) {
            card.classList.toggle('active', ctx.mode === mode);
            current.hidden = ctx.mode !== mode;
        }
    }

    async function loadTemplates() {
        const templates = await ctx.catalog.load();
        if (templates.length === 0) {
            clear(templatesBox, h('p', {class: 'empty'}, 'The station serves no templates.'));
            return;
        }
        clear(templatesBox, templates.map((template) => h('details', {class: 'template'},
            h('summary', {}, h('strong', {}, template.name),
                h('span', {class: 'muted small'}, ` ${entries(template)}`)),
            h('pre', {class: 'code', tabindex: '0', 'aria-label': `Template ${template.name}`}, JSON.stringify(template.content, null, 2)))));
    }

    ctx.on((what) => {
        if (what === 'mode')
            renderModes();
    });
    renderModes();
    return {
        element,
        async show() {
            const reply = await ctx.call('get_state');
            ctx.setMode(reply.state);
            await loadTemplates();
        },
    };
}

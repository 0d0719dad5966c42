// The console's shell: the station link, the navigation and the shared context
// that every view gets.

import {Station} from './station.js';
import {act, notify, showError} from './dom.js';
import {Catalog} from './catalog.js';
import {createLibraryView} from './library.js';
import {createPlansView} from './plans.js';
import {createRunView} from './run.js';
import {createResultsView} from './results.js';
import {createStationView} from './stationview.js';
import {createLabView} from './labview.js';

const URL_KEY = 'kiv.console.station';

const station = new Station();
const ctx = {
    station,
    catalog: new Catalog(station),
    mode: '',
    call: (cmd, fields = {}, watch = null) => station.request(cmd, fields, watch),
    listeners: new Set(),
    // Views subscribe to 'connected' and 'mode' to refresh what they show.
    on(listener) {
        this.listeners.add(listener);
    },
    broadcast(what) {
        for (const listener of this.listeners) {
            try {
                listener(what);
            } catch (error) {
                showError(error);
            }
        }
    },
    setMode(mode) {
        this.mode = mode;
        const badgeElement = document.getElementById('mode-badge');
        badgeElement.hidden = !mode;
        badgeElement.textContent = mode ? `mode: ${mode}` : '';
        badgeElement.dataset.mode = mode;
        this.broadcast('mode');
    },
    go(name, argument) {
        location.hash = name;
        showView(name, argument);
    },
};

const views = {
    library: createLibraryView(ctx),
    plans: createPlansView(ctx),
    run: createRunView(ctx),
    results: createResultsView(ctx),
    station: createStationView(ctx),
    lab: createLabView(),
};
let current = '';

function showView(name, argument) {
    if (!views[name])
        name = 'library';
    const container = document.getElementById('view');
    if (!views[name].element.isConnected)
        container.append(views[name].element);
    for (const [key, view] of Object.entries(views))
        view.element.hidden = key !== name;
    for (const button of document.querySelectorAll('.nav'))
        button.classList.toggle('active', button.dataset.view === name);
    const changed = current !== name;
    // A view that polls while shown ("hide") stops when another is chosen.
    if (changed && views[current] && views[current].hide)
        views[current].hide();
    current = name;
    // The Lab talks to the server, not to the station ("station: false").
    if ((changed || argument !== undefined) && (station.connected || views[name].station === false))
        Promise.resolve(views[name].show(argument)).catch(showError);
}

for (const button of document.querySelectorAll('.nav'))
    button.addEventListener('click', () => ctx.go(button.dataset.view));
window.addEventListener('hashchange', () => showView(location.hash.slice(1)));

const urlInput = document.getElementById('station-url');
const linkState = document.getElementById('link-state');
const connectButton = document.getElementById('connect-button');
const fromQuery = new URLSearchParams(location.search).get('station');
urlInput.value = fromQuery || localStorage.getItem(URL_KEY) || urlInput.value;

document.getElementById('connect-form').addEventListener('submit', (event) => {
    event.preventDefault();
    if (station.connected && station.url === urlInput.value.trim()) {
        station.disconnect();
        return;
    }
    const url = urlInput.value.trim();
    if (!/^wss?:\/\//.test(url)) {
        notify(`"${url}" is not a WebSocket address (ws://HOST:PORT)`);
        return;
    }
    localStorage.setItem(URL_KEY, url);
    station.connect(url);
});

station.addEventListener('status', act(async (event) => {
    const {state, reason} = event.detail;
    const labels = {connecting: 'connecting…', open: 'connected', closed: 'offline'};
    linkState.textContent = labels[state];
    linkState.className = `link-state ${state}`;
    linkState.dataset.state = state;
    linkState.dataset.url = station.url;
    connectButton.textContent = state === 'closed' ? 'Connect' : 'Disconnect';
    if (state === 'closed') {
        ctx.setMode('');
        if (reason && reason !== 'disconnected')
            notify(`Station ${station.url}: ${reason}`);
        return;
    }
    if (state === 'open') {
        const reply = await ctx.call('get_state');
        ctx.setMode(reply.state);
        ctx.broadcast('connected');
        if (views[current].station !== false)
            Promise.resolve(views[current].show()).catch(showError);
    }
}));
station.addEventListener('hosterror', (event) => notify(`Host: ${event.detail.message}`));
window.addEventListener('unhandledrejection', (event) => showError(event.reason));

showView(location.hash.slice(1) || 'library');
station.connect(urlInput.value.trim());

// The console's shell: the station link, the navigation and the shared context
// that every view gets.

import {Station} from './station.js';
import {act, notify, reserveNoticeSpace, showError} from './dom.js';
import {hideTokens, isStationAddress, rememberStation, seenStations, splitStationUrl} from './address.js';
import {explain} from './messages.js';
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
    // Commands this station's host answered it does not know: asked once
    // per connection, then left out.
    unknownCommands: new Set(),
    supports(cmd) {
        return !this.unknownCommands.has(cmd);
    },
    unsupported(error) {
        const match = /not support cmd:\s*(\S+)/i.exec(String(error && error.message || ''));
        if (match)
            this.unknownCommands.add(match[1]);
        return Boolean(match);
    },
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
    for (const button of document.querySelectorAll('.nav')) {
        button.classList.toggle('active', button.dataset.view === name);
        if (button.dataset.view === name)
            button.setAttribute('aria-current', 'page');
        else
            button.removeAttribute('aria-current');
    }
    const changed = current !== name;
    // A view that polls while shown ("hide") stops when another is chosen.
    if (changed && views[current] && views[current].hide)
        views[current].hide();
    current = name;
    // The Lab talks to the server, not to the station ("station: false").
    if ((changed || argument !== undefined) && (station.connected || views[name].station === false))
        Promise.resolve(views[name].show(argument)).catch(showError);
}

const layout = document.querySelector('.layout');
const menuButton = document.getElementById('menu-button');
// On a narrow screen the navigation folds away behind "Menu".
function setMenu(open) {
    layout.classList.toggle('nav-open', open);
    menuButton.setAttribute('aria-expanded', String(open));
}
menuButton.addEventListener('click', () => setMenu(!layout.classList.contains('nav-open')));
document.getElementById('views-nav').addEventListener('keydown', (event) => {
    if (event.key === 'Escape' && layout.classList.contains('nav-open')) {
        setMenu(false);
        menuButton.focus();
    }
});
for (const button of document.querySelectorAll('.nav')) {
    button.addEventListener('click', () => {
        setMenu(false);
        ctx.go(button.dataset.view);
    });
}
window.addEventListener('hashchange', () => showView(location.hash.slice(1)));
reserveNoticeSpace();

const urlInput = document.getElementById('station-url');
const tokenInput = document.getElementById('station-token');
const linkState = document.getElementById('link-state');
const connectButton = document.getElementById('connect-button');

// The address is stored, never its token: one stored by an older page loses it.
const stored = splitStationUrl(localStorage.getItem(URL_KEY) || '').address;
if (stored)
    localStorage.setItem(URL_KEY, stored);
const query = new URLSearchParams(location.search);
const fromQuery = query.has('station') ? splitStationUrl(query.get('station')) : null;
if (fromQuery && fromQuery.token) {
    // Out of the address bar (and the history) at once.
    query.set('station', fromQuery.address);
    history.replaceState(null, '', `${location.pathname}?${query.toString().replace(/%3A/gi, ':').replace(/%2F/gi, '/')}${location.hash}`);
}
urlInput.value = (fromQuery && fromQuery.address) || stored || urlInput.value;
tokenInput.value = fromQuery ? fromQuery.token : '';

// A pasted "ws://HOST:PORT/?token=..." gives its token to the token field.
urlInput.addEventListener('change', () => {
    const {address, token} = splitStationUrl(urlInput.value);
    if (token) {
        urlInput.value = address;
        tokenInput.value = token;
    }
});

function connectTo(address) {
    if (!isStationAddress(address)) {
        notify({text: `“${address}” is not a station address.`, next: 'Give it as ws://HOST:PORT (wss:// for TLS).'});
        return;
    }
    localStorage.setItem(URL_KEY, address);
    rememberStation(localStorage, address);
    station.connect(address, tokenInput.value.trim());
}

document.getElementById('connect-form').addEventListener('submit', (event) => {
    event.preventDefault();
    const {address, token} = splitStationUrl(urlInput.value);
    if (token) {
        urlInput.value = address;
        tokenInput.value = token;
    }
    if (station.wanted && station.url === address && station.token === tokenInput.value.trim()) {
        station.disconnect();
        return;
    }
    connectTo(address);
});

let lostNoticeShown = false;
station.addEventListener('status', act(async (event) => {
    const {state, reason, attempt, everOpen} = event.detail;
    const labels = {connecting: attempt ? `connecting… (try ${attempt + 1})` : 'connecting…', open: 'connected',
        reconnecting: `reconnecting (try ${attempt + 1} soon)`, closed: 'offline'};
    linkState.textContent = labels[state];
    linkState.className = `link-state ${state}`;
    linkState.dataset.state = state;
    linkState.dataset.url = station.url;
    linkState.title = reason ? hideTokens(reason) : '';
    connectButton.textContent = state === 'closed' ? 'Connect' : 'Disconnect';
    if (state === 'closed' || state === 'reconnecting') {
        if (ctx.mode)
            ctx.setMode('');
        ctx.broadcast('lost');
        // One notice for a loss, not one per try.
        if (state === 'reconnecting' && !lostNoticeShown) {
            lostNoticeShown = true;
            const why = explain('', reason);
            notify(everOpen
                ? {text: `Lost the connection to the station ${station.url}.`,
                    next: 'The console connects again by itself (see the top bar); jobs go on on the station meanwhile.'}
                : {text: why.text, next: `${why.next} The console tries again by itself.`.trim()});
        } else if (state === 'closed' && reason && reason !== 'disconnected') {
            notify(explain('', reason));
        }
        return;
    }
    if (state === 'open') {
        lostNoticeShown = false;
        ctx.unknownCommands.clear();
        const reply = await ctx.call('get_state');
        ctx.setMode(reply.state);
        ctx.broadcast('connected');
        if (views[current].station !== false)
            Promise.resolve(views[current].show()).catch(showError);
    }
}));
station.addEventListener('hosterror', (event) => notify(explain('', event.detail.message)));
window.addEventListener('unhandledrejection', (event) => showError(event.reason));

showView(location.hash.slice(1) || 'library');

// A link with "?station=" to an address this browser has not used asks first.
const first = urlInput.value.trim();
if (fromQuery && fromQuery.address && !seenStations(localStorage).includes(fromQuery.address)) {
    const dialog = document.getElementById('ask-station');
    document.getElementById('ask-station-address').textContent = fromQuery.address;
    dialog.addEventListener('close', () => {
        if (dialog.returnValue === 'yes')
            connectTo(fromQuery.address);
        else
            notify({text: `Not connected to ${fromQuery.address}.`, next: 'Press Connect in the top bar when you want to.'}, 'info');
    }, {once: true});
    dialog.showModal();
} else {
    connectTo(first);
}

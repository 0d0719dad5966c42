// One WebSocket connection to a station's auto-test host. Requests carry a
// numeric "SEQ"; the first reply with that SEQ settles the request. Events
// ("EVENT" set) and later replies with the same SEQ go to whoever watches it,
// because a job started with "progress" keeps talking after its first answer.

import {hideTokens, withToken} from './address.js';
import {reconnectDelay} from './backoff.js';
import {closeReason} from './messages.js';

// `empty` marks a failure whose text is empty: the local database's answer
// when a lookup found nothing (an unknown id, a tag no plan has).
export class HostError extends Error {
    constructor(cmd, message, empty = false) {
        super(message);
        this.cmd = cmd;
        this.empty = empty;
    }
}

const EMPTY_TEXT = 'the host answered an empty error text (nothing found)';

// The host marks a request it could not parse with "ERROR": "FAILURE"; a
// command that failed says why in "result" (anything but "ok").
export function replyError(reply) {
    if (reply.ERROR === 'FAILURE')
        return reply.ERROR_MESSAGE || 'the host could not read the request';
    if (Object.prototype.hasOwnProperty.call(reply, 'result') && typeof reply.result !== 'boolean'
        && reply.result !== 'ok')
        return String(reply.result).trim() === '' ? EMPTY_TEXT : String(reply.result);
    return null;
}

// The socket is opened again after a loss, sooner at first and then less
// often (backoff.js), until disconnect() or connect() to another address.
// `url` is the address without its token: it is what the page shows.
export class Station extends EventTarget {
    constructor() {
        super();
        this.socket = null;
        this.url = '';
        this.token = '';
        this.nextSeq = 1;
        this.pending = new Map();   // SEQ -> {cmd, resolve, reject}
        this.watchers = new Map();  // SEQ -> callback(message)
        this.wanted = false;        // keep the link: try again when it goes
        this.attempt = 0;           // tries since the link was last open
        this.retryTimer = 0;
        this.everOpen = false;
    }

    get connected() {
        return this.socket !== null && this.socket.readyState === WebSocket.OPEN;
    }

    // `address` without a token; `token` as the host was given it with --token.
    connect(address, token = '') {
        this.disconnect(false);
        this.url = address;
        this.token = token;
        this.wanted = true;
        this.attempt = 0;
        this.everOpen = false;
        this.open();
    }

    open() {
        clearTimeout(this.retryTimer);
        const address = this.url;
        let socket;
        try {
            socket = new WebSocket(withToken(address, this.token));
        } catch (error) {
            this.wanted = false;
            this.emit('status', {state: 'closed', reason: hideTokens(error.message)});
            return;
        }
        this.socket = socket;
        this.emit('status', {state: 'connecting', attempt: this.attempt});
        socket.addEventListener('open', () => {
            if (socket !== this.socket)
                return;
            const again = this.everOpen;
            this.attempt = 0;
            this.everOpen = true;
            this.emit('status', {state: 'open', again});
        });
        socket.addEventListener('message', (event) => {
            if (socket === this.socket)
                this.onMessage(event.data);
        });
        socket.addEventListener('close', (event) => {
            if (socket !== this.socket)
                return;
            this.socket = null;
            // A refused handshake (wrong origin, no token) closes with 1006 and
            // no reason: the browser hides the HTTP status from scripts.
            const reason = closeReason(event.code, event.reason, address, location.origin);
            this.failPending(`connection lost: ${reason}`);
            if (!this.wanted) {
                this.emit('status', {state: 'closed', reason});
                return;
            }
            ++this.attempt;
            const delay = reconnectDelay(this.attempt, Math.random());
            this.retryTimer = setTimeout(() => {
                if (this.wanted && this.socket === null)
                    this.open();
            }, delay);
            this.emit('status', {state: 'reconnecting', reason, attempt: this.attempt, delay, everOpen: this.everOpen});
        });
    }

    // Stops the link and the tries; `announce` says so to the page.
    disconnect(announce = true) {
        const socket = this.socket;
        const was = socket !== null || this.wanted;
        this.socket = null;
        this.wanted = false;
        clearTimeout(this.retryTimer);
        if (socket) {
            socket.close();
            this.failPending('disconnected');
        }
        if (was && announce)
            this.emit('status', {state: 'closed', reason: 'disconnected'});
    }

    failPending(reason) {
        for (const [, request] of this.pending)
            request.reject(new HostError(request.cmd, reason));
        this.pending.clear();
        this.watchers.clear();
    }

    // Sends {CMD: cmd, SEQ, ...fields}; resolves with the reply, rejects with a
    // HostError holding the host's text. `watch` receives every later message
    // with the same SEQ (events, a job's final report) until unwatch(seq).
    request(cmd, fields = {}, watch = null) {
        if (!this.connected)
            return Promise.reject(new HostError(cmd, 'not connected to a station'));
        const seq = this.nextSeq++;
        const message = Object.assign({}, fields, {CMD: cmd, SEQ: seq});
        if (watch)
            this.watchers.set(seq, watch);
        const promise = new Promise((resolve, reject) => {
            this.pending.set(seq, {cmd, resolve, reject});
        });
        promise.seq = seq;
        this.socket.send(JSON.stringify(message));
        this.emit('sent', message);
        return promise;
    }

    unwatch(seq) {
        this.watchers.delete(seq);
    }

    onMessage(text) {
        let message;
        try {
            message = JSON.parse(text);
        } catch (error) {
            this.emit('hosterror', {cmd: '', message: `unreadable message from the host: ${error.message}`});
            return;
        }
        if (message === null || typeof message !== 'object' || Array.isArray(message)) {
            this.emit('hosterror', {cmd: '', message: 'the host sent something that is not a JSON object'});
            return;
        }
        this.emit('received', message);
        const seq = message.SEQ;
        const request = this.pending.get(seq);
        if (request && !message.EVENT) {
            this.pending.delete(seq);
            const error = replyError(message);
            if (error) {
                const failure = new HostError(request.cmd, error, error === EMPTY_TEXT);
                // A refusal may say more than its text ("problems", "line").
                failure.reply = message;
                request.reject(failure);
            }
            else
                request.resolve(message);
            return;
        }
        const watch = this.watchers.get(seq);
        if (watch) {
            watch(message);
            return;
        }
        // A failure without SEQ answers a request the host could not parse.
        const error = replyError(message);
        if (error)
            this.emit('hosterror', {cmd: '', message: error});
    }

    emit(type, detail) {
        this.dispatchEvent(new CustomEvent(type, {detail}));
    }
}

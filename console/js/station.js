// One WebSocket connection to a station's auto-test host. Requests carry a
// numeric "SEQ"; the first reply with that SEQ settles the request. Events
// ("EVENT" set) and later replies with the same SEQ go to whoever watches it,
// because a job started with "progress" keeps talking after its first answer.

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

export class Station extends EventTarget {
    constructor() {
        super();
        this.socket = null;
        this.url = '';
        this.nextSeq = 1;
        this.pending = new Map();   // SEQ -> {cmd, resolve, reject}
        this.watchers = new Map();  // SEQ -> callback(message)
    }

    get connected() {
        return this.socket !== null && this.socket.readyState === WebSocket.OPEN;
    }

    connect(url) {
        this.disconnect();
        this.url = url;
        let socket;
        try {
            socket = new WebSocket(url);
        } catch (error) {
            this.emit('status', {state: 'closed', reason: error.message});
            return;
        }
        this.socket = socket;
        this.emit('status', {state: 'connecting'});
        socket.addEventListener('open', () => {
            if (socket === this.socket)
                this.emit('status', {state: 'open'});
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
            const reason = event.reason || (event.code === 1006
                ? `cannot reach ${url} (is the host running, and does it accept this page's origin ${location.origin}?)`
                : `closed with code ${event.code}`);
            this.failPending(`connection lost: ${reason}`);
            this.emit('status', {state: 'closed', reason});
        });
    }

    disconnect() {
        const socket = this.socket;
        this.socket = null;
        if (socket) {
            socket.close();
            this.failPending('disconnected');
            this.emit('status', {state: 'closed', reason: 'disconnected'});
        }
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
            if (error)
                request.reject(new HostError(request.cmd, error, error === EMPTY_TEXT));
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

// The test-management server over HTTP: one JSON request per "POST /api".
// The token lives in this object only: never stored, never put in a message.

import {redact} from './lab.js';
import {HostError, replyError} from './station.js';

// "http://srv:8080/", "http://srv:8080/api" and "http://srv:8080" are the
// same server.
export function serverBase(address) {
    return String(address).trim().replace(/\/+$/, '').replace(/\/api$/, '');
}

export class LabServer {
    constructor() {
        this.base = '';
        this.token = '';
    }

    use(address, token) {
        this.base = serverBase(address);
        this.token = token;
    }

    async call(cmd, fields = {}) {
        if (!this.base)
            throw new HostError(cmd, 'no server address');
        const headers = {'Content-Type': 'application/json'};
        if (this.token)
            headers.Authorization = `Bearer ${this.token}`;
        let response;
        let reply;
        try {
            response = await fetch(`${this.base}/api`, {method: 'POST', headers, body: JSON.stringify({...fields, cmd}),
                cache: 'no-store'});
            reply = await response.json();
        } catch (error) {
            // The server answers no CORS preflight, which a JSON body (and the
            // token's header) calls for from another origin.
            const elsewhere = typeof location !== 'undefined' && location.origin !== this.base
                ? '; a page from another origin cannot call it: open the console the server serves' : '';
            const why = response ? `HTTP ${response.status}, not JSON` : `cannot reach ${this.base} (${error.message}${elsewhere})`;
            throw new HostError(cmd, redact(why, this.token));
        }
        // Refusals (403 for the token or origin, 4xx for the request) say
        // why in "result" as the commands do.
        const error = reply && typeof reply === 'object' ? replyError(reply) : 'the answer is not a JSON object';
        if (error || !response.ok) {
            const message = redact(error || `HTTP ${response.status}`, this.token);
            throw new HostError(cmd, message, error === null ? false : String(reply.result).trim() === '');
        }
        return reply;
    }
}

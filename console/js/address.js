// Station addresses and their tokens. A host started with --token takes the
// token in its address ("ws://HOST:PORT/?token=SECRET"); the console keeps
// the address and the token apart, stores only the address and never shows
// a token. No DOM here, so that Node can test it.

const SEEN_KEY = 'kiv.console.stations';
const SEEN_KEPT = 20;

// {address, token}: the address without its "token" parameter, and the
// token ('' when there is none). Other parameters stay where they were.
export function splitStationUrl(text) {
    const value = String(text ?? '').trim();
    const match = /^([^?#]*)(?:\?([^#]*))?(#.*)?$/.exec(value);
    if (!match || match[2] === undefined)
        return {address: value, token: ''};
    let token = '';
    const kept = [];
    for (const part of match[2].split('&')) {
        if (/^token=/i.test(part)) {
            try {
                token = decodeURIComponent(part.slice(6).replace(/\+/g, ' '));
            } catch {
                token = part.slice(6);
            }
        } else if (part !== '') {
            kept.push(part);
        }
    }
    return {address: match[1] + (kept.length ? `?${kept.join('&')}` : '') + (match[3] || ''), token};
}

// The address the socket opens: the token goes back in as a parameter.
export function withToken(address, token) {
    if (!token)
        return address;
    const [base, hash = ''] = String(address).split(/(?=#)/);
    return `${base}${base.includes('?') ? '&' : '?'}token=${encodeURIComponent(token)}${hash}`;
}

// Any "token=..." in a text (an address in an error, a URL) as "token=•••".
export function hideTokens(text) {
    return String(text ?? '').replace(/(token=)[^&#\s"'<>)]*/gi, '$1•••');
}

export function isStationAddress(text) {
    return /^wss?:\/\/[^/?#\s]+/.test(String(text ?? ''));
}

// The addresses connected to from this browser before, newest first; a
// `?station=` link to one of them connects without asking.
export function seenStations(storage) {
    try {
        const list = JSON.parse(storage.getItem(SEEN_KEY));
        return Array.isArray(list) ? list.filter((item) => typeof item === 'string') : [];
    } catch {
        return [];
    }
}

export function rememberStation(storage, address) {
    const clean = splitStationUrl(address).address;
    const list = [clean, ...seenStations(storage).filter((item) => item !== clean)].slice(0, SEEN_KEPT);
    storage.setItem(SEEN_KEY, JSON.stringify(list));
    return list;
}

// The lab board from the server's "lab_state", and the "queue_job" request
// from the Lab view's form. No DOM here, so that Node can test it.

function isObject(value) {
    return value !== null && typeof value === 'object' && !Array.isArray(value);
}

function text(value) {
    return typeof value === 'string' ? value : '';
}

function list(value) {
    return Array.isArray(value) ? value.filter(isObject) : [];
}

function strings(value) {
    return Array.isArray(value) ? value.filter((item) => typeof item === 'string') : [];
}

function count(value) {
    return Number.isInteger(value) && value >= 0 ? value : 0;
}

// "12 s ago" from an ISO time; `now` in ms since the epoch.
export function agoText(iso, now) {
    const then = Date.parse(text(iso));
    if (Number.isNaN(then))
        return 'never';
    const seconds = Math.max(0, Math.round((now - then) / 1000));
    if (seconds < 60)
        return `${seconds} s ago`;
    if (seconds < 3600)
        return `${Math.floor(seconds / 60)} min ago`;
    if (seconds < 86400)
        return `${Math.floor(seconds / 3600)} h ago`;
    return `${Math.floor(seconds / 86400)} d ago`;
}

// One entry per station, sorted by name, each with its devices sorted by url.
// A device whose station is not listed (the server caps the stations it
// shows) still gets a group, shown offline; a device of an offline station is
// offline whatever its last beat said.
export function boardRows(state, now = Date.now()) {
    const reply = isObject(state) ? state : {};
    const stations = new Map();
    for (const station of list(reply.stations)) {
        const name = text(station.name);
        stations.set(name, {name, online: station.online === true, lastSeen: text(station.last_seen),
            ago: agoText(station.last_seen, now), version: text(station.version), devices: []});
    }
    for (const device of list(reply.devices)) {
        const name = text(device.station);
        if (!stations.has(name))
            stations.set(name, {name, online: false, lastSeen: '', ago: 'never', version: '', devices: []});
        const station = stations.get(name);
        let status = device.state === 'busy' || device.state === 'free' ? device.state : 'offline';
        if (!station.online)
            status = 'offline';
        const jobid = status === 'busy' && Number.isInteger(device.jobid) ? device.jobid : null;
        const label = status === 'busy' ? (jobid ? `busy with job ${jobid}` : 'busy') : status;
        station.devices.push({station: name, url: text(device.url), tags: strings(device.tags), status, jobid, label});
    }
    const rows = [...stations.values()].sort((a, b) => a.name.localeCompare(b.name));
    for (const station of rows) {
        station.devices.sort((a, b) => a.url.localeCompare(b.url));
        station.free = station.devices.filter((device) => device.status === 'free').length;
    }
    return rows;
}

// What a queued job waits for, in words.
export function targetText(job) {
    const tags = strings(job.tags);
    if (tags.length)
        return `any device tagged ${tags.join(', ')}`;
    const device = text(job.device);
    if (!device)
        return 'any device';
    return text(job.station) ? `${device} on ${job.station}` : device;
}

// The queue as the server orders it (priority, then arrival): the server's
// order is kept, only numbered. `hidden` is how many more are queued than
// the reply lists.
export function queueRows(state) {
    const reply = isObject(state) ? state : {};
    const rows = list(reply.queue).map((job, index) => ({
        position: index + 1,
        jobid: job.jobid,
        planid: job.planid,
        priority: Number.isInteger(job.priority) ? job.priority : 0,
        target: targetText(job),
        starter: text(job.starter),
        queued: text(job.queued),
    }));
    const total = Number.isInteger(reply.queue_total) ? reply.queue_total : rows.length;
    return {rows, total, hidden: Math.max(0, total - rows.length)};
}

// Running jobs, oldest first, each with its share done (0 to 100).
export function runningRows(state) {
    const reply = isObject(state) ? state : {};
    return list(reply.running).map((job) => {
        const total = count(job.total);
        const finished = Math.min(count(job.finished), total || count(job.finished));
        return {jobid: job.jobid, planid: job.planid, station: text(job.station), device: text(job.device),
            finished, total, percent: total ? Math.round((100 * finished) / total) : 0,
            starter: text(job.starter), started: text(job.started)};
    }).sort((a, b) => a.jobid - b.jobid);
}

// The ids of the jobs queued or running in `state`.
export function activeJobIds(state) {
    const reply = isObject(state) ? state : {};
    return new Set([...list(reply.queue), ...list(reply.running)].map((job) => job.jobid)
        .filter((id) => Number.isInteger(id)));
}

// The jobs active in `before` that are not in `after`: they have ended (or
// were cancelled) in between. A queue longer than the reply shows hides its
// tail, so a queued job missing from a full queue is not taken for ended.
export function endedJobs(before, after) {
    const now = activeJobIds(after);
    const cut = isObject(after) && Number.isInteger(after.queue_total) && after.queue_total > list(after.queue).length;
    const queuedBefore = new Set(list(isObject(before) ? before.queue : []).map((job) => job.jobid));
    return [...activeJobIds(before)].filter((id) => !now.has(id) && !(cut && queuedBefore.has(id))).sort((a, b) => a - b);
}

// The "queue_job" request from the form's values, or an error text saying
// what to fix. `values`: {planid, target: "device"|"tags", device, station,
// tags (comma separated), priority} as strings.
export function queueRequest(values) {
    const planid = Number(text(values.planid).trim());
    if (!Number.isInteger(planid) || planid < 1)
        return {error: 'Choose a plan'};
    const request = {planid};
    const priorityText = text(values.priority).trim();
    const priority = priorityText === '' ? 0 : Number(priorityText);
    if (!Number.isInteger(priority) || priority < -1000 || priority > 1000)
        return {error: 'The priority is a whole number from -1000 to 1000'};
    request.priority = priority;
    if (values.target === 'device') {
        const device = text(values.device).trim();
        if (!device)
            return {error: 'Give the device url'};
        if (device.length > 500)
            return {error: 'The device url has more than 500 characters'};
        request.device = device;
        const station = text(values.station).trim();
        if (station)
            request.station = station;
        return {request};
    }
    const tags = [...new Set(text(values.tags).split(',').map((tag) => tag.trim()).filter((tag) => tag !== ''))];
    if (tags.length === 0)
        return {error: 'Give at least one tag'};
    if (tags.length > 50)
        return {error: 'At most 50 tags'};
    const long = tags.find((tag) => tag.length > 100);
    if (long)
        return {error: `The tag "${long.slice(0, 20)}…" has more than 100 characters`};
    request.tags = tags;
    return {request};
}

// An error text with the token taken out, so that no notice shows it
// whatever a server or the browser put in its message.
export function redact(message, token) {
    const value = String(message);
    return token ? value.split(token).join('•••') : value;
}

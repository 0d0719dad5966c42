// What the station's templates ("GetAutoTestTemplate") say about devices:
// test-case presets (entries with "MODULE_NAME", "GROUP_NAME", "DATA") and
// device templates ({"MODULES": [...]}, as a device reports it), from which
// the editor offers module and group names and a DATA skeleton.

export class Catalog {
    constructor(station) {
        this.station = station;
        this.templates = [];
        this.loaded = false;
    }

    async load() {
        const reply = await this.station.request('GetAutoTestTemplate');
        this.templates = Array.isArray(reply.VALUE) ? reply.VALUE : [];
        this.loaded = true;
        return this.templates;
    }

    async ensure() {
        if (!this.loaded)
            await this.load();
        return this;
    }

    // Test-case presets: [{label, entry}] for every object with a module name.
    presets() {
        const presets = [];
        for (const template of this.templates) {
            for (const entry of Array.isArray(template.content) ? template.content : []) {
                if (entry && typeof entry === 'object' && typeof entry.MODULE_NAME === 'string')
                    presets.push({label: `${template.name}: ${entry.title || entry.MODULE_NAME + '/' + (entry.GROUP_NAME || '')}`, entry});
            }
        }
        return presets;
    }

    // Map of module name -> Map of group name -> [{name, index}] input items.
    // `devicesOnly`: the names of device templates alone, not of presets.
    modules(devicesOnly = false) {
        const modules = new Map();
        const group = (module, name) => {
            if (!modules.has(module))
                modules.set(module, new Map());
            const groups = modules.get(module);
            if (name && !groups.has(name))
                groups.set(name, []);
            return groups.get(name);
        };
        for (const template of this.templates) {
            for (const entry of Array.isArray(template.content) ? template.content : []) {
                if (!entry || typeof entry !== 'object')
                    continue;
                if (typeof entry.MODULE_NAME === 'string' && !devicesOnly)
                    group(entry.MODULE_NAME, typeof entry.GROUP_NAME === 'string' ? entry.GROUP_NAME : '');
                for (const module of Array.isArray(entry.MODULES) ? entry.MODULES : []) {
                    if (!module || typeof module.NAME !== 'string')
                        continue;
                    group(module.NAME, '');
                    for (const caseGroup of Array.isArray(module.CASE_GROUPS) ? module.CASE_GROUPS : []) {
                        if (!caseGroup || typeof caseGroup.NAME !== 'string')
                            continue;
                        const items = group(module.NAME, caseGroup.NAME);
                        for (const item of Array.isArray(caseGroup.ITEMS) ? caseGroup.ITEMS : []) {
                            if (item && Number.isInteger(item.INDEX) && !items.some((known) => known.index === item.INDEX))
                                items.push({name: item.INPUT_NAME || item.OUTPUT_NAME || '', index: item.INDEX});
                        }
                    }
                }
            }
        }
        return modules;
    }

    // A DATA skeleton for a group the device template describes, or null.
    dataSkeleton(module, groupName) {
        const groups = this.modules().get(module);
        const items = groups && groups.get(groupName);
        if (!items || items.length === 0)
            return null;
        return items.map((item) => ({INDEX: item.index, VALUE: 0}));
    }
}

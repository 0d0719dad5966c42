// When the console tries a lost station again: soon at first, then less and
// less often, never more than a minute apart. No DOM here, so that Node can
// test it.

export const FIRST_DELAY_MS = 500;
export const LONGEST_DELAY_MS = 30000;

// The pause before try number `attempt` (1 for the first try after the
// loss). `random` in [0, 1) spreads the tries of many pages by up to a fifth
// either way; 0.5 keeps the plain doubling.
export function reconnectDelay(attempt, random = 0.5) {
    const n = Number.isInteger(attempt) && attempt > 0 ? attempt : 1;
    const plain = Math.min(LONGEST_DELAY_MS, FIRST_DELAY_MS * 2 ** Math.min(n - 1, 20));
    const spread = 1 + (Math.min(Math.max(Number(random) || 0, 0), 1) - 0.5) * 0.4;
    return Math.round(Math.min(LONGEST_DELAY_MS, plain * spread));
}

// "in 4 s" for the state line.
export function delayText(ms) {
    const seconds = Math.max(0, Math.ceil(ms / 1000));
    return seconds < 1 ? 'now' : `in ${seconds} s`;
}

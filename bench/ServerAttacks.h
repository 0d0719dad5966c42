#pragma once

#include <QString>

// autotest-server under each attack its limits bound, one fresh release
// server (SQLite) per attack: the attackers run on a thread of their own
// while a bystander, on another, posts "fetch_tc" on a new connection every
// few milliseconds. Prints, per attack, the server's peak resident memory
// (VmHWM), the bystander's p50 and p99, what the attackers got back and
// whether the server stayed up, against the targets: no crash, peak RSS
// below 512 MB, and bystander p99 below 100 ms during the slow-header,
// idle-connection and busy-client attacks.
class ServerAttacks
{
public:
    // Runs the attacks whose name contains `only` (all when empty); false
    // when a target was missed.
    bool Run(const QString& only);
};

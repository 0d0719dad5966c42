#pragma once

#include "apps/controller-emulator/DeviceTemplate.h"

#include <QSet>
#include <QString>

// What the command line sets: the device template, how often devices push,
// and the faults to inject. Shared read-only by every device and connection.
struct EmulatorConfig
{
    DeviceTemplate deviceTemplate;
    // Milliseconds between observation pushes; 0 turns pushes off.
    int pushInterval = 100;
    // Commands answered with "Refused by emulator" instead of being run.
    QSet<QString> refused;
    // Commands never answered (nor run).
    QSet<QString> ignored;
    // Abort a connection when it has received this many messages; 0 = never.
    int dropAfter = 0;
    int dropSimAfter = 0;
    // Observation values pushed at once right after entering auto-test mode.
    int burst = 0;
    // Answer "EnterAutoTest" 1 with a template without modules.
    bool emptyTemplate = false;
};

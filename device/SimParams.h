#pragma once

// Position and frequency the simulator starts with.
struct SimParams
{
    double latitude = 0.0;
    double longitude = 0.0;
    int frequency = 0;
    int only_aircraft = 0;
};

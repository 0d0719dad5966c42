#pragma once

// An item of the device as the device numbers it.
struct IdKey
{
    int moduleSeq = 0;
    int groupSeq = 0;
    int index = 0;
};

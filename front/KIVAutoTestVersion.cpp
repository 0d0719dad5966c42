#include "front/KIVAutoTestConfig.h"

const char* KIVAutoTestVersion()
{
    return "0.1.0";
}

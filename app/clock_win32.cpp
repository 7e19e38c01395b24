#include <windows.h>

#include "protocol/job_io.h"

uint32_t tick_count()
{
    return GetTickCount();
}

void pause_ms(uint32_t milliseconds)
{
    Sleep(milliseconds);
}

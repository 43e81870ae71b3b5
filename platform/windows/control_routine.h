// The routine the console calls for a control event, named for tests: it passes the
// event to the installed handler and, when the handler leaves it to the system, puts the
// console back before the process ends.
#pragma once

#include <windows.h>

BOOL WINAPI control_routine(DWORD control_type);

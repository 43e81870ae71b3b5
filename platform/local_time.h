// The wall-clock time in the machine's own time zone, as the start-up banner shows it.
#pragma once

struct LocalTime {
  int year = 0;    // e.g. 2026
  int month = 0;   // 1-12
  int day = 0;     // 1-31
  int hour = 0;
  int minute = 0;
  int second = 0;
};

LocalTime local_time_now();

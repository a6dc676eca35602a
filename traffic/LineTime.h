// The times that lines carry. On screen a line shows the time of day; a line written to a file
// (velmor-bridge's --log, the windows' Save) carries the full local date and time with its offset
// from UTC, ISO 8601 to the millisecond, so that files from several days, machines or time zones
// sort and compare as they are:
//
//     12:03:04.123                        TimeOfDay
//     2026-12-08T12:03:04.123+01:00       IsoTime (+00:00 in UTC, never "Z")
#pragma once

#include <chrono>
#include <string>

using TLineClock = std::chrono::system_clock;

// The local time of day, "hh:mm:ss.zzz".
std::string TimeOfDay(TLineClock::time_point Time);
// The local date and time with the offset, "yyyy-MM-ddThh:mm:ss.zzz+hh:mm".
std::string IsoTime(TLineClock::time_point Time);

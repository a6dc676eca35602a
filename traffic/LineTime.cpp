#include "traffic/LineTime.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace
{

// The local broken-down time and the milliseconds of Time; a time before 1970 keeps its
// milliseconds counted forward from the second that holds it.
std::tm Local(TLineClock::time_point Time, int &Millis)
{
    using namespace std::chrono;
    const auto since = duration_cast<milliseconds>(Time.time_since_epoch()).count();
    long long seconds = since / 1000;
    long long millis = since % 1000;
    if (millis < 0) {
        millis += 1000;
        --seconds;
    }
    Millis = int(millis);
    const std::time_t whole = std::time_t(seconds);
    std::tm local{};
    localtime_r(&whole, &local);
    return local;
}

} // namespace

std::string TimeOfDay(TLineClock::time_point Time)
{
    int millis = 0;
    const std::tm local = Local(Time, millis);
    char text[64];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03d", local.tm_hour, local.tm_min,
                  local.tm_sec, millis);
    return text;
}

std::string IsoTime(TLineClock::time_point Time)
{
    int millis = 0;
    const std::tm local = Local(Time, millis);
    const long offset = local.tm_gmtoff / 60;
    const long minutes = std::labs(offset);
    char text[96];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03d%c%02ld:%02ld",
                  local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                  local.tm_min, local.tm_sec, millis, offset < 0 ? '-' : '+', minutes / 60,
                  minutes % 60);
    return text;
}

// Local time for the log's stamps, from the zone glibc would use: TZ as a
// zone file (":/path", "/path", ":Name", "Name"), a rule string such as
// "CET-1CEST,M3.5.0,M10.5.0/3", or /etc/localtime when TZ is unset. The C
// library's own reader maps and stats the file and pulls in its whole time
// code; this one reads the file once into borrowed memory and keeps only the
// offset in force, the next few changes and the rule string that follows
// the table. Anything unreadable means UTC, as with glibc.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tolm {

struct LocalTime {
    int64_t year;
    int month; // 1 to 12
    int day;
    int hour;
    int minute;
    int second;
};

// Reads the zone that TZ names, for times from now on. The file is read
// into scratch, which is free again on return. Only the first call reads:
// make it before a chroot hides the zone files.
void load_zone(char *scratch, size_t size);

// Reads the zone that tz names (nullptr as for TZ unset), for times from
// now on, in place of any zone read before.
void read_zone(const char *tz, int64_t now, char *scratch, size_t size);

// Whether a zone has been read; until then times are UTC.
bool zone_loaded();

// False when the year is beyond what a struct tm can hold, where glibc's
// localtime_r fails too.
bool local_time(int64_t t, LocalTime *out);

} // namespace tolm

#include "zone.h"

#include "descriptor.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>

namespace tolm {

namespace {

constexpr int64_t day_seconds = 86400;

// Days before each month, and before the end of the year; February 29 is
// added where it counts.
constexpr int days_before[13] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334, 365};

// Where a rule string's change falls: "n" counts 0 to 365 with February 29,
// "Jn" counts 1 to 365 without it, "Mm.w.d" is the w-th weekday d of month
// m (5 for the last). A rule glibc leaves half parsed keeps what it got, so
// the first of these is also what a missing change means.
enum class Day : uint8_t { zero_based, julian, weekday };

// One change of a rule string. The offset is the one in force until the
// change, which is also the one its local time of day is counted in:
// rules[0] is standard time and the change into daylight time, rules[1]
// daylight time and the change back.
struct Rule {
    int32_t offset; // seconds east of UTC
    Day type;
    uint16_t month, week, day;
    int32_t secs; // past local midnight, may be negative or beyond a day
};

// What is kept of a zone: the offset in force when it was read, the next
// few changes of its table, and the rule string that follows the table.
// Between the last change kept and the end of the table, years away, the
// last offset kept stays. Zero is UTC.
constexpr int kept = 4;

struct Zone {
    bool loaded;
    int32_t offset;
    int count;
    int64_t at[kept];
    int32_t to[kept];
    bool ruled;
    int64_t rule_from;
    Rule rules[2];
};

Zone zone;

int64_t floor_div(int64_t a, int64_t b) {
    return a / b - (a % b < 0 ? 1 : 0);
}

bool is_leap(int64_t year) {
    return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
}

// Howard Hinnant's conversions between civil dates and days since 1970.
int64_t days_from_civil(int64_t y, int m, int d) {
    y -= m <= 2 ? 1 : 0;
    const int64_t era = floor_div(y, 400);
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

LocalTime civil_from_days(int64_t days) {
    const int64_t z = days + 719468;
    const int64_t era = floor_div(z, 146097);
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    LocalTime lt{};
    lt.day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    lt.month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    lt.year = yoe + era * 400 + (lt.month <= 2 ? 1 : 0);
    return lt;
}

// A year that struct tm's tm_year holds: beyond it localtime_r fails, and
// nothing here computes with it.
bool fits_tm(int64_t year) {
    return year - 1900 >= INT_MIN && year - 1900 <= INT_MAX;
}

// Beyond this no year fits a struct tm, and sums with offsets cannot
// overflow.
constexpr int64_t time_limit = int64_t{1} << 57;

// The rule string is read as glibc reads it, which for numbers is
// strtoul's way: blanks skipped, a sign allowed, too large a value taken
// as the largest. Where glibc reads with scanf's "%hu", the value is then
// cut to 16 bits.
bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

bool number(const char *&p, uint64_t *value) {
    const char *s = p;
    while (*s == ' ' || (*s >= '\t' && *s <= '\r'))
        ++s;
    const bool negative = *s == '-';
    if (*s == '-' || *s == '+')
        ++s;
    if (!is_digit(*s))
        return false;
    uint64_t v = 0;
    for (; is_digit(*s); ++s) {
        const auto digit = static_cast<uint64_t>(*s - '0');
        v = v > (UINT64_MAX - digit) / 10 ? UINT64_MAX : v * 10 + digit;
    }
    *value = negative && v != UINT64_MAX ? 0 - v : v;
    p = s;
    return true;
}

bool number(const char *&p, uint16_t *value) {
    uint64_t v = 0;
    if (!number(p, &v))
        return false;
    *value = static_cast<uint16_t>(v);
    return true;
}

// "hh[:mm[:ss]]", each part read only when the one before was.
int hms(const char *&p, uint16_t *hh, uint16_t *mm, uint16_t *ss) {
    if (!number(p, hh))
        return 0;
    const char *s = p + 1;
    if (*p != ':' || !number(s, mm))
        return 1;
    p = s;
    s = p + 1;
    if (*p != ':' || !number(s, ss))
        return 2;
    p = s;
    return 3;
}

// Three letters or more, or anything of letters, digits and signs between
// angle brackets ("<+0545>"), three characters or more.
bool parse_name(const char *&p) {
    const char *s = p;
    while ((*s >= 'a' && *s <= 'z') || (*s >= 'A' && *s <= 'Z'))
        ++s;
    if (s - p >= 3) {
        p = s;
        return true;
    }
    s = p;
    if (*s++ != '<')
        return false;
    const char *start = s;
    while ((*s >= 'a' && *s <= 'z') || (*s >= 'A' && *s <= 'Z') || is_digit(*s) || *s == '+' ||
           *s == '-')
        ++s;
    if (*s != '>' || s - start < 3)
        return false;
    p = s + 1;
    return true;
}

// Hours beyond 24 and minutes or seconds beyond 59 count as those. The
// sign is the other way round: "EST5" is five hours west.
int32_t clamped_offset(uint16_t hh, uint16_t mm, uint16_t ss) {
    return (ss > 59 ? 59 : ss) + (mm > 59 ? 59 : mm) * 60 + (hh > 24 ? 24 : hh) * 3600;
}

bool parse_offset(const char *&p, Rule rules[2], int which) {
    if (which == 0 && *p != '+' && *p != '-' && !is_digit(*p))
        return false;
    int32_t sign = -1;
    if (*p == '+' || *p == '-')
        sign = *p++ == '-' ? 1 : -1;
    uint16_t hh = 0, mm = 0, ss = 0;
    if (hms(p, &hh, &mm, &ss) > 0) {
        rules[which].offset = sign * clamped_offset(hh, mm, ss);
        return true;
    }
    if (which == 0)
        return false;
    rules[1].offset = rules[0].offset + 3600;
    return true;
}

// The day of a change. Without any, daylight time runs from the second
// Sunday of March to the first of November: glibc's default, and what its
// posixrules file (New York's) gives from 2007 on.
bool parse_day(const char *&s, Rule &rule, int which) {
    if (*s == 'J' || is_digit(*s)) {
        rule.type = *s == 'J' ? Day::julian : Day::zero_based;
        if (rule.type == Day::julian && !is_digit(*++s))
            return false;
        uint64_t d = 0;
        number(s, &d);
        if (d > 365 || (rule.type == Day::julian && d == 0))
            return false;
        rule.day = static_cast<uint16_t>(d);
        return true;
    }
    if (*s == 'M') {
        rule.type = Day::weekday;
        ++s;
        return number(s, &rule.month) && *s++ == '.' && number(s, &rule.week) && *s++ == '.' &&
               number(s, &rule.day) && rule.month >= 1 && rule.month <= 12 && rule.week >= 1 &&
               rule.week <= 5 && rule.day <= 6;
    }
    if (*s != '\0')
        return false;
    rule.type = Day::weekday;
    rule.month = which == 0 ? 3 : 11;
    rule.week = which == 0 ? 2 : 1;
    rule.day = 0;
    return true;
}

// A change, at 02:00 unless a time follows. What glibc has set of the rule
// when it fails stays.
bool parse_change(const char *&p, Rule &rule, int which) {
    const char *s = p + (*p == ',' ? 1 : 0);
    if (!parse_day(s, rule, which) || (*s != '\0' && *s != '/' && *s != ','))
        return false;
    if (*s == '/') {
        ++s;
        if (*s == '\0')
            return false;
        const bool negative = *s == '-';
        s += negative ? 1 : 0;
        uint16_t hh = 2, mm = 0, ss = 0;
        hms(s, &hh, &mm, &ss);
        rule.secs = (negative ? -1 : 1) * (hh * 3600 + mm * 60 + ss);
    } else {
        rule.secs = 2 * 3600;
    }
    p = s;
    return true;
}

// A rule string as glibc takes it: what does not parse is left as UTC, and
// a string that breaks off midway keeps what came before.
void parse_rules(const char *p, Rule rules[2]) {
    rules[0] = Rule{};
    rules[1] = Rule{};
    if (!parse_name(p) || !parse_offset(p, rules, 0))
        return;
    if (*p == '\0') {
        rules[1].offset = rules[0].offset;
        return;
    }
    if (parse_name(p))
        parse_offset(p, rules, 1);
    if (parse_change(p, rules[0], 0))
        parse_change(p, rules[1], 1);
}

// When a change happens in a year, as glibc computes it: counted from the
// year's first day, or from 1970's for any year before.
int64_t change_time(const Rule &rule, int64_t year) {
    const int leap = is_leap(year) ? 1 : 0;
    const int m = rule.type == Day::weekday && rule.month >= 1 && rule.month <= 12 ? rule.month : 1;
    const int64_t first = days_from_civil(year, m, 1);
    int64_t day = year > 1970 ? first : days_before[m - 1] + (m > 2 ? leap : 0);
    if (rule.type == Day::julian) {
        day += rule.day - 1 + (rule.day >= 60 ? leap : 0);
    } else if (rule.type == Day::zero_based) {
        day += rule.day;
    } else {
        // 1970-01-01 was a Thursday.
        const int length = days_before[m] - days_before[m - 1] + (m == 2 ? leap : 0);
        int64_t d = rule.day - (first + 4 - floor_div(first + 4, 7) * 7);
        if (d < 0)
            d += 7;
        for (int i = 1; i < rule.week && d + 7 < length; ++i)
            d += 7;
        day += d;
    }
    return day * day_seconds - rule.offset + rule.secs;
}

// Daylight time between the two changes of t's year in UTC; where the
// change back comes first in the year, outside them.
int32_t rule_offset(const Rule rules[2], int64_t t, int64_t year) {
    const int64_t start = change_time(rules[0], year);
    const int64_t end = change_time(rules[1], year);
    const bool dst = start > end ? (t < end || t >= start) : (t >= start && t < end);
    return rules[dst ? 1 : 0].offset;
}

int32_t offset_at(int64_t t) {
    if (zone.ruled && t >= zone.rule_from) {
        const int64_t year = civil_from_days(floor_div(t, day_seconds)).year;
        if (fits_tm(year))
            return rule_offset(zone.rules, t, year);
    }
    int32_t offset = zone.offset;
    for (int i = 0; i < zone.count && t >= zone.at[i]; ++i)
        offset = zone.to[i];
    return offset;
}

// From where the file was left, or, with an offset, from there.
size_t read_some(int fd, char *buf, size_t size, int64_t offset) {
    ssize_t n;
    do
        n = offset < 0 ? read(fd, buf, size) : pread(fd, buf, size, static_cast<off_t>(offset));
    while (n < 0 && errno == EINTR);
    return n < 0 ? 0 : static_cast<size_t>(n);
}

uint32_t be32(const char *p) {
    const auto *u = reinterpret_cast<const unsigned char *>(p);
    return uint32_t{u[0]} << 24 | uint32_t{u[1]} << 16 | uint32_t{u[2]} << 8 | u[3];
}

// The i-th time of a table of 32-bit or 64-bit times.
int64_t time_at(const char *p, size_t width, uint32_t i) {
    p += i * width;
    if (width == 4)
        return static_cast<int32_t>(be32(p));
    return static_cast<int64_t>(uint64_t{be32(p)} << 32 | be32(p + 4));
}

struct Header {
    char version;
    uint32_t isut, isstd, leaps, times, types, chars;
};

constexpr size_t header_size = 44;

bool parse_header(const char *p, Header *h) {
    if (memcmp(p, "TZif", 4) != 0)
        return false;
    h->version = p[4];
    h->isut = be32(p + 20);
    h->isstd = be32(p + 24);
    h->leaps = be32(p + 28);
    h->times = be32(p + 32);
    h->types = be32(p + 36);
    h->chars = be32(p + 40);
    return h->types > 0 && h->isut <= h->types && h->isstd <= h->types;
}

uint64_t data_size(const Header &h, uint64_t width) {
    return h.times * (width + 1) + h.types * uint64_t{6} + h.chars + h.leaps * (width + 4) +
           h.isstd + h.isut;
}

// Each type is six bytes: its offset, its summer time flag, its name.
int32_t type_offset(const char *entries, uint32_t type) {
    return static_cast<int32_t>(be32(entries + static_cast<size_t>(type) * 6));
}

// Keeps from the table what times from now on need. Before the first
// change, glibc takes the first type of standard time.
bool take_table(const char *p, const Header &h, size_t width, int64_t now) {
    const char *idx = p + h.times * width;
    const char *entries = idx + h.times;
    for (uint32_t i = 0; i < h.times; ++i) {
        if (static_cast<unsigned char>(idx[i]) >= h.types)
            return false;
    }
    uint32_t first = h.types;
    for (uint32_t i = 0; i < h.types; ++i) {
        const char *entry = entries + static_cast<size_t>(i) * 6;
        if (static_cast<unsigned char>(entry[4]) > 1 ||
            static_cast<unsigned char>(entry[5]) > h.chars)
            return false;
        if (entry[4] == 0 && first == h.types)
            first = i;
    }
    uint32_t next = h.times;
    while (next > 0 && now < time_at(p, width, next - 1))
        --next;
    zone.offset = type_offset(entries, next > 0 ? static_cast<unsigned char>(idx[next - 1])
                                                : (first < h.types ? first : 0));
    zone.count = 0;
    for (uint32_t i = next; i < h.times && zone.count < kept; ++i, ++zone.count) {
        zone.at[zone.count] = time_at(p, width, i);
        zone.to[zone.count] = type_offset(entries, static_cast<unsigned char>(idx[i]));
    }
    // After the table the rule string takes over, which glibc ignores when
    // the table is empty.
    zone.ruled = h.times > 0;
    zone.rule_from = h.times > 0 ? time_at(p, width, h.times - 1) : 0;
    return true;
}

// One read takes every zone file of tzdata whole; a read that fills the
// scratch memory leaves the end of the file unknown, and then the part
// with 64-bit times is read again at its place. Whatever does not fit
// counts as unreadable.
bool read_file(int fd, int64_t now, char *scratch, size_t size) {
    const Descriptor file(fd);
    size_t len = read_some(file.get(), scratch, size, -1);
    Header h{};
    if (len < header_size || !parse_header(scratch, &h))
        return false;
    uint64_t off = header_size;
    size_t width = 4;
    if (h.version != '\0') {
        off += data_size(h, 4);
        if (len == size) {
            len = read_some(file.get(), scratch, size, static_cast<int64_t>(off));
            off = 0;
        }
        if (off + header_size > len || !parse_header(scratch + off, &h))
            return false;
        off += header_size;
        width = 8;
    }
    const uint64_t data = data_size(h, width);
    if (data > len - off || !take_table(scratch + off, h, width, now))
        return false;
    if (width == 4) {
        zone.ruled = false;
        return true;
    }
    // The rule string between two newlines; glibc refuses a file that ends
    // before them, takes none when the first is missing, and all but the
    // last byte when the second is.
    char *text = scratch + off + data;
    const size_t rest = len - off - data;
    if (rest < 2)
        return false;
    if (text[0] != '\n') {
        zone.ruled = false;
        return true;
    }
    char *end = static_cast<char *>(memchr(text + 1, '\n', rest - 1));
    if (end == nullptr && len == size)
        return false;
    *(end != nullptr ? end : text + rest - 1) = '\0';
    if (text[1] == '\0')
        zone.ruled = false;
    if (zone.ruled)
        parse_rules(text + 1, zone.rules);
    return true;
}

constexpr char zone_dir[] = "/usr/share/zoneinfo/";

// openat, as musl's open follows O_CLOEXEC with an fcntl for kernels
// that ignore the flag, which Linux has not since 2.6.23.
int open_file(const char *path) {
    return openat(AT_FDCWD, path, O_RDONLY | O_CLOEXEC);
}

// A name inside the zone directory, which ".." could leave.
int open_zone(const char *name, char *scratch, size_t size) {
    if (name[0] == '/')
        return open_file(name);
    for (const char *p = name; *p != '\0';) {
        const size_t len = strcspn(p, "/");
        if (len == 2 && p[0] == '.' && p[1] == '.')
            return -1;
        p += len + (p[len] == '/' ? 1 : 0);
    }
    const size_t dir = sizeof zone_dir - 1;
    const size_t len = strlen(name);
    if (dir + len >= size)
        return -1;
    memcpy(scratch, zone_dir, dir);
    memcpy(scratch + dir, name, len + 1);
    return open_file(scratch);
}

} // namespace

// As glibc decides: TZ empty is UTC; a leading colon is dropped; the value
// names a file, absolute or in the zone directory, and when that is no
// zone file, it is read as a rule string. Unset, it is /etc/localtime or
// UTC.
void read_zone(const char *tz, int64_t now, char *scratch, size_t size) {
    zone = Zone{};
    zone.loaded = true;
    if (tz != nullptr && tz[0] == ':')
        ++tz;
    if (tz != nullptr && tz[0] == '\0')
        return;
    const char *name = tz != nullptr ? tz : "/etc/localtime";
    const int fd = open_zone(name, scratch, size);
    if (fd >= 0 && read_file(fd, now, scratch, size))
        return;
    zone = Zone{};
    zone.loaded = true;
    if (tz == nullptr)
        return;
    parse_rules(tz, zone.rules);
    zone.ruled = true;
    zone.rule_from = INT64_MIN;
}

void load_zone(char *scratch, size_t size) {
    if (!zone.loaded)
        read_zone(getenv("TZ"), time(nullptr), scratch, size);
}

bool zone_loaded() {
    return zone.loaded;
}

bool local_time(int64_t t, LocalTime *out) {
    if (t < -time_limit || t > time_limit)
        return false;
    const int64_t local = t + offset_at(t);
    const int64_t days = floor_div(local, day_seconds);
    const int64_t secs = local - days * day_seconds;
    LocalTime lt = civil_from_days(days);
    if (!fits_tm(lt.year))
        return false;
    lt.hour = static_cast<int>(secs / 3600);
    lt.minute = static_cast<int>(secs / 60 % 60);
    lt.second = static_cast<int>(secs % 60);
    *out = lt;
    return true;
}

} // namespace tolm

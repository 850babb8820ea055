// What the zone tests share: tolm's local time and glibc's for the same
// TZ, a writer of zone files, and a directory for them.
#pragma once

#include "zone.h"

#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

namespace zone_test {

// "YYYY-MM-DD hh:mm:ss", or "none" where no broken-down time exists.
inline std::string show(bool ok, int64_t year, int month, int day, int hour, int minute,
                        int second) {
    if (!ok)
        return "none";
    char text[64];
    snprintf(text, sizeof text, "%04lld-%02d-%02d %02d:%02d:%02d", static_cast<long long>(year),
             month, day, hour, minute, second);
    return text;
}

// t shown as the wall clock of a zone offset seconds east of UTC, by the
// C++ library's calendar, which no TZ setting reaches.
inline std::string shifted(int64_t t, int64_t offset) {
    using namespace std::chrono;
    if (offset == LONG_MIN)
        return "none";
    const sys_seconds local{seconds{t + offset}};
    const sys_days day = floor<days>(local);
    const year_month_day date{day};
    const hh_mm_ss time{local - day};
    return show(true, int{date.year()}, static_cast<int>(unsigned{date.month()}),
                static_cast<int>(unsigned{date.day()}), static_cast<int>(time.hours().count()),
                static_cast<int>(time.minutes().count()), static_cast<int>(time.seconds().count()));
}

// tolm's reading, as a run that started at `loaded` and formats t.
inline std::string ours(const char *tz, int64_t loaded, int64_t t, size_t scratch = 8192) {
    std::vector<char> memory(scratch);
    tolm::read_zone(tz, loaded, memory.data(), memory.size());
    tolm::LocalTime lt{};
    const bool ok = tolm::local_time(t, &lt);
    return show(ok, lt.year, lt.month, lt.day, lt.hour, lt.minute, lt.second);
}

inline std::string ours(const std::string &tz, int64_t loaded, int64_t t, size_t scratch = 8192) {
    return ours(tz.c_str(), loaded, t, scratch);
}

// glibc's zone, set once for many conversions.
class Glibc {
  public:
    explicit Glibc(const char *tz) {
        if (tz != nullptr)
            setenv("TZ", tz, 1);
        else
            unsetenv("TZ");
        tzset();
    }
    explicit Glibc(const std::string &tz) : Glibc(tz.c_str()) {}
    Glibc(const Glibc &) = delete;
    Glibc &operator=(const Glibc &) = delete;
    ~Glibc() {
        unsetenv("TZ");
        tzset();
    }

    std::string at(int64_t t) const {
        const time_t when = t;
        struct tm tm {};
        const bool ok = localtime_r(&when, &tm) != nullptr;
        return show(ok, int64_t{tm.tm_year} + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour,
                    tm.tm_min, tm.tm_sec);
    }

    long offset(int64_t t) const {
        const time_t when = t;
        struct tm tm {};
        return localtime_r(&when, &tm) != nullptr ? tm.tm_gmtoff : LONG_MIN;
    }
};

// Seconds since 1970 of a UTC date and time.
inline int64_t utc(int year, int month, int day, int hour = 0, int minute = 0, int second = 0) {
    struct tm tm {};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    return timegm(&tm);
}

// A zone file in the layout zic writes: a version 1 block with the 32-bit
// times, then, unless the version is '\0', the same again with 64-bit times
// and the rule string on a line of its own.
struct Tzif {
    struct Type {
        int32_t offset;
        uint8_t dst;
        uint8_t abbr;
    };
    char version = '2';
    std::vector<std::pair<int64_t, uint8_t>> changes;
    std::vector<Type> types;
    std::string chars;
    std::vector<std::pair<int64_t, int32_t>> leaps;
    bool indicators = false; // standard/wall and UT/local flags, one per type
    std::string footer;
    // A version 1 block of its own, instead of the 32-bit times that fit.
    const Tzif *v1 = nullptr;

    static void put32(std::string &out, uint32_t v) {
        for (int shift = 24; shift >= 0; shift -= 8)
            out += static_cast<char>((v >> shift) & 0xff);
    }
    static void put64(std::string &out, int64_t v) {
        put32(out, static_cast<uint32_t>(static_cast<uint64_t>(v) >> 32));
        put32(out, static_cast<uint32_t>(v));
    }

    std::string block(int width) const {
        std::vector<std::pair<int64_t, uint8_t>> kept;
        for (const auto &c : changes) {
            if (width == 8 || (c.first >= INT32_MIN && c.first <= INT32_MAX))
                kept.push_back(c);
        }
        std::string out = "TZif";
        out += version;
        out += std::string(15, '\0');
        const auto flags = static_cast<uint32_t>(indicators ? types.size() : 0);
        put32(out, flags);
        put32(out, flags);
        put32(out, static_cast<uint32_t>(leaps.size()));
        put32(out, static_cast<uint32_t>(kept.size()));
        put32(out, static_cast<uint32_t>(types.size()));
        put32(out, static_cast<uint32_t>(chars.size()));
        for (const auto &c : kept) {
            if (width == 8)
                put64(out, c.first);
            else
                put32(out, static_cast<uint32_t>(c.first));
        }
        for (const auto &c : kept)
            out += static_cast<char>(c.second);
        for (const auto &t : types) {
            put32(out, static_cast<uint32_t>(t.offset));
            out += static_cast<char>(t.dst);
            out += static_cast<char>(t.abbr);
        }
        out += chars;
        for (const auto &l : leaps) {
            if (width == 8)
                put64(out, l.first);
            else
                put32(out, static_cast<uint32_t>(l.first));
            put32(out, static_cast<uint32_t>(l.second));
        }
        out += std::string(2 * flags, '\0');
        return out;
    }

    std::string bytes() const {
        std::string out = v1 != nullptr ? v1->block(4) : block(4);
        if (v1 != nullptr)
            out[4] = version;
        if (version == '\0')
            return out;
        return out + block(8) + "\n" + footer + "\n";
    }
};

// A directory of its own, gone with the test.
class Dir {
  public:
    Dir() {
        char tmpl[] = "/tmp/tolm-zone.XXXXXX";
        if (mkdtemp(tmpl) == nullptr)
            abort();
        path_ = tmpl;
    }
    Dir(const Dir &) = delete;
    Dir &operator=(const Dir &) = delete;
    ~Dir() { std::filesystem::remove_all(path_); }

    std::string write(const std::string &name, const std::string &content) const {
        const std::string file = path_ + "/" + name;
        std::ofstream(file, std::ios::binary) << content;
        return file;
    }
    const std::string &path() const { return path_; }

  private:
    std::string path_;
};

} // namespace zone_test

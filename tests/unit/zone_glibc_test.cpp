// tolm's local time against glibc's localtime_r, which stamps the lines of
// syslog(3) that tolm's must equal: every zone file of the system and a
// table of rule strings, around every change glibc shows from 1900 to
// 2040 and at instants from 1653 to 30489.
#include "zone_support.h"

#include <gtest/gtest.h>
#include <sstream>

namespace {

using zone_test::Glibc;
using zone_test::utc;

const std::string zone_dir = "/usr/share/zoneinfo";

// tolm as a run that started at `loaded`.
class Ours {
  public:
    Ours(const std::string &tz, int64_t loaded) {
        tolm::read_zone(tz.c_str(), loaded, memory_.data(), memory_.size());
    }
    static std::string at(int64_t t) {
        tolm::LocalTime lt{};
        const bool ok = tolm::local_time(t, &lt);
        return zone_test::show(ok, lt.year, lt.month, lt.day, lt.hour, lt.minute, lt.second);
    }

  private:
    std::vector<char> memory_ = std::vector<char>(8192);
};

// The first few disagreements, and how many there were.
struct Report {
    int count = 0;
    std::ostringstream first;

    void check(const std::string &tz, int64_t loaded, int64_t t, const std::string &want) {
        const std::string got = Ours::at(t);
        if (got == want)
            return;
        if (count++ < 20)
            first << tz << " at " << t << " (read at " << loaded << "): glibc " << want << ", tolm "
                  << got << "\n";
    }
};

// The instants where glibc's offset changes, looked for every two weeks:
// two changes closer than that may go unseen, which no zone has had more
// than a few times.
std::vector<int64_t> changes(const Glibc &glibc, int64_t from, int64_t to) {
    const int64_t step = 14 * 86400;
    std::vector<int64_t> found;
    long before = glibc.offset(from);
    for (int64_t t = from + step; t <= to; t += step) {
        const long after = glibc.offset(t);
        if (after == before)
            continue;
        int64_t lo = t - step, hi = t;
        while (hi - lo > 1) {
            const int64_t mid = lo + (hi - lo) / 2;
            (glibc.offset(mid) == before ? lo : hi) = mid;
        }
        found.push_back(hi);
        before = after;
    }
    return found;
}

int64_t now() {
    return static_cast<int64_t>(time(nullptr));
}

// Instants with no change nearby in most zones, from before the tables to
// far beyond them; INT32_MIN and INT32_MAX, where the 32-bit tables end.
std::vector<int64_t> instants() {
    std::vector<int64_t> list = {-10000000000,
                                 -5000000000,
                                 INT32_MIN - int64_t{1},
                                 INT32_MIN,
                                 0,
                                 INT32_MAX,
                                 INT32_MAX + int64_t{1},
                                 utc(2040, 1, 1),
                                 utc(2040, 7, 1),
                                 utc(2100, 1, 1),
                                 utc(2100, 7, 1),
                                 utc(2200, 7, 1),
                                 100000000000,
                                 900000000000};
    const int64_t t = now();
    const int64_t year = 31556952;
    for (int64_t i = -3; i <= 3; ++i) {
        list.push_back(t + i * year);
        list.push_back(t + i * year + year / 2);
    }
    return list;
}

// Around each change, as a run that started ten minutes before and as
// one that starts at it; at each instant, as a run that starts then.
void compare(const std::string &tz, int64_t from, int64_t to, Report &report,
             const std::vector<int64_t> &at = instants(), bool leaps = false) {
    const Glibc glibc(tz);
    const auto want = [&](int64_t t) {
        return leaps ? zone_test::shifted(t, glibc.offset(t)) : glibc.at(t);
    };
    for (const int64_t change : changes(glibc, from, to)) {
        {
            const Ours ours(tz, change - 600);
            for (const int64_t t : {change - 1, change, change + 1})
                report.check(tz, change - 600, t, want(t));
        }
        const Ours ours(tz, change);
        for (const int64_t t : {change, change + 1})
            report.check(tz, change, t, want(t));
    }
    for (const int64_t t : at) {
        const Ours ours(tz, t);
        report.check(tz, t, t, want(t));
    }
}

bool is_tzif(const std::filesystem::path &path) {
    std::ifstream in(path, std::ios::binary);
    char magic[4] = {};
    return in.read(magic, 4) && std::string(magic, 4) == "TZif";
}

// Zone files by their names in the zone directory, leap second zones
// ("right/") apart.
std::vector<std::string> zone_names(bool right) {
    std::vector<std::string> names;
    if (!std::filesystem::is_directory(zone_dir))
        return names;
    for (const auto &entry : std::filesystem::recursive_directory_iterator(zone_dir)) {
        const std::string name = entry.path().lexically_relative(zone_dir).string();
        if (name.rfind("right/", 0) == 0 && right && entry.is_regular_file() &&
            is_tzif(entry.path()))
            names.push_back(name.substr(6));
        else if (name.rfind("right/", 0) != 0 && !right && entry.is_regular_file() &&
                 is_tzif(entry.path()))
            names.push_back(name);
    }
    return names;
}

TEST(ZoneGlibc, EveryZoneFile) {
    const std::vector<std::string> names = zone_names(false);
    if (names.size() < 100)
        GTEST_SKIP() << zone_dir << " has no zone files (Debian: tzdata)";
    Report report;
    for (const std::string &name : names)
        compare(":" + zone_dir + "/" + name, utc(1900, 1, 1), utc(2040, 1, 1), report);
    EXPECT_EQ(0, report.count) << names.size() << " zones\n" << report.first.str();
}

// The zone named as TZ names it, and as /etc/localtime when TZ is unset.
TEST(ZoneGlibc, ZoneNames) {
    if (!std::filesystem::exists(zone_dir + "/Europe/Paris"))
        GTEST_SKIP() << zone_dir << " has no zone files (Debian: tzdata)";
    Report report;
    for (const char *tz : {"Europe/Paris", ":America/Sao_Paulo", "Australia/Lord_Howe",
                           ":Pacific/Chatham", "Europe/Dublin", "Africa/Casablanca"})
        compare(tz, utc(1960, 1, 1), utc(2040, 1, 1), report);
    EXPECT_EQ(0, report.count) << report.first.str();
    const Glibc glibc(nullptr);
    for (const int64_t t : instants()) {
        std::vector<char> memory(8192);
        tolm::read_zone(nullptr, t, memory.data(), memory.size());
        EXPECT_EQ(glibc.at(t), Ours::at(t)) << "TZ unset, at " << t;
    }
}

// Leap second zones count seconds differently: glibc corrects its clock
// for them and tolm does not, but the zone's offset, which glibc gives
// apart, must be the same.
TEST(ZoneGlibc, LeapSecondZones) {
    const std::vector<std::string> names = zone_names(true);
    if (names.empty())
        GTEST_SKIP() << zone_dir << "/right has no zone files";
    Report report;
    for (const std::string &name : names)
        compare(":" + zone_dir + "/right/" + name, utc(1970, 1, 1), utc(2040, 1, 1), report,
                instants(), true);
    EXPECT_EQ(0, report.count) << names.size() << " zones\n" << report.first.str();
}

// Rule strings, well formed and not: where glibc parses part of one, the
// part it keeps decides.
TEST(ZoneGlibc, RuleStrings) {
    const char *rows[] = {
        "EST5EDT,M3.2.0,M11.1.0",
        "<+0545>-5:45",
        "CET-1CEST,M3.5.0,M10.5.0/3",
        "AEST-10AEDT,M10.1.0,M4.1.0/3",
        "NZST-12NZDT,M9.5.0,M4.1.0/3",
        "<-02>2<-01>,M3.5.0/-1,M10.5.0/0",
        "EST5EDT,0/0,J365/25",
        "IST-2IDT,M3.4.4/26,M10.5.0",
        "<-03>3<-02>,M3.2.0,M11.1.0",
        "IST-1GMT0,M10.5.0,M3.5.0/1",
        "<+1030>-10:30<+11>-11,M10.1.0,M4.1.0",
        "ABC0DEF-1,J60/0,J305/0",
        "ABC0DEF-1,59/0,305/0",
        "ABC3DEF,J1/0,J365/24",
        "ABC3DEF,0/0,365/24",
        "ABC-3DEF-4,0,365",
        "ABC+5DEF+4,M4.1.0/-3:30,M10.5.6/27:15:10",
        "ABC5DEF,M2.5.4,M12.5.6",
        "ABC5DEF,M1.1.0/-167,M12.5.6/167",
        "XYZ5",
        "XYZ5:30",
        "XYZ-5:30:15",
        "<UTC+3>-3",
        "ABC25",
        "ABC5:75:99",
        "EST+-5",
        "EST5EDT 4,M3.2.0,M11.1.0",
        "EST5EDT,M3.2.0",
        "EST5EDT,M3.2.0x,M11.1.0",
        "EST5EDT,M3.2,M11.1.0",
        "EST5EDT,M3.2.0,M11.6.0",
        "EST5EDT,M3.2.0,M11.1.7",
        "EST5EDT,M3.2.0/,M11.1.0",
        "EST5EDT,M3.2.0/x,M11.1.0",
        "EST5EDT,J0,J300",
        "EST5EDT,366,300",
        "EST5EDT,J,300",
        "EST5EDT,J65596,300",
        "EST5EDT,M65539.2.0,M11.1.0",
        "EST5EDT,M 3.2.0,M11.1.0",
        "EST5EDT, M3.2.0,M11.1.0",
        "EST 5",
        "EST5 junk",
        "EST5 EDT",
        "EST5,M3.2.0,M11.1.0",
        "<EST>5<EDT>,M3.2.0,M11.1.0",
        "<ES>5",
        "<EST5",
        "ES5",
        "5",
        "",
        ":",
        ":EST5EDT,M3.2.0,M11.1.0",
        "Nonexistent/Zone",
        "/nonexistent",
    };
    Report report;
    for (const char *tz : rows)
        compare(tz, utc(1960, 1, 1), utc(2040, 1, 1), report);
    EXPECT_EQ(0, report.count) << report.first.str();
}

} // namespace

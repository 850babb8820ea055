// Reading the zone: rule strings and zone files against what their rules
// and tables say, worked out by hand, and zone files made for the purpose
// against glibc's reading of the same bytes.
#include "zone_support.h"

#include <gtest/gtest.h>

namespace {

using zone_test::Dir;
using zone_test::Glibc;
using zone_test::ours;
using zone_test::shifted;
using zone_test::show;
using zone_test::Tzif;
using zone_test::utc;

struct Stamp {
    const char *tz;
    int64_t t;
    const char *local;
};

// Each instant as a run that starts then, and as one that started two
// hours before and still logs.
void check(const Stamp &row) {
    EXPECT_EQ(row.local, ours(row.tz, row.t, row.t)) << row.tz << " at " << row.t;
    EXPECT_EQ(row.local, ours(row.tz, row.t - 7200, row.t))
        << row.tz << " at " << row.t << ", read two hours before";
}

TEST(ZoneRules, AroundChanges) {
    const Stamp rows[] = {
        // Second Sunday of March, first of November, at 02:00 local.
        {"EST5EDT,M3.2.0,M11.1.0", utc(2024, 3, 10, 6, 59, 59), "2024-03-10 01:59:59"},
        {"EST5EDT,M3.2.0,M11.1.0", utc(2024, 3, 10, 7), "2024-03-10 03:00:00"},
        {"EST5EDT,M3.2.0,M11.1.0", utc(2024, 11, 3, 5, 59, 59), "2024-11-03 01:59:59"},
        {"EST5EDT,M3.2.0,M11.1.0", utc(2024, 11, 3, 6), "2024-11-03 01:00:00"},
        {"EST5EDT,M3.2.0,M11.1.0", utc(2024, 1, 1, 4, 59, 59), "2023-12-31 23:59:59"},
        // Last Sundays, back at 03:00 summer time.
        {"CET-1CEST,M3.5.0,M10.5.0/3", utc(2024, 3, 31, 0, 59, 59), "2024-03-31 01:59:59"},
        {"CET-1CEST,M3.5.0,M10.5.0/3", utc(2024, 3, 31, 1), "2024-03-31 03:00:00"},
        {"CET-1CEST,M3.5.0,M10.5.0/3", utc(2024, 10, 27, 0, 59, 59), "2024-10-27 02:59:59"},
        {"CET-1CEST,M3.5.0,M10.5.0/3", utc(2024, 10, 27, 1), "2024-10-27 02:00:00"},
        // Southern: summer time spans the new year.
        {"AEST-10AEDT,M10.1.0,M4.1.0/3", utc(2024, 1, 15), "2024-01-15 11:00:00"},
        {"AEST-10AEDT,M10.1.0,M4.1.0/3", utc(2024, 4, 6, 15, 59, 59), "2024-04-07 02:59:59"},
        {"AEST-10AEDT,M10.1.0,M4.1.0/3", utc(2024, 4, 6, 16), "2024-04-07 02:00:00"},
        {"AEST-10AEDT,M10.1.0,M4.1.0/3", utc(2024, 10, 5, 15, 59, 59), "2024-10-06 01:59:59"},
        {"AEST-10AEDT,M10.1.0,M4.1.0/3", utc(2024, 10, 5, 16), "2024-10-06 03:00:00"},
        // Quoted names, minutes, seconds.
        {"<+0545>-5:45", utc(2024, 6, 30, 18, 15), "2024-07-01 00:00:00"},
        {"<-03>3", utc(2024, 6, 1, 12), "2024-06-01 09:00:00"},
        {"XYZ-5:30:15", utc(2024, 1, 1), "2024-01-01 05:30:15"},
        // A change the evening before, and one at midnight of summer time.
        {"<-02>2<-01>,M3.5.0/-1,M10.5.0/0", utc(2024, 3, 31, 0, 59, 59), "2024-03-30 22:59:59"},
        {"<-02>2<-01>,M3.5.0/-1,M10.5.0/0", utc(2024, 3, 31, 1), "2024-03-31 00:00:00"},
        {"<-02>2<-01>,M3.5.0/-1,M10.5.0/0", utc(2024, 10, 27, 0, 59, 59), "2024-10-26 23:59:59"},
        {"<-02>2<-01>,M3.5.0/-1,M10.5.0/0", utc(2024, 10, 27, 1), "2024-10-26 23:00:00"},
        // Summer time all year round.
        {"EST5EDT,0/0,J365/25", utc(2024, 7, 1, 12), "2024-07-01 08:00:00"},
        // Jn never counts February 29: J60 is March 1 in every year.
        {"ABC0DEF-1,J60/0,J305/0", utc(2024, 2, 29, 23, 59, 59), "2024-02-29 23:59:59"},
        {"ABC0DEF-1,J60/0,J305/0", utc(2024, 3, 1), "2024-03-01 01:00:00"},
        {"ABC0DEF-1,J60/0,J305/0", utc(2024, 10, 31, 22, 59, 59), "2024-10-31 23:59:59"},
        {"ABC0DEF-1,J60/0,J305/0", utc(2024, 10, 31, 23), "2024-10-31 23:00:00"},
        // n counts from 0 and does: 59 is February 29 in a leap year.
        {"ABC0DEF-1,59/0,305/0", utc(2024, 2, 28, 23, 59, 59), "2024-02-28 23:59:59"},
        {"ABC0DEF-1,59/0,305/0", utc(2024, 2, 29), "2024-02-29 01:00:00"},
        {"ABC0DEF-1,59/0,305/0", utc(2023, 2, 28, 23, 59, 59), "2023-02-28 23:59:59"},
        {"ABC0DEF-1,59/0,305/0", utc(2023, 3, 1), "2023-03-01 01:00:00"},
        {"ABC0DEF-1,59/0,305/0", utc(2023, 11, 1, 22, 59, 59), "2023-11-01 23:59:59"},
        {"ABC0DEF-1,59/0,305/0", utc(2023, 11, 1, 23), "2023-11-01 23:00:00"},
        // Summer time without rules follows the United States', by default
        // an hour ahead.
        {"AAA5BBB", utc(2024, 3, 10, 6, 59, 59), "2024-03-10 01:59:59"},
        {"AAA5BBB", utc(2024, 3, 10, 7), "2024-03-10 03:00:00"},
        {"AAA5BBB3", utc(2024, 3, 10, 7), "2024-03-10 04:00:00"},
        {"EST5EDT,M3.2.0", utc(2024, 11, 3, 6), "2024-11-03 01:00:00"},
        // Out-of-range parts count as their limits, as glibc has them.
        {"ABC25", utc(2024, 1, 2), "2024-01-01 00:00:00"},
        {"ABC5:75", utc(2024, 1, 1, 12), "2024-01-01 06:01:00"},
        // Without a summer time name the second offset stays UTC's, as
        // glibc has it.
        {"EST5,M3.2.0,M11.1.0", utc(2024, 1, 15, 12), "2024-01-15 07:00:00"},
        {"EST5,M3.2.0,M11.1.0", utc(2024, 7, 1, 12), "2024-07-01 12:00:00"},
        // Nothing usable: UTC.
        {"", utc(2024, 3, 10, 7), "2024-03-10 07:00:00"},
        {":", utc(2024, 3, 10, 7), "2024-03-10 07:00:00"},
        {"5", utc(2024, 3, 10, 7), "2024-03-10 07:00:00"},
        {"AB5", utc(2024, 3, 10, 7), "2024-03-10 07:00:00"},
        {"<AB>5", utc(2024, 3, 10, 7), "2024-03-10 07:00:00"},
        {"NOOFFSET", utc(2024, 3, 10, 7), "2024-03-10 07:00:00"},
        {"/nonexistent", utc(2024, 3, 10, 7), "2024-03-10 07:00:00"},
        {"Nonexistent/Zone", utc(2024, 3, 10, 7), "2024-03-10 07:00:00"},
    };
    for (const Stamp &row : rows)
        check(row);
}

// Asia/Kathmandu has kept +05:45 since 1986, with no rule changes.
TEST(ZoneRules, ZoneFileNames) {
    const std::string file = "/usr/share/zoneinfo/Asia/Kathmandu";
    if (!std::filesystem::exists(file))
        GTEST_SKIP() << file << " missing (Debian: tzdata)";
    const int64_t t = utc(2024, 6, 30, 18, 15);
    const Stamp rows[] = {
        {"Asia/Kathmandu", t, "2024-07-01 00:00:00"},
        {":Asia/Kathmandu", t, "2024-07-01 00:00:00"},
        {"/usr/share/zoneinfo/Asia/Kathmandu", t, "2024-07-01 00:00:00"},
        {":/usr/share/zoneinfo/Asia/Kathmandu", t, "2024-07-01 00:00:00"},
        // A name may not climb out of the zone directory.
        {"../zoneinfo/Asia/Kathmandu", t, "2024-06-30 18:15:00"},
        {"Asia/../Asia/Kathmandu", t, "2024-06-30 18:15:00"},
        {":Asia/..", t, "2024-06-30 18:15:00"},
    };
    for (const Stamp &row : rows)
        check(row);
}

// Civil dates far from now: leap days, centuries, years before 1970.
TEST(ZoneRules, CivilDates) {
    const int64_t rows[] = {
        0,           -1,          951782400,    951868799,         4107542400,     4107628800,
        13574563200, -2208988800, -62135596800, -86400 * 719468LL, 951825600,      68169600,
        2147483647,  -2147483648, 253402300799, -62167219200,      -1000000000000,
    };
    for (const int64_t t : rows)
        EXPECT_EQ(shifted(t, 0), ours("UTC0", t, t)) << t;
}

// Times beyond what struct tm holds have no stamp, as localtime_r fails.
TEST(ZoneRules, BeyondStructTm) {
    // tm_year counts from 1900, the seconds from 1970.
    const int64_t year = 31556952;
    const int64_t last = (int64_t{INT32_MAX} + 1900 - 1970) * year;
    const int64_t first = (int64_t{INT32_MIN} + 1900 - 1970) * year;
    const Glibc glibc("UTC0");
    for (const int64_t t : {INT64_MAX, INT64_MIN, last + 3 * year, first - 3 * year}) {
        EXPECT_EQ("none", ours("UTC0", 0, t)) << t;
        EXPECT_EQ("none", glibc.at(t)) << t;
    }
    for (const int64_t t : {last - 3 * year, first + 3 * year}) {
        EXPECT_NE("none", ours("UTC0", 0, t)) << t;
        EXPECT_EQ(glibc.at(t), ours("UTC0", 0, t)) << t;
    }
}

// A zone of three types: local mean time, standard time, summer time.
Tzif three_types() {
    Tzif z;
    z.types = {{1000, 0, 0}, {3600, 0, 4}, {7200, 1, 8}};
    z.chars = std::string("LMT\0STD\0DST\0", 12);
    return z;
}

struct Expect {
    int64_t loaded;
    int64_t t;
    int64_t offset;
};

struct Fixture {
    const char *name;
    Tzif zone;
    std::vector<Expect> expect;
};

// The whole file read as zic writes it: each instant gets the offset the
// table or the rule string gives, and glibc agrees.
TEST(ZoneFile, Tables) {
    const int64_t a = 1000000000, b = 1100000000, c = 1200000000;
    std::vector<Fixture> rows;
    {
        Tzif z = three_types();
        z.version = '\0';
        z.changes = {{-1000000000, 1}, {a, 2}, {b, 1}};
        rows.push_back({"version 1 only",
                        z,
                        {{-2000000000, -2000000000, 1000},
                         {a - 1, a - 1, 3600},
                         {a - 10, a, 7200},
                         {a, b - 1, 7200},
                         {b - 1, b, 3600},
                         {b, 2000000000, 3600}}});
    }
    {
        // Before the first change the first type of standard time counts,
        // not the first type.
        Tzif z;
        z.types = {{7200, 1, 0}, {3600, 0, 4}};
        z.chars = std::string("DST\0STD\0", 8);
        z.changes = {{a, 0}, {b, 1}};
        z.footer = "STD-1";
        rows.push_back({"summer time listed first", z, {{0, 0, 3600}, {a, a, 7200}, {c, c, 3600}}});
    }
    {
        // A table that ends in 2000; the rule string takes over.
        Tzif z = three_types();
        z.changes = {{utc(1999, 3, 28, 1), 2}, {utc(1999, 10, 31, 1), 1}};
        z.footer = "STD-1DST,M3.5.0,M10.5.0/3";
        const int64_t spring = utc(2024, 3, 31, 1), autumn = utc(2024, 10, 27, 1);
        rows.push_back({"rule string after the table",
                        z,
                        {{spring - 1, spring - 1, 3600},
                         {spring - 60, spring, 7200},
                         {autumn - 60, autumn - 1, 7200},
                         {autumn - 60, autumn, 3600},
                         {utc(1999, 10, 30), utc(1999, 10, 31, 1) - 1, 7200},
                         {utc(1999, 10, 30), spring, 7200},
                         {utc(1999, 10, 30), autumn, 3600},
                         {utc(1990, 1, 1), utc(1990, 1, 1), 1000}}});
    }
    {
        // The 32-bit block says otherwise: the 64-bit one counts.
        static Tzif old = three_types();
        old.changes = {{a, 1}};
        Tzif z = three_types();
        z.v1 = &old;
        z.changes = {{a, 2}, {int64_t{1} << 35, 1}};
        rows.push_back({"64-bit block over the 32-bit one",
                        z,
                        {{a, a, 7200}, {(int64_t{1} << 35) - 5, int64_t{1} << 35, 3600}}});
    }
    {
        // The changes kept from when the run started carry it across them.
        // In winter, as the rule string has it after the table.
        const int64_t w = utc(2001, 1, 10);
        Tzif z = three_types();
        for (int i = 0; i < 12; ++i)
            z.changes.emplace_back(w + i * 1000, i % 2 == 0 ? 2 : 1);
        std::vector<Expect> expect;
        for (int i = 0; i < 12; ++i) {
            const int64_t at = w + i * 1000;
            const int64_t before = i == 0 ? 1000 : (i % 2 == 0 ? 3600 : 7200);
            const int64_t after = i % 2 == 0 ? 7200 : 3600;
            expect.push_back({at - 10, at - 1, before});
            expect.push_back({at - 10, at, after});
            expect.push_back({at - 1500, at, after});
        }
        // Long after the changes kept, the rule string after the table.
        z.footer = "STD-1DST,M3.5.0,M10.5.0/3";
        expect.push_back({w - 10, utc(2024, 1, 1), 3600});
        expect.push_back({w - 10, utc(2024, 7, 1), 7200});
        rows.push_back({"changes during a run", z, expect});
    }
    {
        // No table: glibc takes the first type and leaves the rule string.
        Tzif z;
        z.types = {{-18000, 0, 0}};
        z.chars = std::string("XST\0", 4);
        z.footer = "XST5XDT,M3.2.0,M11.1.0";
        rows.push_back({"no table", z, {{utc(2024, 7, 1), utc(2024, 7, 1), -18000}}});
    }
    {
        // Leap seconds are skipped, not mistaken for anything else.
        Tzif z = three_types();
        z.changes = {{a, 2}, {b, 1}};
        for (int i = 0; i < 27; ++i)
            z.leaps.emplace_back(78796800 + i * 31536000LL, i + 1);
        z.indicators = true;
        z.footer = "STD-1";
        rows.push_back({"leap seconds", z, {{a, a, 7200}, {b, b, 3600}, {c, c, 3600}}});
    }
    Dir dir;
    for (const Fixture &row : rows) {
        const std::string tz = ":" + dir.write("zone", row.zone.bytes());
        const bool leaps = !row.zone.leaps.empty();
        const Glibc glibc(tz);
        for (const Expect &e : row.expect) {
            const std::string got = ours(tz, e.loaded, e.t);
            EXPECT_EQ(shifted(e.t, e.offset), got) << row.name << " at " << e.t;
            // glibc moves the clock by the leap seconds it read.
            if (!leaps) {
                EXPECT_EQ(glibc.at(e.t), got) << row.name << " at " << e.t;
            }
        }
    }
}

// A zone with a table and a rule string, as most zone files are.
Tzif ordinary() {
    Tzif z = three_types();
    z.changes = {{-1000000000, 1}, {utc(2020, 3, 29, 1), 2}, {utc(2020, 10, 25, 1), 1}};
    z.footer = "STD-1DST,M3.5.0,M10.5.0/3";
    return z;
}

// Instants before, within and after the table, in both seasons.
const int64_t probes[] = {-2000000000, 0, 1600000000, 1700000000, 1720000000, 2500000000};

// What glibc makes of the bytes, tolm must make too.
void same_as_glibc(const Dir &dir, const std::string &name, const std::string &bytes,
                   size_t scratch = 8192) {
    const std::string tz = ":" + dir.write("zone", bytes);
    const Glibc glibc(tz);
    for (const int64_t t : probes)
        EXPECT_EQ(glibc.at(t), ours(tz, t, t, scratch)) << name << " at " << t;
}

bool is_utc(const std::string &bytes, size_t scratch = 8192) {
    const Dir dir;
    const std::string tz = ":" + dir.write("zone", bytes);
    for (const int64_t t : probes) {
        if (ours(tz, t, t, scratch) != shifted(t, 0))
            return false;
    }
    return true;
}

TEST(ZoneFile, Broken) {
    struct Row {
        const char *name;
        std::string bytes;
        bool glibc = true; // false: glibc's assertions stop it
    };
    std::vector<Row> rows;
    const auto with = [](void (*change)(Tzif &)) {
        Tzif z = ordinary();
        change(z);
        return z.bytes();
    };
    rows.push_back({"type out of range", with([](Tzif &z) { z.changes[1].second = 3; })});
    rows.push_back({"summer time flag 2", with([](Tzif &z) { z.types[2].dst = 2; })});
    rows.push_back({"name beyond the names", with([](Tzif &z) { z.types[1].abbr = 13; })});
    rows.push_back({"no types", with([](Tzif &z) {
                        z.types.clear();
                        z.changes.clear();
                    }),
                    false});
    const std::string good = ordinary().bytes();
    // More standard/wall flags than types: the counts at 24 and 20.
    for (const size_t at : {size_t{20}, size_t{24}}) {
        std::string bytes = good;
        bytes[at + 3] = 4;
        rows.push_back({"more flags than types", bytes});
    }
    rows.push_back({"no rule string", good.substr(0, good.rfind('\n', good.size() - 2))});
    rows.push_back(
        {"a newline for a rule string", good.substr(0, good.rfind('\n', good.size() - 2) + 1)});
    rows.push_back({"empty", ""});
    rows.push_back({"magic only", "TZif"});
    rows.push_back({"header of zeros", "TZif2" + std::string(39, '\0')});
    rows.push_back({"not a zone file", "# tzdata.zi\nR d 1916 o - Ap 30 23 1 S\n"});
    Dir dir;
    for (const Row &row : rows) {
        EXPECT_TRUE(is_utc(row.bytes)) << row.name;
        if (row.glibc)
            same_as_glibc(dir, row.name, row.bytes);
    }
    // A directory in place of the file.
    EXPECT_EQ(shifted(1700000000, 0), ours(":" + dir.path(), 1700000000, 1700000000));
}

// The rule string as glibc takes it from the end of the file: none without
// the newline before it, all but the last byte without the newline after.
TEST(ZoneFile, RuleStringEdges) {
    const Tzif z = ordinary();
    std::string body = z.bytes();
    body.resize(body.size() - z.footer.size() - 2);
    const std::pair<const char *, std::string> rows[] = {
        {"empty", body + "\n\n"},
        {"no newline before", body + "x" + z.footer + "\n"},
        {"no newline after", body + "\n" + z.footer},
        {"no newline after, cut short", body + "\n" + z.footer.substr(0, 20)},
        {"text after", body + "\n" + z.footer + "\n# more\n"},
        {"not a rule", body + "\n#\n"},
    };
    Dir dir;
    for (const auto &[name, bytes] : rows)
        same_as_glibc(dir, name, bytes);
    // With no rule string, the last type of the table goes on.
    const int64_t summer = utc(2024, 7, 1);
    const std::string tz = ":" + dir.write("zone", body + "\n\n");
    EXPECT_EQ(shifted(summer, 3600), ours(tz, summer, summer));
}

// However the file is cut short, glibc's reading of what is left decides,
// up to the newline that opens the rule string and a byte of it. Cut
// further, the rule string is a piece of itself, which can send glibc to
// its posixrules file or past its month table; the table still counts.
TEST(ZoneFile, EveryTruncation) {
    const Tzif z = ordinary();
    const std::string whole = z.bytes();
    const size_t rule = whole.size() - z.footer.size() - 2;
    Dir dir;
    for (size_t size = 0; size <= rule + 2; ++size)
        same_as_glibc(dir, "first " + std::to_string(size) + " bytes", whole.substr(0, size));
    const int64_t in_table = utc(2020, 7, 1);
    for (size_t size = rule + 3; size < whole.size(); ++size) {
        const std::string tz = ":" + dir.write("zone", whole.substr(0, size));
        EXPECT_EQ(shifted(in_table, 7200), ours(tz, in_table, in_table)) << size << " bytes";
    }
}

// A file larger than the scratch memory: the part with 64-bit times is
// read again at its place, and where that part does not fit either, the
// zone is UTC.
TEST(ZoneFile, LargerThanScratch) {
    // A version 1 block of 3000 changes, as no zic writes but readers must
    // skip, before a short 64-bit part.
    static Tzif old = three_types();
    for (int i = 0; i < 3000; ++i)
        old.changes.emplace_back(-2000000000 + i * 1000, 1 + i % 2);
    Tzif z = ordinary();
    z.v1 = &old;
    const std::string bytes = z.bytes();
    const size_t second = bytes.size() - old.block(4).size();
    ASSERT_GT(bytes.size(), 8192U);
    const struct {
        size_t scratch;
        bool read;
    } rows[] = {
        {second - 1, false},      {second, true},       {second + 1, true},       {8192, true},
        {bytes.size() - 1, true}, {bytes.size(), true}, {bytes.size() + 1, true}, {64, false},
    };
    Dir dir;
    for (const auto &row : rows) {
        if (row.read)
            same_as_glibc(dir, "scratch " + std::to_string(row.scratch), bytes, row.scratch);
        else
            EXPECT_TRUE(is_utc(bytes, row.scratch)) << "scratch " << row.scratch;
    }
    // An ordinary file in as little memory as its second part takes.
    const std::string small = ordinary().bytes();
    const size_t part = small.size() - ordinary().block(4).size();
    same_as_glibc(dir, "ordinary, scratch of its second part", small, part);
    EXPECT_TRUE(is_utc(small, part - 1));
}

} // namespace

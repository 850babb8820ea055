// Guarded wrappers that end the run themselves on failure, and small helpers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <regex.h>

namespace tolm {

int esnprintf(char *buf, size_t size, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
void esetenv(const char *name, const char *value, int overwrite);
void echdir(const char *path);
uint64_t print_file(int fd, int64_t size);
void getsubexp(const char *src, regoff_t start, regoff_t end, char *dst);

// What every text tolm writes into a header, a listing or a log line sends
// as %XX with these digits: a control byte would end or forge a line.
constexpr char hex_digits[] = "0123456789ABCDEF";
constexpr bool is_control(unsigned char c) {
    return c < 0x20 || c == 0x7f;
}

} // namespace tolm

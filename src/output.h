// Every byte tolm sends to the client: buffered, and on a socket never
// blocked on for longer than the client allows.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <sys/types.h>

namespace tolm {

void out_write(const char *data, size_t size);
int out_vprintf(const char *fmt, va_list ap) __attribute__((format(printf, 1, 0)));
int out_printf(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
ssize_t out_fill(int fd, uint64_t most);
uint64_t out_sendfile(int fd, uint64_t size);
ssize_t out_splice(int fd);
bool out_flush();
char *out_spare(size_t *size);
bool out_failed();
// Marks the response as ending short of what it promised, and why; the
// first reason stays.
void out_cut(const char *why);
const char *out_cut_reason();
constexpr char shrank[] = "response cut short: the file shrank";
constexpr char unreadable[] = "response cut short: the file could not be read";
uint64_t out_delivered();

} // namespace tolm

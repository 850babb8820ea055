// Delivering what the path names: a file under its MIME type, or a listing.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tolm {

extern bool doautoidx;
extern char lang[16];
extern char default_mime[64];

void display_file(const char *path);
int64_t autoindex(const char *path);
void encode_link(const char *name, char *out, size_t size);
void encode_controls(const char *text, char *out, size_t size);

} // namespace tolm

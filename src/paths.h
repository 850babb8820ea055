// Turning the request path into a name below the content root, and deciding
// what that name is: a file, a directory's index, a redirect or nothing.
#pragma once

#include <cstddef>

namespace tolm {

int uridecode(char *text);
void remove_double_dot(char *text);
void confine_path(char *path);
void check_path(char *path, size_t size);

} // namespace tolm

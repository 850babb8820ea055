// Reading the one request line and splitting it into host, path and query.
#pragma once

#include <regex.h>

namespace tolm {

void read_request(char *request);
bool match_request(const char *line, regmatch_t groups[3]);
void split_request(const char *request, char *hostname, char *path, char *query);

} // namespace tolm

// Reading the one request line and splitting it into host, path and query.
#pragma once

namespace tolm {

void read_request(char *request);
void split_request(const char *request, char *hostname, char *path, char *query);

} // namespace tolm

// What the process does about its client connection when that is a socket:
// time limits on a silent client and an orderly close.
#pragma once

namespace tolm {

void guard_connection();
bool stderr_is_stdout();
bool stdout_is_socket();
void close_connection();

} // namespace tolm

// What the process does about its client connection: when it is a socket,
// time limits on a slow client and an orderly close; a client that hangs up
// never ends the run early.
#pragma once

namespace tolm {

long monotonic_ms();
void guard_connection();
void leave_connection();
bool stderr_is_stdout();
bool stdout_is_socket();
bool wait_request();
void close_connection();

} // namespace tolm

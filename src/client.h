// Who the client is when a front end says so (option -p): the PROXY protocol
// header read before the request line, and what a script learns from it.
#pragma once

namespace tolm {

// Reads the header up to its end and not a byte further, under the request
// line's deadline; a missing, malformed or cut header ends the run.
void read_proxy_header();
// In the script's environment: the header's values, and no inherited value
// of the same names. Without -p it changes nothing.
void set_client_env();

} // namespace tolm

// What a CGI script starts with, whatever tolm itself inherited.
#pragma once

namespace tolm {

// In the CGI child, just before the script is started: every signal at its
// default action, none blocked, and no descriptor above 2.
void give_script_known_start();

} // namespace tolm

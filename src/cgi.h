// Running a script from the CGI directory and relaying its output.
#pragma once

namespace tolm {

int do_cgi(const char *cgi_dir, const char *path, const char *hostname, const char *query);
[[noreturn]] void cgi(const char *script);
void refuse_script_source(const char *cgi_dir, const char *path);

} // namespace tolm

// The built-in table of file extensions and MIME types.
#pragma once

namespace tolm {

const char *get_file_mime(const char *path, const char *fallback);

} // namespace tolm

// Delivery of what the path resolved to: a regular file under its MIME
// type, or a directory listing in Gemini text.
#include "content.h"

#include "descriptor.h"
#include "mimes.h"
#include "output.h"
#include "response.h"
#include "utils.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tolm {

bool doautoidx;
char lang[16];
char default_mime[64] = "application/octet-stream";

namespace {

// The array that scandir allocates, entries included.
class Entries {
  public:
    Entries() = default;
    Entries(const Entries &) = delete;
    Entries &operator=(const Entries &) = delete;
    ~Entries() {
        for (int i = 0; i < count; ++i)
            free(list[i]);
        free(list);
    }
    struct dirent **list = nullptr;
    int count = 0;
};

// Below this size a file leaves together with its header in one write.
constexpr off_t zero_copy_min = 65536;

// Large files go to a socket or a pipe without passing through this
// process: into a pipe too, sendfile gave more throughput for less CPU
// (writer and reader) than a copy loop (bench/run.d/pipe).
uint64_t send_body(Descriptor &fd, const struct stat &st) {
    if (st.st_size >= zero_copy_min) {
        const uint64_t sent = out_sendfile(fd.get(), static_cast<uint64_t>(st.st_size));
        // Should descriptor 1 refuse sendfile, the copy loop takes over;
        // nothing has been sent yet.
        if (sent != UINT64_MAX)
            return sent;
    }
    return print_file(fd.get(), st.st_size);
}

bool needs_escape(unsigned char c) {
    return c <= 0x20 || c == 0x7f || c == '%' || c == '?' || c == '#';
}

// Bytes the test picks become %XX, upper-case; the text is cut rather than
// overflow the output.
void percent_encode(const char *text, char *out, size_t size, bool (*escape)(unsigned char)) {
    size_t o = 0;
    for (const char *p = text; *p != '\0' && o + 4 <= size; ++p) {
        const auto c = static_cast<unsigned char>(*p);
        if (escape(c)) {
            out[o++] = '%';
            out[o++] = hex_digits[c >> 4];
            out[o++] = hex_digits[c & 0xf];
        } else {
            out[o++] = static_cast<char>(c);
        }
    }
    out[o] = '\0';
}

} // namespace

// A raw blank ends the URL of a gemtext link, and a raw "?", "#" or "%"
// changes what it means; every other byte, UTF-8 included, stays as it is.
void encode_link(const char *name, char *out, size_t size) {
    percent_encode(name, out, size, needs_escape);
}

// A header line or a listing line ends at the first line feed: control
// bytes in a name or a link's text would split it and forge what follows.
void encode_controls(const char *text, char *out, size_t size) {
    percent_encode(text, out, size, is_control);
}

int64_t autoindex(const char *path) {
    Entries entries;
    entries.count = scandir(path, &entries.list, nullptr, alphasort);
    if (entries.count < 0) {
        entries.count = 0;
        add_reason("scandir", path, errno);
        status(50, "Can't scan %s", path);
        return 0;
    }
    status(20, "%s", "text/gemini");
    int64_t total = out_printf("=> .. ../\n");
    for (int i = 0; i < entries.count; ++i) {
        const struct dirent *entry = entries.list[i];
        if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0)
            continue;
        char link[3 * NAME_MAX + 1];
        char label[3 * NAME_MAX + 1];
        encode_link(entry->d_name, link, sizeof link);
        // A line feed in a name would start a line of its own.
        encode_controls(entry->d_name, label, sizeof label);
        if (entry->d_type == DT_DIR)
            total += out_printf("=> ./%s/ %s/\n", link, label);
        else
            total += out_printf("=> ./%s %s\n", link, label);
    }
    return total;
}

void display_file(const char *path) {
    if (path[strlen(path) - 1] == '/' && doautoidx) {
        _datasiz += autoindex(path);
        return;
    }
    // Never blocks in open, whatever the name turned into since it was
    // checked: a FIFO is refused, not waited on. No close-on-exec: nothing
    // is executed after this, and musl would pay a system call for it.
    Descriptor fd(open(path, O_RDONLY | O_NONBLOCK));
    struct stat st {};
    if (fd.get() < 0 || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        if (fd.get() < 0 && (errno == EACCES || errno == EPERM))
            add_reason("open", path, errno);
        status(51, "%s", "file not found and may have vanished");
        return;
    }
    const char *mime = get_file_mime(path, default_mime);
    // "text/gemini; " with nothing after it is no valid media type.
    if (lang[0] != '\0' && strcmp(mime, "text/gemini") == 0)
        status(20, "%s; %s", mime, lang);
    else
        status(20, "%s", mime);
    _datasiz += static_cast<int64_t>(send_body(fd, st));
}

} // namespace tolm

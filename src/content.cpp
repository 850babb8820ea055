#include "content.h"

#include "connection.h"

#include "mimes.h"
#include "response.h"
#include "utils.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <limits.h>
#include <sys/sendfile.h>
#include <sys/stat.h>

namespace tolm {

bool doautoidx;
char lang[16];
char default_mime[64] = "application/octet-stream";

namespace {

class File {
  public:
    explicit File(FILE *f) : f_(f) {}
    File(const File &) = delete;
    File &operator=(const File &) = delete;
    ~File() {
        if (f_ != nullptr)
            fclose(f_);
    }
    FILE *get() const { return f_; }

  private:
    FILE *f_;
};

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

constexpr char hex_digits[] = "0123456789ABCDEF";

// Below this size a file leaves together with its header in one write.
constexpr off_t zero_copy_min = 65536;

// Large regular files go to a socket without passing through this process;
// the header waiting in the stdio buffer must leave first. Into a pipe the
// copy loop is faster: the reader's copy overlaps with ours.
uint64_t send_body(FILE *file) {
    const int fd = fileno(file);
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < zero_copy_min ||
        !stdout_is_socket())
        return print_file(file);
    fflush(stdout);
    constexpr size_t chunk = size_t{1} << 30;
    uint64_t total = 0;
    for (;;) {
        const ssize_t n = sendfile(1, fd, nullptr, chunk);
        if (n > 0) {
            total += static_cast<uint64_t>(n);
            // A blocking sendfile to a socket stops short only at the end
            // of the file or when the send timeout ran out: another call
            // would wait the whole timeout again for a client that does not
            // read.
            if (static_cast<size_t>(n) < chunk)
                return total;
            continue;
        }
        // Should the socket refuse sendfile, the copy loop takes over;
        // nothing has been sent yet.
        if (n < 0 && total == 0 && (errno == EINVAL || errno == ENOSYS))
            return print_file(file);
        return total; // the end of the file, or a client that is gone
    }
}

bool needs_escape(unsigned char c) {
    return c <= 0x20 || c == 0x7f || c == '%' || c == '?' || c == '#';
}

} // namespace

// A raw blank ends the URL of a gemtext link, and a raw "?", "#" or "%"
// changes what it means; every other byte, UTF-8 included, stays as it is.
void encode_link(const char *name, char *out, size_t size) {
    size_t o = 0;
    for (const char *p = name; *p != '\0' && o + 4 <= size; ++p) {
        const auto c = static_cast<unsigned char>(*p);
        if (needs_escape(c)) {
            out[o++] = '%';
            out[o++] = hex_digits[c >> 4];
            out[o++] = hex_digits[c & 0xf];
        } else {
            out[o++] = static_cast<char>(c);
        }
    }
    out[o] = '\0';
}

int64_t autoindex(const char *path) {
    Entries entries;
    entries.count = scandir(path, &entries.list, nullptr, alphasort);
    if (entries.count < 0) {
        entries.count = 0;
        status(50, "Can't scan %s", path);
        return 0;
    }
    status(20, "%s", "text/gemini");
    int64_t total = printf("=> .. ../\n");
    for (int i = 0; i < entries.count; ++i) {
        const struct dirent *entry = entries.list[i];
        if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0)
            continue;
        char link[3 * NAME_MAX + 1];
        encode_link(entry->d_name, link, sizeof link);
        if (entry->d_type == DT_DIR)
            total += printf("=> ./%s/ %s/\n", link, entry->d_name);
        else
            total += printf("=> ./%s %s\n", link, entry->d_name);
    }
    return total;
}

void display_file(const char *path) {
    if (path[strlen(path) - 1] == '/' && doautoidx) {
        _datasiz += autoindex(path);
        return;
    }
    File file(fopen(path, "r"));
    if (file.get() == nullptr) {
        status(51, "%s", "file not found and may have vanished");
        return;
    }
    const char *mime = get_file_mime(path, default_mime);
    if (strcmp(mime, "text/gemini") == 0)
        status(20, "%s; %s", mime, lang);
    else
        status(20, "%s", mime);
    _datasiz += static_cast<int64_t>(send_body(file.get()));
}

} // namespace tolm

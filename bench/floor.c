/* The least a one-request-per-process Gemini responder must do: one read of
 * the request line, open the named file below the content root, write the
 * success header and the file, one syslog line, exit. No checks beyond what
 * keeps it from crashing: it is the floor tolm is measured against, not a
 * server.
 *
 * Usage: floor ROOT   (request on standard input, response on standard output)
 */
#include <fcntl.h>
#include <string.h>
#include <syslog.h>
#include <unistd.h>

static const char header[] = "20 text/gemini; \r\n";

int main(int argc, char *argv[]) {
    char request[1026];
    char block[8192];
    if (argc < 2 || chdir(argv[1]) != 0)
        return 1;
    ssize_t n = read(0, request, sizeof request - 1);
    if (n <= 0)
        return 1;
    request[n] = '\0';
    request[strcspn(request, "\r\n")] = '\0';
    /* "gemini://host/path": the path starts after the third slash. */
    const char *path = request;
    for (int slashes = 0; slashes < 3 && path != NULL; ++slashes) {
        path = strchr(path, '/');
        if (path != NULL)
            ++path;
    }
    if (path == NULL || *path == '\0')
        return 1;
    int fd = open(path, O_RDONLY);
    if (fd < 0)
        return 1;
    /* The header goes out with the first block: one write for a small file. */
    const size_t hlen = sizeof header - 1;
    memcpy(block, header, hlen);
    n = read(fd, block + hlen, sizeof block - hlen);
    long long total = write(1, block, hlen + (size_t)(n > 0 ? n : 0));
    while ((n = read(fd, block, sizeof block)) > 0)
        total += write(1, block, (size_t)n);
    close(fd);
    syslog(LOG_DAEMON | LOG_INFO, "\"%s\" %i %lld", request, 20, total);
    return 0;
}

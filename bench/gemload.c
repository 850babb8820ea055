/* Load client for a Gemini server over TLS, and a trivial TLS responder that
 * shows how fast the client itself can go.
 *
 * Client: gemload -p PORT [-H HOST] [-c CONNS] [-d SECONDS] [-u URL] [-o FILE]
 *   CONNS threads each open a new TCP connection and a full TLS handshake
 *   (no session reuse) per request, send URL + CRLF, read the response to
 *   its end and check that it starts with "20 ". Runs for SECONDS, then
 *   prints one RESULT line; with -o every latency (microseconds) of a good
 *   response is appended to FILE, one a line.
 * Responder: gemload -s PORT -C CERT -K KEY [-d SECONDS] [-c THREADS]
 *   Answers every request with a success header and 1 KiB of text, for
 *   SECONDS at most.
 */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <pthread.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

static const char *host = "127.0.0.1";
static int port;
static int conns = 1;
static double seconds = 5;
static const char *url = "gemini://localhost/small.gmi";
static const char *out_path;
static SSL_CTX *ctx;
static double deadline;

static double now_s(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

static double cpu_s(void) {
    struct rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return (double)(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           (double)(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

struct worker {
    pthread_t thread;
    double *lat_us;
    size_t n, cap;
    long connect_err, tls_err, bad_response;
    double bytes;
};

static int connect_to(void) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    struct sockaddr_in sa = {.sin_family = AF_INET, .sin_port = htons((uint16_t)port)};
    inet_pton(AF_INET, host, &sa.sin_addr);
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    /* A stack that stops answering must end the round as errors, not hang
     * the benchmark. */
    struct timeval limit = {.tv_sec = 10};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    if (connect(fd, (struct sockaddr *)&sa, sizeof sa) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

/* One request on a new connection; returns 0 for a good response. */
static int one_request(struct worker *w) {
    int fd = connect_to();
    if (fd < 0) {
        ++w->connect_err;
        return -1;
    }
    SSL *ssl = SSL_new(ctx);
    SSL_set_fd(ssl, fd);
    SSL_set_tlsext_host_name(ssl, "localhost");
    int rc = -1;
    if (SSL_connect(ssl) != 1) {
        ++w->tls_err;
        goto done;
    }
    char req[1100];
    int len = snprintf(req, sizeof req, "%s\r\n", url);
    if (SSL_write(ssl, req, len) != len) {
        ++w->tls_err;
        goto done;
    }
    char buf[16384], head[3];
    size_t got = 0;
    for (;;) {
        int n = SSL_read(ssl, buf, sizeof buf);
        if (n <= 0)
            break;
        for (int i = 0; i < n && got < 3; ++i)
            head[got++] = buf[i];
        w->bytes += n;
    }
    if (got == 3 && memcmp(head, "20 ", 3) == 0)
        rc = 0;
    else
        ++w->bad_response;
done:
    SSL_free(ssl);
    close(fd);
    return rc;
}

static void *client_thread(void *arg) {
    struct worker *w = arg;
    while (now_s() < deadline) {
        double t0 = now_s();
        if (one_request(w) != 0)
            continue;
        double t1 = now_s();
        if (w->n == w->cap) {
            w->cap = w->cap ? 2 * w->cap : 4096;
            w->lat_us = realloc(w->lat_us, w->cap * sizeof(double));
        }
        w->lat_us[w->n++] = (t1 - t0) * 1e6;
    }
    return NULL;
}

static int compare(const void *a, const void *b) {
    double x = *(const double *)a, y = *(const double *)b;
    return (x > y) - (x < y);
}

static int run_client(void) {
    ctx = SSL_CTX_new(TLS_client_method());
    SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, NULL);
    SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
    SSL_CTX_set_options(ctx, SSL_OP_IGNORE_UNEXPECTED_EOF | SSL_OP_NO_TICKET);
    SSL_CTX_set1_groups_list(ctx, "X25519");
    struct worker *ws = calloc((size_t)conns, sizeof *ws);
    double cpu0 = cpu_s(), t0 = now_s();
    deadline = t0 + seconds;
    for (int i = 0; i < conns; ++i)
        pthread_create(&ws[i].thread, NULL, client_thread, &ws[i]);
    for (int i = 0; i < conns; ++i)
        pthread_join(ws[i].thread, NULL);
    double wall = now_s() - t0, cpu = cpu_s() - cpu0;
    size_t total = 0;
    long cerr = 0, terr = 0, bad = 0;
    for (int i = 0; i < conns; ++i) {
        total += ws[i].n;
        cerr += ws[i].connect_err;
        terr += ws[i].tls_err;
        bad += ws[i].bad_response;
    }
    double *all = malloc((total ? total : 1) * sizeof(double));
    size_t k = 0;
    for (int i = 0; i < conns; ++i) {
        memcpy(all + k, ws[i].lat_us, ws[i].n * sizeof(double));
        k += ws[i].n;
    }
    qsort(all, total, sizeof(double), compare);
    if (out_path != NULL) {
        FILE *f = fopen(out_path, "a");
        if (f != NULL) {
            for (size_t i = 0; i < total; ++i)
                fprintf(f, "%.0f\n", all[i]);
            fclose(f);
        }
    }
    double p50 = total ? all[(size_t)(0.50 * (double)(total - 1))] : 0;
    double p99 = total ? all[(size_t)(0.99 * (double)(total - 1))] : 0;
    printf("RESULT conns=%d ok=%zu connect_err=%ld tls_err=%ld bad=%ld wall_s=%.2f rps=%.1f "
           "p50_ms=%.2f p99_ms=%.2f client_cpu_pct=%.0f client_cpu_us_per_req=%.0f\n",
           conns, total, cerr, terr, bad, wall, (double)total / wall, p50 / 1e3, p99 / 1e3,
           100 * cpu / wall, total ? cpu * 1e6 / (double)total : 0);
    return 0;
}

/* The trivial responder. */
static const char *cert_path, *key_path;
static int listen_fd;
static char reply[18 + 1024];

static void *server_thread(void *arg) {
    (void)arg;
    for (;;) {
        int fd = accept4(listen_fd, NULL, NULL, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            return NULL;
        }
        SSL *ssl = SSL_new(ctx);
        SSL_set_fd(ssl, fd);
        if (SSL_accept(ssl) == 1) {
            char line[1100];
            if (SSL_read(ssl, line, sizeof line) > 0) {
                SSL_write(ssl, reply, sizeof reply);
                SSL_shutdown(ssl);
            }
        }
        SSL_free(ssl);
        close(fd);
    }
}

static int run_server(void) {
    ctx = SSL_CTX_new(TLS_server_method());
    SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
    SSL_CTX_set_options(ctx, SSL_OP_NO_TICKET);
    if (SSL_CTX_use_certificate_chain_file(ctx, cert_path) != 1 ||
        SSL_CTX_use_PrivateKey_file(ctx, key_path, SSL_FILETYPE_PEM) != 1) {
        ERR_print_errors_fp(stderr);
        return 2;
    }
    memcpy(reply, "20 text/gemini\r\n", 16);
    memset(reply + 16, 'x', sizeof reply - 16);
    reply[sizeof reply - 1] = '\n';
    listen_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(listen_fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    struct sockaddr_in sa = {.sin_family = AF_INET, .sin_port = htons((uint16_t)port)};
    inet_pton(AF_INET, "127.0.0.1", &sa.sin_addr);
    if (bind(listen_fd, (struct sockaddr *)&sa, sizeof sa) != 0 || listen(listen_fd, 256) != 0) {
        perror("gemload: listen");
        return 2;
    }
    for (int i = 0; i < conns; ++i) {
        pthread_t t;
        pthread_create(&t, NULL, server_thread, NULL);
        pthread_detach(t);
    }
    /* Bounded: the process ends after its time whatever the clients do. */
    struct timespec ts = {.tv_sec = (time_t)seconds, .tv_nsec = 0};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR)
        ;
    return 0;
}

int main(int argc, char *argv[]) {
    int serve = 0;
    int opt;
    while ((opt = getopt(argc, argv, "p:H:c:d:u:o:s:C:K:")) != -1) {
        switch (opt) {
        case 'p':
            port = atoi(optarg);
            break;
        case 'H':
            host = optarg;
            break;
        case 'c':
            conns = atoi(optarg);
            break;
        case 'd':
            seconds = atof(optarg);
            break;
        case 'u':
            url = optarg;
            break;
        case 'o':
            out_path = optarg;
            break;
        case 's':
            serve = 1;
            port = atoi(optarg);
            break;
        case 'C':
            cert_path = optarg;
            break;
        case 'K':
            key_path = optarg;
            break;
        default:
            fprintf(stderr,
                    "usage: gemload -p PORT [-H HOST] [-c CONNS] [-d SECONDS] [-u URL] [-o FILE]\n"
                    "       gemload -s PORT -C CERT -K KEY [-d SECONDS] [-c THREADS]\n");
            return 2;
        }
    }
    if (port <= 0 || conns <= 0 || seconds <= 0)
        return 2;
    if (serve)
        return cert_path && key_path ? run_server() : 2;
    return run_client();
}

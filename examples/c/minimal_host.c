/* A minimal C host: starts the proxy, prints its status report, stops it.
 *
 *   minimal_host_c [CONFIG.json]
 *
 * Without an argument it uses a small built-in document whose listen_port 0
 * lets the system pick a free port. Exits 1 with the library's message when
 * the start fails. */
#include <stdio.h>
#include <stdlib.h>

#include <velkor_proxy.h>

static const char *builtin_config =
    "{\"listen_port\": 0,"
    " \"routes\": [{\"path_prefix\": \"/\", \"target_ip\": \"127.0.0.1\", \"target_port\": 9000}]}";

/* The whole file as a NUL-terminated text, or NULL. The caller frees it. */
static char *read_file(const char *path) {
    FILE *f = fopen(path, "rb");
    if (!f) return NULL;
    size_t cap = 4096, len = 0;
    char *text = malloc(cap);
    size_t n;
    while (text && (n = fread(text + len, 1, cap - len - 1, f)) > 0) {
        len += n;
        if (len + 1 == cap) {
            char *bigger = realloc(text, cap *= 2);
            if (!bigger) free(text);
            text = bigger;
        }
    }
    fclose(f);
    if (text) text[len] = '\0';
    return text;
}

int main(int argc, char **argv) {
    char *loaded = NULL;
    const char *config = builtin_config;
    if (argc > 1) {
        loaded = read_file(argv[1]);
        if (!loaded) {
            fprintf(stderr, "cannot read %s\n", argv[1]);
            return 1;
        }
        config = loaded;
    }

    printf("velkor-proxy library %s\n", proxy_version());
    if (proxy_start(config) != 0) {
        fprintf(stderr, "start failed: %s\n", proxy_last_error());
        free(loaded);
        return 1;
    }
    printf("running: %d\n", proxy_status());
    printf("status: %s\n", proxy_runtime_status());
    proxy_stop();
    printf("running after stop: %d\n", proxy_status());
    free(loaded);
    return 0;
}

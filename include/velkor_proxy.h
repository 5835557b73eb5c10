/* velkor-proxy: an embeddable HTTP reverse proxy with optional TLS termination.
 *
 * One service instance per process. Every returned pointer refers to text the
 * library owns; the host never frees it. proxy_start and proxy_stop must not
 * overlap each other; proxy_runtime_status must not run on two threads at once.
 */
#ifndef VELKOR_PROXY_H
#define VELKOR_PROXY_H

/* On Windows the DLL's export list (a .def file) names the six functions, so
 * building the library needs nothing here; a host imports them. */
#if defined(_WIN32)
#if defined(VELKOR_PROXY_BUILDING)
#define VELKOR_API
#else
#define VELKOR_API __declspec(dllimport)
#endif
#elif defined(__GNUC__)
#define VELKOR_API __attribute__((visibility("default")))
#else
#define VELKOR_API
#endif

/* No C++ exception ever leaves these functions; C++ callers see them as
 * noexcept. */
#ifdef __cplusplus
#define VELKOR_NOEXCEPT noexcept
#else
#define VELKOR_NOEXCEPT
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The library's version text, "1.0.0". */
VELKOR_API const char *proxy_version(void) VELKOR_NOEXCEPT;

/* The reason of the last failed proxy_start; empty after a successful one. */
VELKOR_API const char *proxy_last_error(void) VELKOR_NOEXCEPT;

/* Starts the service from a JSON configuration document.
 * Returns 0 when running, -1 on failure with the reason in proxy_last_error(). */
VELKOR_API int proxy_start(const char *config_json) VELKOR_NOEXCEPT;

/* Stops the service, waiting a bounded time for its threads. Always 0. */
VELKOR_API int proxy_stop(void) VELKOR_NOEXCEPT;

/* 1 while the service runs, else 0. */
VELKOR_API int proxy_status(void) VELKOR_NOEXCEPT;

/* A one-line JSON report of ports, counters, routes and the last error.
 * The buffer is rewritten by the next call. */
VELKOR_API const char *proxy_runtime_status(void) VELKOR_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif

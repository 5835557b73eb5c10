// What the Linux host program offers beyond the shared options and how its
// help text describes its platform's parts.
#pragma once

namespace host {

// --demo makes its own certificate with openssl; no --cert/--key options.
inline constexpr bool kDemoTakesCertFiles = false;

// The Windows service options are parsed here too, and refused.
inline constexpr bool kHasWindowsServices = false;
inline constexpr const char* kUsageServiceSynopsis = "";
inline constexpr const char* kUsageServiceOptions = "";

inline constexpr const char* kUsageDemoSynopsis =
    "  velkor-proxy --demo [--port PORT] [--redirect-port PORT] [--status-interval SECONDS] [--json]\n";

inline constexpr const char* kUsageStopRequests = "Ctrl-C or SIGTERM";

inline constexpr const char* kUsageReload = R"(
Without a terminal on stdin (as under systemd), SIGHUP re-reads CONFIG.json
and restarts the proxy with it: a stop, with its drain of up to about 5 s,
then a start; a refused document leaves the previous one running. At a
terminal, SIGHUP stops like SIGTERM.)";

inline constexpr const char* kUsageDemoMode =
    R"(  --demo                 start two small demo backends inside this program,
                         create a self-signed certificate for localhost on
                         first use (with the openssl command, kept in
                         $XDG_CACHE_HOME/velkor-proxy or ~/.cache/velkor-proxy),
                         and serve HTTPS routes /api and / to them
)";

inline constexpr const char* kUsagePortOption =
    "  --port PORT            --demo: the HTTPS port (default 8443)\n";

inline constexpr const char* kUsageDemoOptions = "";

}  // namespace host

// What the Windows host program offers beyond the shared options and how its
// help text describes its platform's parts.
#pragma once

namespace host {

// Windows has no openssl command to rely on: --demo uses the certificate and
// key it is given, and plain HTTP without them.
inline constexpr bool kDemoTakesCertFiles = true;

// --install-service and its companions: a Windows service run by the Service
// Control Manager.
inline constexpr bool kHasWindowsServices = true;

inline constexpr const char* kUsageServiceSynopsis =
    "  velkor-proxy --install-service NAME CONFIG.json [--service-account ACCOUNT] [--log FILE]\n"
    "  velkor-proxy --uninstall-service NAME\n";

inline constexpr const char* kUsageServiceOptions =
    R"(  --install-service NAME register a Windows service NAME that starts
                         automatically and serves CONFIG.json (needs an
                         administrator); start it with: net start NAME
  --service-account ACCOUNT
                         the account the service runs as (default
                         NT AUTHORITY\LocalService); accounts without a
                         password only, such as NT AUTHORITY\NetworkService
  --log FILE             the service's log (default velkor-proxy.log beside
                         CONFIG.json): start, stop, failures and one status
                         line a minute
  --uninstall-service NAME
                         stop the service NAME if it runs, and remove it
  --run-as-service       how the Service Control Manager starts the program;
                         not for a console
)";

inline constexpr const char* kUsageDemoSynopsis =
    "  velkor-proxy --demo [--port PORT] [--redirect-port PORT] [--cert PATH --key PATH]\n"
    "               [--status-interval SECONDS] [--json]\n";

inline constexpr const char* kUsageStopRequests = "Ctrl-C or Ctrl-Break";

// No hang-up signal, so nothing reloads.
inline constexpr const char* kUsageReload = "";

inline constexpr const char* kUsageDemoMode =
    R"(  --demo                 start two small demo backends inside this program
                         and serve routes /api and / to them: over HTTPS
                         with --cert and --key (PEM files), else over plain
                         HTTP on --port, with no redirect port
)";

inline constexpr const char* kUsagePortOption =
    "  --port PORT            --demo: the HTTPS port, or the HTTP port without\n"
    "                         --cert (default 8443)\n";

inline constexpr const char* kUsageDemoOptions =
    R"(  --cert PATH            --demo: the PEM certificate for HTTPS
  --key PATH             --demo: the PEM private key of --cert (unencrypted)
)";

}  // namespace host

// The program as a Windows service: registering it with the Service Control
// Manager, removing it, and running under it.
#include <windows.h>

#include <cstdio>
#include <mutex>
#include <string>

#include "options.h"
#include "platform.h"
#include "program.h"
#include "service_loop.h"
#include "velkor_proxy.h"
#include "wide.h"

namespace host {
namespace {

// The service-specific exit codes of a start that failed (see --help).
constexpr DWORD kExitConfigUnreadable = 1;
constexpr DWORD kExitStartRefused = 2;
// proxy_stop waits about 5 s for open connections, then joins its threads.
constexpr DWORD kStopWaitHintMs = 15000;
constexpr DWORD kStartWaitHintMs = 10000;
constexpr DWORD kStatusLogIntervalMs = 60000;
// How long --uninstall-service waits for a running service to stop.
constexpr int kUninstallStopWaitMs = 30000;

struct ScHandle {
    SC_HANDLE h;
    ~ScHandle() {
        if (h != nullptr) CloseServiceHandle(h);
    }
};

std::string system_message(DWORD code) {
    wchar_t* text = nullptr;
    DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                 FORMAT_MESSAGE_IGNORE_INSERTS,
                             nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::wstring msg = n > 0 ? std::wstring(text, n) : L"error " + std::to_wstring(code);
    LocalFree(text);
    while (!msg.empty() && (msg.back() == L'\n' || msg.back() == L'\r' || msg.back() == L'.'))
        msg.pop_back();
    return to_utf8(msg);
}

int refused(const std::string& what, DWORD code) {
    complain(what + ": " + system_message(code));
    return 1;
}

std::wstring full_path(const std::string& path) {
    std::wstring wide = to_wide(path);
    DWORD n = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
    if (n == 0) return wide;
    std::wstring out(n, L'\0');
    out.resize(GetFullPathNameW(wide.c_str(), n, out.data(), nullptr));
    return out;
}

std::wstring own_path() {
    std::wstring path(32768, L'\0');
    path.resize(GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size())));
    return path;
}

// With its trailing separator.
std::wstring folder_of(const std::wstring& path) {
    size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? L".\\" : path.substr(0, slash + 1);
}

// A Windows path cannot hold a quote, so quoting needs no escapes.
std::wstring quoted(const std::wstring& text) { return L"\"" + text + L"\""; }

// Optional extras: a service without them still works.
void describe(SC_HANDLE svc, const std::wstring& config) {
    std::wstring text = L"velkor-proxy reverse proxy serving " + config;
    SERVICE_DESCRIPTIONW description{text.data()};
    ChangeServiceConfig2W(svc, SERVICE_CONFIG_DESCRIPTION, &description);
    // The stop's drain, also at shutdown (the default may be shorter).
    SERVICE_PRESHUTDOWN_INFO preshutdown{kStopWaitHintMs};
    ChangeServiceConfig2W(svc, SERVICE_CONFIG_PRESHUTDOWN_INFO, &preshutdown);
}

// Asks the service to stop unless it has, and waits a bounded time for it.
bool stop_and_wait(SC_HANDLE svc, const std::string& name) {
    SERVICE_STATUS st{};
    if (!QueryServiceStatus(svc, &st)) {
        refused("cannot query " + name, GetLastError());
        return false;
    }
    if (st.dwCurrentState == SERVICE_STOPPED) return true;
    say("stopping service " + name);
    if (st.dwCurrentState != SERVICE_STOP_PENDING &&
        !ControlService(svc, SERVICE_CONTROL_STOP, &st) &&
        GetLastError() != ERROR_SERVICE_NOT_ACTIVE) {
        refused("cannot stop " + name, GetLastError());
        return false;
    }
    for (int waited = 0; waited < kUninstallStopWaitMs; waited += 100) {
        if (QueryServiceStatus(svc, &st) && st.dwCurrentState == SERVICE_STOPPED) return true;
        Sleep(100);
    }
    complain("service " + name + " did not stop within 30 s; it stays installed");
    return false;
}

// --- Running under the Service Control Manager ---------------------------

// The one service of this process: the manager's calls into it carry no
// context of ours, so its state lives here.
struct Service {
    const HostOptions* opts = nullptr;
    std::wstring name;
    SERVICE_STATUS_HANDLE handle = nullptr;
    HANDLE stop_event = nullptr;
    std::mutex lock;  // the control handler's thread reports too
    SERVICE_STATUS status{};
    std::FILE* log = nullptr;
    DWORD exit_code = 0;
};
Service service;

void report(DWORD state, DWORD wait_hint, DWORD exit_code = 0) {
    std::lock_guard<std::mutex> hold(service.lock);
    SERVICE_STATUS& st = service.status;
    st.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    st.dwCurrentState = state;
    // Without PRESHUTDOWN, Windows ignores the wait hints at shutdown.
    st.dwControlsAccepted =
        state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PRESHUTDOWN : 0;
    bool pending = state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING;
    st.dwCheckPoint = pending ? st.dwCheckPoint + 1 : 0;
    st.dwWaitHint = wait_hint;
    st.dwWin32ExitCode = exit_code != 0 ? ERROR_SERVICE_SPECIFIC_ERROR : NO_ERROR;
    st.dwServiceSpecificExitCode = exit_code;
    SetServiceStatus(service.handle, &st);
}

void log_line(const std::string& line) {
    if (service.log == nullptr) return;
    std::tm local = local_time(std::time(nullptr));
    char date[16];
    std::strftime(date, sizeof date, "%Y-%m-%d", &local);
    std::fprintf(service.log, "%s %s\n", date, line.c_str());
    std::fflush(service.log);
}

void log_message(const std::string& text) { log_line(time_of_day() + " " + text); }

// The Application event log. No message file is registered, so the viewer
// shows the text as the event's inserted string.
void report_event(WORD type, DWORD id, const std::string& text) {
    HANDLE source = RegisterEventSourceW(nullptr, service.name.c_str());
    if (source == nullptr) return;
    std::wstring wide = to_wide(text);
    const wchar_t* strings[] = {wide.c_str()};
    ReportEventW(source, type, 0, id, nullptr, 1, 0, strings, nullptr);
    DeregisterEventSource(source);
}

DWORD failed_start(DWORD code, const std::string& message) {
    log_message(message);
    report_event(EVENTLOG_ERROR_TYPE, code, to_utf8(service.name) + ": " + message);
    return code;
}

// Opens the log, enters the configuration's folder, reads the configuration
// and starts the proxy: 0, or the service-specific code of the failure.
DWORD begin_serving() {
    const HostOptions& opts = *service.opts;
    std::wstring config = full_path(opts.config_path);
    std::wstring folder = folder_of(config);
    std::wstring log = opts.log_path.empty() ? folder + L"velkor-proxy.log"
                                             : full_path(opts.log_path);
    service.log = open_file(to_utf8(log), "a");
    if (service.log == nullptr)
        report_event(EVENTLOG_WARNING_TYPE, 3, "cannot write the log " + to_utf8(log));
    // So relative certificate paths resolve as at a console started there.
    if (!SetCurrentDirectoryW(folder.c_str()))
        return failed_start(kExitConfigUnreadable, "cannot enter " + to_utf8(folder) + ": " +
                                                       system_message(GetLastError()));
    std::string doc, error;
    if (!read_file(to_utf8(config), doc, error))
        return failed_start(kExitConfigUnreadable, error);
    if (!host::start_proxy(doc))
        return failed_start(kExitStartRefused, "cannot start: " + std::string(proxy_last_error()));
    log_message("velkor-proxy " + std::string(proxy_version()) + " serving " + to_utf8(config) +
                " as service " + to_utf8(service.name));
    return 0;
}

void serve_until_stopped() {
    while (WaitForSingleObject(service.stop_event, kStatusLogIntervalMs) == WAIT_TIMEOUT)
        log_line(status_log_line());
    log_message("stopping");
    report(SERVICE_STOP_PENDING, kStopWaitHintMs);
    proxy_stop();
    log_line(status_log_line());
    log_message("stopped");
}

DWORD WINAPI on_control(DWORD control, DWORD, void*, void*) {
    switch (control) {
        case SERVICE_CONTROL_STOP:
        case SERVICE_CONTROL_PRESHUTDOWN:
            report(SERVICE_STOP_PENDING, kStopWaitHintMs);
            SetEvent(service.stop_event);
            return NO_ERROR;
        case SERVICE_CONTROL_INTERROGATE:
            return NO_ERROR;
        default:
            return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

void WINAPI service_main(DWORD, wchar_t** argv) {
    service.name = argv[0];
    service.handle = RegisterServiceCtrlHandlerExW(argv[0], on_control, nullptr);
    if (service.handle == nullptr) return;
    report(SERVICE_START_PENDING, kStartWaitHintMs);
    service.exit_code = begin_serving();
    if (service.exit_code == 0) {
        report(SERVICE_RUNNING, 0);
        serve_until_stopped();
    }
    // The manager may end the process once it reads "stopped".
    if (service.log != nullptr) std::fclose(service.log);
    service.log = nullptr;
    report(SERVICE_STOPPED, 0, service.exit_code);
}

}  // namespace

int install_service(const HostOptions& opts) {
    // A configuration that cannot be read is better found now than at boot.
    std::string doc, error;
    if (!read_file(opts.config_path, doc, error)) {
        complain(error);
        return 1;
    }
    std::wstring config = full_path(opts.config_path);
    std::wstring command = quoted(own_path()) + L" --run-as-service " + quoted(config);
    if (!opts.log_path.empty()) command += L" --log " + quoted(full_path(opts.log_path));

    ScHandle scm{OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE)};
    if (scm.h == nullptr) return refused("cannot open the Service Control Manager", GetLastError());
    std::wstring name = to_wide(opts.service_name);
    std::wstring account = to_wide(opts.service_account);
    ScHandle svc{CreateServiceW(scm.h, name.c_str(), name.c_str(), SERVICE_CHANGE_CONFIG,
                                SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
                                SERVICE_ERROR_NORMAL, command.c_str(), nullptr, nullptr, nullptr,
                                account.c_str(), nullptr)};
    if (svc.h == nullptr) return refused("cannot install " + opts.service_name, GetLastError());
    describe(svc.h, config);
    say("installed service " + opts.service_name + " (starts automatically as " +
        opts.service_account + "): " + to_utf8(command));
    say("start it now with: net start " + opts.service_name);
    return 0;
}

int uninstall_service(const std::string& name) {
    ScHandle scm{OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT)};
    if (scm.h == nullptr) return refused("cannot open the Service Control Manager", GetLastError());
    ScHandle svc{OpenServiceW(scm.h, to_wide(name).c_str(),
                              SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE)};
    if (svc.h == nullptr) return refused("cannot open service " + name, GetLastError());
    if (!stop_and_wait(svc.h, name)) return 1;
    if (!DeleteService(svc.h)) return refused("cannot remove " + name, GetLastError());
    say("removed service " + name);
    return 0;
}

int run_as_service(const HostOptions& opts) {
    service.opts = &opts;
    service.stop_event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    // An own-process service's name in the table is ignored but required.
    wchar_t any_name[] = L"";
    SERVICE_TABLE_ENTRYW table[] = {{any_name, service_main}, {nullptr, nullptr}};
    if (StartServiceCtrlDispatcherW(table)) return static_cast<int>(service.exit_code);
    DWORD code = GetLastError();
    if (code == ERROR_FAILED_SERVICE_CONTROLLER_CONNECT) {
        complain("--run-as-service is for the Service Control Manager; at a console, "
                 "leave it out");
        return 2;
    }
    return refused("cannot reach the Service Control Manager", code);
}

}  // namespace host

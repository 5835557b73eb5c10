// Stop requests, terminal detection, files and local time on Windows.
#include <windows.h>

#include <atomic>

#include "platform.h"
#include "wide.h"

namespace host {
namespace {

// Set by the console control handler, waited for by wait_for_request.
HANDLE stop_event = nullptr;
std::atomic<bool> urgent{false};

BOOL WINAPI on_console_control(DWORD type) {
    switch (type) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
            SetEvent(stop_event);
            return TRUE;
        case CTRL_LOGOFF_EVENT:
            // Any user's logoff reaches console programs that run under a
            // service wrapper or on a terminal server; ours goes on. TRUE
            // keeps the default handler from ending the process.
            return TRUE;
        case CTRL_CLOSE_EVENT:
        case CTRL_SHUTDOWN_EVENT:
            urgent = true;
            SetEvent(stop_event);
            // The system ends the process once the handler returns, or
            // after about 5 s: give the main thread its clean stop meanwhile.
            Sleep(5000);
            return TRUE;
        default:
            return FALSE;
    }
}

// The view's redraw uses escape sequences: a console counts as a terminal
// only when it takes them.
bool virtual_terminal(DWORD which) {
    HANDLE h = GetStdHandle(which);
    DWORD mode = 0;
    if (h == INVALID_HANDLE_VALUE || h == nullptr || !GetConsoleMode(h, &mode)) return false;
    if (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) return true;
    return SetConsoleMode(h, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

}  // namespace

void install_stop_request_handling() {
    // Manual reset: once asked to stop, every later wait returns at once.
    stop_event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(on_console_control, TRUE);
}

// No hang-up signal here, so never a reload.
Request wait_for_request(int ms) {
    if (stop_event == nullptr) {
        Sleep(static_cast<DWORD>(ms));
        return Request::none;
    }
    bool stop = WaitForSingleObject(stop_event, static_cast<DWORD>(ms)) == WAIT_OBJECT_0;
    return stop ? Request::stop : Request::none;
}

bool stop_request_is_urgent() { return urgent; }

long long raise_descriptor_limit() { return -1; }

std::FILE* open_file(const std::string& path, const char* mode) {
    return _wfopen(to_wide(path).c_str(), to_wide(mode).c_str());
}

bool stdout_is_terminal() { return virtual_terminal(STD_OUTPUT_HANDLE); }

bool stderr_is_terminal() { return virtual_terminal(STD_ERROR_HANDLE); }

size_t terminal_width() {
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info)) return 0;
    int cols = info.srWindow.Right - info.srWindow.Left + 1;
    return cols < 2 ? 0 : static_cast<size_t>(cols - 1);
}

std::tm local_time(std::time_t t) {
    std::tm local{};
    localtime_s(&local, &t);
    return local;
}

}  // namespace host

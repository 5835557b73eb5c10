// The program's entry point on Windows: wmain (-municode) takes the
// arguments as wide text, so a name in any script survives whatever the
// code page, and hands them on as UTF-8.
#include <windows.h>

#include <string>
#include <vector>

#include "program.h"
#include "wide.h"

extern "C" int wmain(int argc, wchar_t** argv) {
    // The program's texts, paths included, are UTF-8.
    SetConsoleOutputCP(CP_UTF8);
    std::vector<std::string> text;
    for (int i = 1; i < argc; ++i) text.push_back(host::to_utf8(argv[i]));
    std::vector<const char*> args;
    for (const std::string& t : text) args.push_back(t.c_str());
    return host::program_main(args);
}

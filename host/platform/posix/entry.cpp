// The program's entry point on Linux: the arguments are bytes already, taken
// as UTF-8.
#include "program.h"

int main(int argc, char** argv) {
    return host::program_main({argv + 1, argv + argc});
}

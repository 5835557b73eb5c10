#include "net/header_get.h"

#include <cstring>

#include "state.h"

namespace {

bool is_host_name(const char* line) {
    static const char kName[] = "host";
    for (int i = 0; i < 4; ++i) {
        char c = line[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != kName[i]) return false;
    }
    return line[4] == ':';
}

}  // namespace

void header_get(const char* head, char out[kHostCapacity]) {
    out[0] = '\0';
    const char* line = strstr(head, "\r\n");
    if (!line) return;
    for (line += 2; *line != '\r'; ) {
        if (is_host_name(line)) {
            const char* value = line + 5;
            while (*value == ' ' || *value == '\t') ++value;
            const char* end = strstr(value, "\r\n");
            if (end) copy_text(out, kHostCapacity, value, static_cast<size_t>(end - value));
            return;
        }
        const char* next = strstr(line, "\r\n");
        if (!next) return;
        line = next + 2;
    }
}

#include "support/cert_folder.h"

#include <cstdlib>

namespace testcerts {

std::string new_temp_folder() {
    char tmpl[] = "/tmp/vk-certs-XXXXXX";
    return mkdtemp(tmpl) ? tmpl : "";
}

// Runs the script here, on first use.
bool fill_cert_folder(const std::string& dir) {
    std::string cmd = "sh '" VELKOR_TEST_MAKE_CERTS "' '" + dir + "' >>'" + dir +
                      "/openssl.log' 2>&1";
    return std::system(cmd.c_str()) == 0;
}

}  // namespace testcerts

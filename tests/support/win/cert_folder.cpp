#include "support/cert_folder.h"

#include <filesystem>
#include <fstream>
#include <string>

#include <windows.h>

namespace testcerts {

std::string new_temp_folder() {
    std::error_code error;
    std::filesystem::path base = std::filesystem::temp_directory_path(error);
    if (error) return "";
    for (int i = 0; i < 100; ++i) {
        std::filesystem::path dir =
            base / ("vk-certs-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(i));
        if (std::filesystem::create_directory(dir, error)) return dir.generic_string();
    }
    return "";
}

// Wine has no openssl: the build ran make_certs.sh into VELKOR_TEST_CERTS
// (tests/CMakeLists.txt), and each run copies that set.
bool fill_cert_folder(const std::string& dir) {
    std::error_code error;
    std::filesystem::copy(VELKOR_TEST_CERTS, dir, std::filesystem::copy_options::recursive,
                          error);
    if (error) {
        std::ofstream(dir + "/openssl.log") << "copying " VELKOR_TEST_CERTS ": " << error.message();
        return false;
    }
    return true;
}

}  // namespace testcerts

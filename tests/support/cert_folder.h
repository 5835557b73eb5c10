// The system-dependent half of support/certs.cpp: support/posix/ and
// support/win/.
#pragma once

#include <string>

namespace testcerts {

// A new empty folder for this run, with '/' separators (the paths go into
// JSON documents as they are); "" on failure.
std::string new_temp_folder();

// Puts the files of make_certs.sh into dir; its output goes to
// dir/openssl.log. False on failure.
bool fill_cert_folder(const std::string& dir);

}  // namespace testcerts

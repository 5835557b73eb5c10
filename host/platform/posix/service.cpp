// Windows services do not exist here; the options parser refuses their
// options before these are reached.
#include "platform.h"
#include "service_loop.h"

namespace host {
namespace {

int no_services() {
    complain("services are a Windows feature");
    return 2;
}

}  // namespace

int install_service(const HostOptions&) { return no_services(); }

int uninstall_service(const std::string&) { return no_services(); }

int run_as_service(const HostOptions&) { return no_services(); }

}  // namespace host

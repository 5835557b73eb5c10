#include "demo_cert.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace host {
namespace {

constexpr const char* kCertName = "localhost-cert.pem";
constexpr const char* kKeyName = "localhost-key.pem";
constexpr size_t kMaxToolOutput = 4096;

struct CertFiles {
    std::string dir;
    std::string cert_path;
    std::string key_path;
};

bool file_exists(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// mkdir -p with mode 0700 for the directories it creates.
bool make_dirs(const std::string& path, std::string& error) {
    for (size_t at = 1; at <= path.size(); ++at) {
        if (at != path.size() && path[at] != '/') continue;
        std::string part = path.substr(0, at);
        if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
            error = "cannot create " + part + ": " + std::strerror(errno);
            return false;
        }
    }
    return true;
}

// The last non-empty line of a tool's output, for an error message.
std::string last_line(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    size_t nl = text.find_last_of('\n');
    return nl == std::string::npos ? text : text.substr(nl + 1);
}

// Runs openssl with args (found on PATH), its stdin empty and its stdout and
// stderr collected into output. Returns its exit status, 127 when it cannot
// be run at all. The child gets an empty signal mask whatever ours is.
int run_openssl(const std::vector<std::string>& args, std::string& output) {
    int pipe_fds[2];
    if (pipe2(pipe_fds, O_CLOEXEC) != 0) return 127;

    std::vector<char*> argv;
    argv.push_back(const_cast<char*>("openssl"));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], 1);
    posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], 2);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK);

    pid_t pid = 0;
    int rc = posix_spawnp(&pid, "openssl", &actions, &attr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    close(pipe_fds[1]);
    if (rc != 0) {
        close(pipe_fds[0]);
        return 127;
    }

    char buf[512];
    ssize_t n;
    while ((n = read(pipe_fds[0], buf, sizeof buf)) != 0) {
        if (n < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (output.size() < kMaxToolOutput) output.append(buf, static_cast<size_t>(n));
    }
    close(pipe_fds[0]);

    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return 127;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}

// True when the certificate is readable and still valid a day from now.
bool cert_still_good(const std::string& cert_path) {
    std::string ignored;
    return run_openssl({"x509", "-in", cert_path, "-noout", "-checkend", "86400"}, ignored) == 0;
}

bool make_cert(const CertFiles& c, std::string& error) {
    // Written under temporary names and renamed, so an interrupted run never
    // leaves a half-written pair that a later run would take as good.
    std::string tag = ".tmp." + std::to_string(getpid());
    std::string cert_tmp = c.cert_path + tag;
    std::string key_tmp = c.key_path + tag;
    std::string output;
    int status = run_openssl({"req", "-x509", "-newkey", "ec", "-pkeyopt",
                              "ec_paramgen_curve:prime256v1", "-nodes", "-days", "825",
                              "-subj", "/CN=localhost", "-addext",
                              "subjectAltName=DNS:localhost,IP:127.0.0.1", "-keyout",
                              key_tmp, "-out", cert_tmp},
                             output);
    if (status == 127) {
        error = "cannot run openssl to make the demo certificate (install it: "
                "apt-get install openssl)";
        return false;
    }
    if (status != 0 || !file_exists(cert_tmp) || !file_exists(key_tmp)) {
        error = "openssl could not make the demo certificate: " + last_line(output);
        unlink(cert_tmp.c_str());
        unlink(key_tmp.c_str());
        return false;
    }
    chmod(key_tmp.c_str(), 0600);
    if (rename(key_tmp.c_str(), c.key_path.c_str()) != 0 ||
        rename(cert_tmp.c_str(), c.cert_path.c_str()) != 0) {
        error = "cannot store the demo certificate in " + c.dir + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

// The cache directory: $XDG_CACHE_HOME/velkor-proxy, else
// $HOME/.cache/velkor-proxy. False with a message when neither is set.
bool demo_cache_dir(std::string& dir, std::string& error) {
    const char* xdg = std::getenv("XDG_CACHE_HOME");
    const char* home = std::getenv("HOME");
    // The XDG rules ignore a relative XDG_CACHE_HOME.
    if (xdg && xdg[0] == '/') {
        dir = std::string(xdg) + "/velkor-proxy";
    } else if (home && home[0] != '\0') {
        dir = std::string(home) + "/.cache/velkor-proxy";
    } else {
        error = "no cache directory for the demo certificate: set HOME or XDG_CACHE_HOME";
        return false;
    }
    return true;
}

// Makes sure dir holds a certificate for localhost (and 127.0.0.1) with its
// unencrypted EC key, valid for at least one more day. An existing pair is
// reused; a missing or expiring one is (re)made with openssl. created tells
// whether a new pair was made.
bool ensure_demo_cert(const std::string& dir, CertFiles& out, bool& created,
                      std::string& error) {
    out.dir = dir;
    out.cert_path = dir + "/" + kCertName;
    out.key_path = dir + "/" + kKeyName;
    created = false;
    if (!make_dirs(dir, error)) return false;
    if (file_exists(out.cert_path) && file_exists(out.key_path) &&
        cert_still_good(out.cert_path))
        return true;
    if (!make_cert(out, error)) return false;
    created = true;
    return true;
}

}  // namespace

bool demo_certificate(const HostOptions&, DemoCert& out, std::string& error) {
    std::string dir;
    CertFiles files;
    bool created = false;
    if (!demo_cache_dir(dir, error) || !ensure_demo_cert(dir, files, created, error))
        return false;
    if (!fits_json_string(files.cert_path) || !fits_json_string(files.key_path)) {
        error = "the cache directory " + dir + " has a quote, backslash or control "
                "character in its path; set XDG_CACHE_HOME to another directory";
        return false;
    }
    out.tls = true;
    out.cert_path = files.cert_path;
    out.key_path = files.key_path;
    out.origin = std::string("self-signed certificate ") + (created ? "made now in " : "from ") +
                 dir;
    return true;
}

}  // namespace host

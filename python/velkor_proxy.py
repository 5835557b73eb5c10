"""Python binding of the velkor-proxy library, through ctypes.

    import velkor_proxy

    config = {"listen_port": 8000,
              "routes": [{"path_prefix": "/", "target_port": 9000}]}
    with velkor_proxy.Proxy(config) as proxy:
        print(proxy.runtime_status()["total_connections"])

The library serves one proxy per process, so one Proxy runs at a time.
The library file is, first found wins: the path in the VELKOR_PROXY_LIBRARY
environment variable; the file beside this module (velkor-proxy.dll on
Windows, libvelkor-proxy.so.1 elsewhere); the system's search. load() takes
an explicit path as well.

Strings in the configuration are passed to the library as written: it does
not decode JSON escapes. Keep paths and names free of quotes, backslashes and
control characters.
"""

import ctypes
import ctypes.util
import json
import os
import sys

__all__ = ["ProxyError", "Library", "Proxy", "load"]

LIBRARY_ENV = "VELKOR_PROXY_LIBRARY"
LIBRARY_NAME = "velkor-proxy.dll" if sys.platform == "win32" else "libvelkor-proxy.so.1"


def library_path(environ=os.environ, here=os.path.dirname(os.path.abspath(__file__))):
    """The library file to load: see the module's text for the order. here
    is the module's folder."""
    if environ.get(LIBRARY_ENV):
        return environ[LIBRARY_ENV]
    beside = os.path.join(here, LIBRARY_NAME)
    if os.path.isfile(beside):
        return beside
    # find_library searches PATH on Windows, the linker's cache on Linux;
    # failing that, the plain name leaves it to the loader (on Windows:
    # python.exe's folder, System32 and os.add_dll_directory's folders).
    return ctypes.util.find_library("velkor-proxy") or LIBRARY_NAME


class ProxyError(Exception):
    """A start the library refused; the message is the library's own text."""


def _text(raw):
    # The library's texts are bytes; keep any that are not UTF-8 readable
    # without losing them.
    return raw.decode("utf-8", "surrogateescape") if raw is not None else ""


class Library:
    """The six functions of one loaded copy of the library, typed: version,
    last_error, start, stop, status and runtime_status, named as in C without
    the proxy_ prefix."""

    def __init__(self, path=None):
        path = path or library_path()
        self.path = path
        self._lib = ctypes.CDLL(path)
        signatures = {
            "proxy_version": ([], ctypes.c_char_p),
            "proxy_last_error": ([], ctypes.c_char_p),
            "proxy_start": ([ctypes.c_char_p], ctypes.c_int),
            "proxy_stop": ([], ctypes.c_int),
            "proxy_status": ([], ctypes.c_int),
            "proxy_runtime_status": ([], ctypes.c_char_p),
        }
        for name, (argtypes, restype) in signatures.items():
            fn = getattr(self._lib, name)
            fn.argtypes = argtypes
            fn.restype = restype

    def version(self):
        return _text(self._lib.proxy_version())

    def last_error(self):
        return _text(self._lib.proxy_last_error())

    def start(self, config):
        """Starts the proxy. config is a dict (sent as JSON) or the JSON text
        itself. Raises ProxyError with the library's message on failure."""
        if isinstance(config, dict):
            config = json.dumps(config, ensure_ascii=False)
        if isinstance(config, str):
            config = config.encode("utf-8", "surrogateescape")
        if not isinstance(config, bytes):
            raise TypeError("config must be a dict, str or bytes")
        if self._lib.proxy_start(config) != 0:
            raise ProxyError(self.last_error())

    def stop(self):
        """Stops the proxy; waits a bounded time for its connections."""
        self._lib.proxy_stop()

    def status(self):
        """True while the proxy runs."""
        return self._lib.proxy_status() == 1

    def raw_runtime_status(self):
        """The library's one-line JSON report, as text."""
        return _text(self._lib.proxy_runtime_status())

    def runtime_status(self):
        """The report as a dict: running, tls, listen_port, redirect_port,
        active_connections, total_connections, routes (a list of dicts with
        host, path_prefix, target_ip, target_port, hits, errors) and
        last_error."""
        return json.loads(self.raw_runtime_status())


_default = None


def load(path=None):
    """The library at path, or the shared default copy when path is None."""
    global _default
    if path is not None:
        return Library(path)
    if _default is None:
        _default = Library()
    return _default


class Proxy:
    """A running proxy for the length of a with block: started on entry,
    stopped on exit, also when the block raises."""

    def __init__(self, config, library=None):
        self.config = config
        self.library = library or load()

    def __enter__(self):
        self.library.start(self.config)
        return self

    def __exit__(self, *exc):
        self.library.stop()
        return False

    def status(self):
        return self.library.status()

    def runtime_status(self):
        return self.library.runtime_status()

    def last_error(self):
        return self.library.last_error()

# `nuvex serve`: the web calculator on a local threaded HTTP server, on loopback unless another
# host is asked for (then with a warning), stopped by Ctrl-C.
from __future__ import annotations

import argparse
import ipaddress
import signal
import sys
import threading
from typing import Any, Sequence

from werkzeug.serving import WSGIRequestHandler, make_server

from ._service import Limits, Service
from .app import LOOPBACK_NAMES, create_app

DEFAULT_HOST = "127.0.0.1"
DEFAULT_PORT = 8050


class _QuietHandler(WSGIRequestHandler):
    """No access log line per request (a slider sends dozens a second); errors are still logged."""

    def log_request(self, *args: Any, **kwargs: Any) -> None:
        pass


def is_loopback(host: str) -> bool:
    if host.lower() == "localhost":
        return True
    try:
        return ipaddress.ip_address(host.strip("[]")).is_loopback
    except ValueError:
        return False


class Server:
    """The calculator on ``host``:``port`` (port 0: a free one), serving on a thread of its own
    (:meth:`start`) or on the caller's (:meth:`serve_forever`); :meth:`close` stops it and its work."""

    def __init__(self, host: str = DEFAULT_HOST, port: int = DEFAULT_PORT, **service_options: Any) -> None:
        self.service = Service(**service_options)
        hosts = LOOPBACK_NAMES if is_loopback(host) else None
        self.app = create_app(self.service, allowed_hosts=hosts)
        self._http = make_server(host, port, self.app, threaded=True, request_handler=_QuietHandler)
        self.host = host
        self.port = self._http.server_port
        self._thread: threading.Thread | None = None

    @property
    def url(self) -> str:
        host = f"[{self.host}]" if ":" in self.host else self.host
        return f"http://{host}:{self.port}/"

    def warm_up(self) -> None:
        """One default run, so that the first page finds the solver's tables built."""
        from ._service import Ticket

        self.service.run({}, Ticket(self.service, "warm-up"))

    def serve_forever(self) -> None:
        self._http.serve_forever(poll_interval=0.2)

    def start(self) -> "Server":
        self._thread = threading.Thread(target=self.serve_forever, name="nuvex-web", daemon=True)
        self._thread.start()
        return self

    def close(self) -> None:
        if self._thread is not None:
            self._http.shutdown()
            self._thread.join(timeout=10)
            self._thread = None
        self._http.server_close()
        self.service.close()

    def __enter__(self) -> "Server":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


def build_parser(prog: str = "nuvex serve") -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(
        prog=prog, description="The NUVEX calculator in the browser: abundances, Schramm plot with Monte Carlo "
                               "bands and the abundance evolution, updated live as the inputs change.")
    p.add_argument("--host", default=DEFAULT_HOST,
                   help=f"address to listen on (default {DEFAULT_HOST}, this machine only; another address makes the "
                        "calculator reachable from other machines)")
    p.add_argument("--port", type=int, default=DEFAULT_PORT, help=f"port (default {DEFAULT_PORT}; 0: a free port)")
    p.add_argument("--data-dir", help="NUVEX data directory (default: the one installed with the package)")
    p.add_argument("--cache-dir", help="directory of the solver's cached tables (default: the per-user cache)")
    p.add_argument("--workers", type=int, default=None,
                   help="runs computed at once (default: the processors of this machine, 2 to 8)")
    p.add_argument("--max-seconds", type=float, default=Limits.seconds,
                   help=f"time limit of one request, table builds included (default {Limits.seconds:g})")
    return p


def main(argv: Sequence[str] | None = None, prog: str = "nuvex serve") -> int:
    args = build_parser(prog).parse_args(argv)
    if not 0 <= args.port <= 65535:
        print(f"{prog}: --port must be between 0 and 65535, not {args.port}", file=sys.stderr)
        return 2
    if not args.max_seconds > 0:
        print(f"{prog}: --max-seconds must be positive, not {args.max_seconds:g}", file=sys.stderr)
        return 2
    try:
        server = Server(args.host, args.port, data_dir=args.data_dir, cache_dir=args.cache_dir, workers=args.workers,
                        limits=Limits(seconds=args.max_seconds))
    except FileNotFoundError as e:
        print(f"{prog}: {e}", file=sys.stderr)
        return 1
    except OSError as e:
        hint = " (another program uses this port: try --port 0 for a free one)" if "in use" in str(e) else ""
        print(f"{prog}: cannot listen on {args.host}:{args.port}: {e.strerror or e}{hint}", file=sys.stderr)
        return 1
    except (ValueError, RuntimeError) as e:
        print(f"{prog}: {e}", file=sys.stderr)
        return 1
    if not is_loopback(args.host):
        print(f"{prog}: warning: listening on {args.host}: other machines can reach the calculator; it has no "
              "authentication, and every visitor's runs use this machine's processors", file=sys.stderr)
    try:
        server.warm_up()
    except Exception as e:  # the server still starts: the page shows the same error for its first run
        print(f"{prog}: warning: the first run failed: {e}", file=sys.stderr)
    print(f"{prog}: {server.url} (Ctrl-C stops the server)", flush=True)
    previous = None
    if threading.current_thread() is threading.main_thread():
        # `kill` and service managers stop the server as Ctrl-C does: running work ends, sessions close
        previous = signal.signal(signal.SIGTERM, _interrupt)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    finally:
        server.close()
        if previous is not None:
            signal.signal(signal.SIGTERM, previous)
    return 0


def _interrupt(signum: int, frame: Any) -> None:
    raise KeyboardInterrupt

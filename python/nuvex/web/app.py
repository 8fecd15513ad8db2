# The Flask application of the web calculator: the page, its static files, Plotly's JavaScript from
# the local plotly package (no network), and the JSON API (/api/run, /api/evolution, /api/schramm).
from __future__ import annotations

import functools
import json
import logging
import re
import time
from typing import Any, Callable, Mapping

from flask import Flask, Response, render_template, request, url_for
from werkzeug.exceptions import HTTPException

from ._service import (Limits, Service, Ticket, WebError, evolution_body, evolution_csv, parse_params, result_body,
                       result_csv, text_value)

logger = logging.getLogger("nuvex.web")

# request fields that are not run parameters
OPTIONS = ("client", "seq", "format", "download", "points", "samples", "seed")
LOOPBACK_NAMES = frozenset({"localhost", "127.0.0.1", "::1"})
_CLIENT_ID = re.compile(r"[A-Za-z0-9_.-]{1,64}")

_CSP = ("default-src 'self'; script-src 'self'; style-src 'self' 'unsafe-inline'; img-src 'self' data: blob:; "
        "connect-src 'self'; object-src 'none'; base-uri 'none'; frame-ancestors 'none'")


@functools.lru_cache(maxsize=1)
def plotly_js() -> tuple[str, bytes]:
    """(version, source) of the plotly.js bundled with the Python plotly package (Debian python3-plotly)."""
    try:
        from plotly import offline
    except ImportError as e:
        raise RuntimeError("the web calculator draws with plotly.js from the plotly package "
                           "(Debian: python3-plotly), which is not installed") from e
    source = offline.get_plotlyjs()
    m = re.search(r"plotly\.js v([0-9][0-9A-Za-z.+-]*)", source[:400])
    return (m.group(1) if m else "local"), source.encode()


def _json(body: Any, status: int = 200, headers: Mapping[str, str] | None = None) -> Response:
    text = json.dumps(body, allow_nan=False, separators=(",", ":"))
    resp = Response(text, status=status, mimetype="application/json")
    for k, v in (headers or {}).items():
        resp.headers[k] = v
    return resp


def _int_option(opts: Mapping[str, Any], name: str, default: int, bounds: tuple[int, int]) -> int:
    value = opts.get(name, default)
    if isinstance(value, str):
        try:
            value = int(value)
        except ValueError:
            raise WebError(400, f"{name} expects an integer, not {value!r}", name) from None
    if isinstance(value, bool) or not isinstance(value, int):
        raise WebError(400, f"{name} expects an integer, not {value!r}", name)
    lo, hi = bounds
    if not lo <= value <= hi:
        raise WebError(400, f"{name}={value} is out of range: must be between {lo} and {hi}", name)
    return value


def create_app(service: Service | None = None, *, allowed_hosts: frozenset[str] | None = None,
               **service_options: Any) -> Flask:
    """The web calculator as a Flask application.

    ``service``: the :class:`Service` that runs the computations (made from ``service_options`` --
    ``data_dir``, ``cache_dir``, ``workers``, ``limits`` -- when not given). ``allowed_hosts``: host
    names the server answers to (None: any); a server on a loopback address answers only to its
    loopback names, so that no other web site can reach it under a name of its own.
    """
    plotly_version, _ = plotly_js()
    service = service or Service(**service_options)
    limits: Limits = service.limits
    app = Flask("nuvex.web", root_path=__file__.rsplit("/", 1)[0])
    app.config["MAX_CONTENT_LENGTH"] = limits.body_bytes
    app.extensions["nuvex"] = service

    @app.before_request
    def _check_request() -> Response | None:
        if allowed_hosts is not None:
            host = request.host.lower()
            name = host[1:host.find("]")] if host.startswith("[") else host.rsplit(":", 1)[0]
            if name not in allowed_hosts:
                return _json({"error": f"this server answers only under {', '.join(sorted(allowed_hosts))}, "
                                       f"not {request.host!r}", "key": None}, 400)
        if len(request.query_string) > limits.body_bytes:
            return _json({"error": f"the query string is longer than this server's limit of "
                                   f"{limits.body_bytes} bytes", "key": None}, 414)
        return None

    @app.after_request
    def _headers(resp: Response) -> Response:
        resp.headers.setdefault("X-Content-Type-Options", "nosniff")
        resp.headers.setdefault("Referrer-Policy", "no-referrer")
        resp.headers.setdefault("Content-Security-Policy", _CSP)
        if request.path.startswith("/api/"):
            resp.headers.setdefault("Cache-Control", "no-store")
        return resp

    @app.errorhandler(WebError)
    def _web_error(e: WebError) -> Response:
        headers = {"Retry-After": str(e.retry_after)} if e.retry_after else None
        return _json(e.body(), e.status, headers)

    @app.errorhandler(HTTPException)
    def _http_error(e: HTTPException) -> Response:
        message = e.description or e.name
        if e.code == 413:
            message = f"the request body is larger than this server's limit of {limits.body_bytes} bytes"
        return _json({"error": message, "key": None}, e.code or 500)

    @app.errorhandler(Exception)
    def _internal(e: Exception) -> Response:
        logger.exception("web calculator: %s %s failed", request.method, request.path)
        return _json({"error": f"internal error of the web calculator ({type(e).__name__}); the server's log "
                               "has the details", "key": None}, 500)

    def read(channel: str, formats: tuple[str, ...] = ("json", "csv")) -> tuple[dict[str, Any], dict[str, Any], Ticket]:
        """The parameters, the options and the ticket of an API request (JSON body or query string)."""
        if request.method == "POST":
            if not request.is_json:
                # also keeps other web sites' plain form posts out
                raise WebError(415, "the request body must be JSON (Content-Type: application/json)")
            text = request.stream.read(limits.body_bytes + 1)  # chunked bodies have no declared length
            if len(text) > limits.body_bytes or (request.content_length or 0) > limits.body_bytes:
                raise WebError(413, f"the request body is larger than this server's limit of {limits.body_bytes} bytes")
            try:
                body = json.loads(text)
            except ValueError as e:
                raise WebError(400, f"the request body is not valid JSON: {e}") from None
            if not isinstance(body, dict):
                raise WebError(400, "the request body must be a JSON object such as "
                                    '{"params": {"Omegabh2": 0.0224}} (Content-Type: application/json)')
            unknown = [k for k in body if k != "params" and k not in OPTIONS]
            if unknown:
                raise WebError(400, f"unknown field {unknown[0]!r} of the request; the fields are params, "
                                    f"{', '.join(OPTIONS)}", unknown[0])
            raw = body.get("params", {})
            opts = {k: body[k] for k in OPTIONS if k in body}
        else:
            args = request.args
            for key in args:
                if len(args.getlist(key)) > 1:
                    raise WebError(400, f"{key} is given more than once", key)
            opts = {k: args[k] for k in OPTIONS if k in args}
            raw = {k: text_value(k, v) for k, v in args.items() if k not in OPTIONS}
        if opts.get("format", "json") not in formats:
            raise WebError(400, f"format must be {' or '.join(formats)}, not {opts['format']!r}", "format")
        params = parse_params(raw, limits)
        client, seq = opts.get("client"), opts.get("seq")
        if (client is None) != (seq is None):
            raise WebError(400, "client and seq go together: a page's id and its request number", "seq")
        if client is not None:
            if not isinstance(client, str) or not _CLIENT_ID.fullmatch(client):
                raise WebError(400, "client must be 1 to 64 letters, digits, '_', '-' or '.'", "client")
            seq = _int_option(opts, "seq", 0, (0, 2**53))
        return params, opts, Ticket(service, channel, client, seq)

    def respond(body: dict[str, Any], opts: Mapping[str, Any], to_csv: Callable[[dict[str, Any]], str] | None,
                name: str) -> Response:
        fmt = opts.get("format", "json")
        download = opts.get("download") not in (None, False, 0, "", "0", "false")
        if fmt == "csv":
            resp = Response(to_csv(body), mimetype="text/csv")
            download = True
        else:
            if "seq" in opts:
                body["seq"] = opts["seq"] if not isinstance(opts["seq"], str) else int(opts["seq"])
            resp = _json(body)
        if download:
            resp.headers["Content-Disposition"] = f'attachment; filename="{name}.{fmt}"'
        return resp

    @app.route("/")
    def index() -> str:
        return render_template("index.html", meta=service.meta(),
                               plotly_url=url_for("plotly", version=plotly_version))

    @app.route("/vendor/plotly-<version>.js")
    def plotly(version: str) -> Response:
        current, source = plotly_js()
        resp = Response(source, mimetype="text/javascript")
        # the version is in the address: browsers keep it until the plotly package changes
        resp.headers["Cache-Control"] = "public, max-age=31536000, immutable" if version == current else "no-cache"
        resp.add_etag()
        return resp.make_conditional(request)

    @app.route("/api/meta")
    def api_meta() -> Response:
        return _json(service.meta())

    @app.route("/api/run", methods=["GET", "POST"])
    def api_run() -> Response:
        params, opts, ticket = read("run")
        t0 = time.perf_counter()
        result = service.run(params, ticket)
        body = result_body(result, params)
        body["elapsed_ms"] = round(1e3 * (time.perf_counter() - t0), 3)
        return respond(body, opts, result_csv, "nuvex_result")

    @app.route("/api/evolution", methods=["GET", "POST"])
    def api_evolution() -> Response:
        params, opts, ticket = read("evolution")
        points = _int_option(opts, "points", service.defaults["evolution_points"], limits.evolution_points)
        result = service.evolution(params, points, ticket)
        return respond(evolution_body(result, params), opts, evolution_csv, "nuvex_evolution")

    @app.route("/api/schramm", methods=["GET", "POST"])
    def api_schramm() -> Response:
        params, opts, ticket = read("schramm", formats=("json",))
        points = _int_option(opts, "points", service.defaults["schramm_points"], limits.schramm_points)
        samples = _int_option(opts, "samples", service.defaults["schramm_samples"], limits.schramm_samples)
        seed = _int_option(opts, "seed", 0, (0, 2**31 - 1))
        t0 = time.perf_counter()
        body = service.schramm(params, points, samples, seed, ticket)
        body["elapsed_ms"] = round(1e3 * (time.perf_counter() - t0), 3)
        return respond(body, opts, None, "nuvex_schramm")

    return app

"""The panel's web server (aiohttp): the page, one WebSocket for figures and requests, and the
recording's downloads. Every request needs the panel's token and must come from the panel's own
address; the devices are reached only through the session, which never waits on them."""

from __future__ import annotations

import asyncio
import contextlib
import hmac
import json
import socket
import weakref
from collections.abc import AsyncIterator, Awaitable, Callable
from importlib import resources
from typing import Any

from aiohttp import WSMsgType, web

from ._session import Refused, Session, to_csv, to_npz

__all__ = ["make_app", "serve", "UPDATE_HZ", "allowed_hosts"]

UPDATE_HZ = 30.0
SESSION: web.AppKey[Session] = web.AppKey("session", Session)
TOKEN: web.AppKey[str] = web.AppKey("token", str)
HOSTS: web.AppKey[set[str]] = web.AppKey("hosts", set)
SOCKETS: web.AppKey[weakref.WeakSet[web.WebSocketResponse]] = web.AppKey("sockets", weakref.WeakSet)

_STATIC = {"panel.js": "text/javascript", "panel.css": "text/css"}
_HEADERS = {
    "Cache-Control": "no-store",
    # Nothing from elsewhere, no framing by other pages, and the token never leaves in a Referer.
    "Content-Security-Policy": "default-src 'self'; img-src 'self' data:; frame-ancestors 'none'",
    "Referrer-Policy": "no-referrer",
    "X-Content-Type-Options": "nosniff",
}


def allowed_hosts(host: str, port: int) -> set[str]:
    """The values of ``Host`` the panel answers: its own address and port, by number or, on the
    loopback address, as localhost. Anything else is another name pointed at this machine."""
    names = {host, "127.0.0.1", "localhost"} if host == "127.0.0.1" else {host}
    return {f"[{name}]:{port}" if ":" in name else f"{name}:{port}" for name in names}


def _refusal(request: web.Request) -> str | None:
    """Why a request may not reach the panel, or None."""
    hosts = request.app[HOSTS]
    if request.headers.get("Host", "") not in hosts:
        return "this panel answers only at its own address"
    origin = request.headers.get("Origin")
    websocket = request.headers.get("Upgrade", "").lower() == "websocket"
    # Browsers send Origin with every WebSocket: one without it is no page of the panel's.
    if (origin is None and websocket) or (
        origin is not None and origin not in {f"http://{h}" for h in hosts}
    ):
        return "requests from other pages are refused"
    if request.headers.get("Sec-Fetch-Site", "same-origin") not in ("same-origin", "none"):
        return "requests from other pages are refused"
    token = request.query.get("token", "")
    if not hmac.compare_digest(token.encode(), request.app[TOKEN].encode()):
        return "the panel's token is missing or wrong: open the address tamro-panel printed"
    return None


@web.middleware
async def _guard(
    request: web.Request, handler: Callable[[web.Request], Awaitable[web.StreamResponse]]
) -> web.StreamResponse:
    problem = _refusal(request)
    if problem is not None:
        return web.Response(status=403, text=problem + "\n", headers=_HEADERS)
    response = await handler(request)
    if not response.prepared:
        response.headers.update(_HEADERS)
    return response


def _static(name: str) -> str:
    return (resources.files(__package__) / "static" / name).read_text(encoding="utf-8")


async def _page(request: web.Request) -> web.Response:
    # The token is URL-safe, so it goes into the page's links as it is.
    page = _static("index.html").replace("{{token}}", request.app[TOKEN])
    return web.Response(text=page, content_type="text/html")


async def _asset(request: web.Request) -> web.Response:
    name = request.match_info["name"]
    if name not in _STATIC:
        raise web.HTTPNotFound()
    return web.Response(text=_static(name), content_type=_STATIC[name])


async def _download(request: web.Request) -> web.Response:
    session = request.app[SESSION]
    arm, handle = session.recording()
    if not len(arm):
        return web.Response(status=404, text="nothing recorded yet: start a recording first\n")
    suffix = request.match_info["suffix"]
    # Formatting a long recording takes a while: off the event loop, so the page keeps moving.
    if suffix == "csv":
        body = await asyncio.to_thread(to_csv, arm)
        kind = "text/csv"
    else:
        body = await asyncio.to_thread(to_npz, arm, handle)
        kind = "application/octet-stream"
    return web.Response(
        body=body,
        content_type=kind,
        headers={"Content-Disposition": f'attachment; filename="tamro-recording.{suffix}"'},
    )


def _text(message: dict[str, Any]) -> str:
    return json.dumps(message, allow_nan=False, separators=(",", ":"))


async def _socket(request: web.Request) -> web.WebSocketResponse:
    session = request.app[SESSION]
    ws = web.WebSocketResponse(heartbeat=10.0, max_msg_size=1 << 16)
    await ws.prepare(request)
    request.app[SOCKETS].add(ws)
    await ws.send_str(_text(session.hello()))
    async for message in ws:
        if message.type != WSMsgType.TEXT:
            continue
        try:
            try:
                request_ = json.loads(message.data)
            except ValueError:
                raise Refused("a request must be JSON") from None
            session.handle_request(request_)
        except Refused as refused:
            await ws.send_str(_text({"type": "refused", "message": str(refused)}))
        else:
            # The new state at once, so the page shows what it changed without waiting a tick.
            await ws.send_str(_text({"type": "done", "request": request_}))
    return ws


async def _broadcast(app: web.Application) -> AsyncIterator[None]:
    """One task for every page: ticks the session about 30 times a second and sends the figures."""
    session, sockets = app[SESSION], app[SOCKETS]

    async def run() -> None:
        loop = asyncio.get_running_loop()
        next_tick = loop.time()
        while True:
            next_tick += 1.0 / UPDATE_HZ
            await asyncio.sleep(max(0.0, next_tick - loop.time()))
            if loop.time() - next_tick > 1.0:  # fell far behind (a suspended machine): start afresh
                next_tick = loop.time()
            # Ticked with no page too: a recording keeps draining the loop's ring.
            try:
                text = _text(session.tick())
            except Exception as error:  # the page must not freeze over one bad tick: say it
                text = _text({"type": "error", "message": f"the panel could not read the devices: {error!r}"})
            for ws in list(sockets):
                if not ws.closed:
                    with contextlib.suppress(ConnectionError):
                        await ws.send_str(text)

    task = asyncio.create_task(run())
    yield
    task.cancel()
    with contextlib.suppress(asyncio.CancelledError):
        await task


async def _close_sockets(app: web.Application) -> None:
    sockets = app[SOCKETS]
    for ws in list(sockets):
        await ws.close(code=1001, message=b"the panel stopped")


def make_app(session: Session, token: str, hosts: set[str]) -> web.Application:
    """The panel's application for a session, answering ``hosts`` (see ``allowed_hosts``)."""
    app = web.Application(middlewares=[_guard])
    app[SESSION] = session
    app[TOKEN] = token
    app[HOSTS] = hosts
    app[SOCKETS] = weakref.WeakSet()
    app.cleanup_ctx.append(_broadcast)
    app.on_shutdown.append(_close_sockets)
    app.router.add_get("/", _page)
    app.router.add_get("/ws", _socket)
    app.router.add_get("/recording.{suffix:npz|csv}", _download)
    app.router.add_get("/{name}", _asset)
    return app


async def serve(
    session: Session,
    token: str,
    host: str,
    port: int,
    stop: asyncio.Event,
    on_ready: Callable[[int], None],
) -> None:
    """Serves the panel on ``host``:``port`` (0: a free one) until ``stop`` is set; ``on_ready``
    gets the port once it listens."""
    listener = socket.create_server((host, port), family=socket.AF_INET6 if ":" in host else socket.AF_INET)
    bound = int(listener.getsockname()[1])
    app = make_app(session, token, allowed_hosts(host, bound))
    runner = web.AppRunner(app, access_log=None, handle_signals=False, shutdown_timeout=2.0)
    await runner.setup()
    try:
        await web.SockSite(runner, listener).start()
        on_ready(bound)
        await stop.wait()
    finally:
        await runner.cleanup()

"""The panel's web server (aiohttp): the page, one WebSocket for figures and requests, and the
recording's downloads. Every request needs the panel's token and must come from the panel's own
address; the devices are reached only through the session, which never waits on them.

No page waits on another, and the session waits on none: one task ticks the session (and so
drains the recording) and hands each page the figures; each page has a task of its own that
sends them, keeping only the newest few while the page is slow, and closing a page that has
not taken a message for ``SEND_TIMEOUT`` seconds. A request from a page is parsed strictly
(JSON text, finite numbers, a bounded size and depth) and checked whole before anything in it
is carried out; whatever is wrong with it, the page gets a message and keeps its connection.
A connection that has not sent a whole request within ``REQUEST_TIMEOUT`` is closed."""

from __future__ import annotations

import asyncio
import contextlib
import hmac
import json
import math
import socket
import struct
from collections import deque
from collections.abc import AsyncIterator, Awaitable, Callable
from dataclasses import dataclass, field
from importlib import resources
from typing import Any

from aiohttp import WSMessage, WSMsgType, web

from ._session import Refused, Session, to_csv, to_mcap, to_npz

__all__ = [
    "MESSAGE_LIMIT",
    "REQUEST_LIMIT",
    "REQUEST_TIMEOUT",
    "SEND_TIMEOUT",
    "UPDATE_HZ",
    "allowed_hosts",
    "make_app",
    "parse_request",
    "serve",
]

UPDATE_HZ = 30.0
# The page's requests are under 200 characters. A longer one is refused unread; a WebSocket message
# beyond MESSAGE_LIMIT is not even taken in: the protocol closes with 1009 (too big).
REQUEST_LIMIT = 4096
MESSAGE_LIMIT = 1 << 20
# Updates are whole pictures: a page that falls behind needs only the newest.
UPDATE_BACKLOG = 4
# Answers to a page's own requests are all kept, up to this many not yet sent.
ANSWER_BACKLOG = 64
SEND_TIMEOUT = 10.0
REQUEST_TIMEOUT = 5.0
# The kernel's send buffer of each connection, fixed (the accepted sockets take the listener's).
# Left to itself it grows to megabytes on loopback: a page that never reads would hold that
# much, and take a minute to show that it reads nothing. 30 updates a second need far less.
SEND_BUFFER = 64 * 1024

SESSION: web.AppKey[Session] = web.AppKey("session", Session)
TOKEN: web.AppKey[str] = web.AppKey("token", str)
HOSTS: web.AppKey[set[str]] = web.AppKey("hosts", set)

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
    elif suffix == "mcap":
        body = await asyncio.to_thread(to_mcap, arm, handle)
        kind = "application/octet-stream"
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


def _no_constant(name: str) -> Any:
    raise Refused(f"a request may hold only finite numbers, not {name}")


def _finite(text: str) -> float:
    value = float(text)
    if not math.isfinite(value):  # 1e400
        raise Refused(f"{text[:40]} is too large a number")
    return value


def parse_request(text: str) -> Any:
    """A page's request as JSON, strictly: at most ``REQUEST_LIMIT`` characters, finite numbers
    only, nested no deeper than the interpreter can parse. Raises ``Refused`` with the reason."""
    if len(text) > REQUEST_LIMIT:
        raise Refused(f"a request must be at most {REQUEST_LIMIT} characters long")
    try:
        return json.loads(text, parse_constant=_no_constant, parse_float=_finite)
    except RecursionError:
        raise Refused("a request must not be nested so deep") from None
    except ValueError:  # JSONDecodeError, or digits beyond what an int may hold
        raise Refused("a request must be JSON") from None


def _answer(session: Session, message: WSMessage) -> dict[str, Any]:
    """What the page is told about one of its messages; the request is carried out only when
    all of it is valid."""
    try:
        if message.type != WSMsgType.TEXT:
            raise Refused("a request must be JSON text")
        request = parse_request(message.data)
        session.handle_request(request)
    except Refused as refused:
        return {"type": "refused", "message": str(refused)[:500]}
    except Exception as error:  # a fault of the panel's own: said on the page, not a dropped page
        return {"type": "refused", "message": f"the panel could not carry it out: {error!r}"[:500]}
    # Checked whole above, so it is as small and as finite as JSON the page can show.
    return {"type": "done", "request": request}


class _Page:
    """One page's WebSocket and what waits to be sent to it, sent by a task of its own."""

    def __init__(self, ws: web.WebSocketResponse, transport: asyncio.Transport | None, timeout: float):
        self.ws = ws
        self._transport = transport
        self._timeout = timeout
        self._updates: deque[str] = deque(maxlen=UPDATE_BACKLOG)
        self._answers: deque[str] = deque()
        self._ready = asyncio.Event()

    def update(self, text: str) -> None:
        """Queues an update; the deque drops the oldest one waiting when the page is behind."""
        self._updates.append(text)
        self._ready.set()

    def answer(self, text: str) -> None:
        """Queues an answer; a page that asks without ever reading is closed."""
        if len(self._answers) >= ANSWER_BACKLOG:
            self.abort()
            return
        self._answers.append(text)
        self._ready.set()

    def abort(self) -> None:
        """Drops the connection at once, with what waits to be sent, unless it is closing with
        nothing left to send: closed politely, it would linger until the page read it all."""
        transport = self._transport
        if transport is None or (transport.is_closing() and not transport.get_write_buffer_size()):
            return
        connection = transport.get_extra_info("socket")
        if connection is not None:
            # A linger of zero: the kernel discards the unsent data and resets the connection.
            connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        transport.abort()

    async def send(self) -> None:
        """Sends what waits, answers first, until the page goes; a page that takes nothing for
        the time-out is dropped."""
        while not self.ws.closed:
            await self._ready.wait()
            self._ready.clear()
            while self._answers or self._updates:
                text = self._answers.popleft() if self._answers else self._updates.popleft()
                try:
                    await asyncio.wait_for(self.ws.send_str(text), self._timeout)
                except asyncio.TimeoutError:
                    self.abort()
                    return
                except ConnectionError:
                    return

    async def close(self) -> None:
        try:
            await asyncio.wait_for(self.ws.close(code=1001, message=b"the panel stopped"), 1.0)
        except (asyncio.TimeoutError, ConnectionError):
            self.abort()


@dataclass
class _Pages:
    """The pages open now, and how long each may take to take a message."""

    send_timeout: float
    open: set[_Page] = field(default_factory=set)


PAGES: web.AppKey[_Pages] = web.AppKey("pages", _Pages)


async def _socket(request: web.Request) -> web.WebSocketResponse:
    session = request.app[SESSION]
    ws = web.WebSocketResponse(heartbeat=10.0, max_msg_size=MESSAGE_LIMIT)
    transport = request.transport
    await ws.prepare(request)
    pages = request.app[PAGES]
    page = _Page(ws, transport, pages.send_timeout)
    sender = asyncio.create_task(page.send())
    pages.open.add(page)
    try:
        page.answer(_text(session.hello()))
        async for message in ws:
            if message.type in (WSMsgType.TEXT, WSMsgType.BINARY):
                page.answer(_text(_answer(session, message)))
    finally:
        pages.open.discard(page)
        sender.cancel()
        with contextlib.suppress(asyncio.CancelledError):
            await sender
        # aiohttp closes politely a page that missed its heartbeat: one that does not read would
        # keep the connection, and what waits for it, for good.
        page.abort()
    return ws


async def _broadcast(app: web.Application) -> AsyncIterator[None]:
    """One task for every page: ticks the session about 30 times a second (with no page too,
    so a recording keeps draining the loop's ring) and hands each page the figures. It never
    waits on a page."""
    session, pages = app[SESSION], app[PAGES]

    async def run() -> None:
        loop = asyncio.get_running_loop()
        next_tick = loop.time()
        while True:
            next_tick += 1.0 / UPDATE_HZ
            await asyncio.sleep(max(0.0, next_tick - loop.time()))
            if loop.time() - next_tick > 1.0:  # fell far behind (a suspended machine): start afresh
                next_tick = loop.time()
            try:
                text = _text(session.tick())
            except Exception as error:  # the page must not freeze over one bad tick: say it
                text = _text({"type": "error", "message": f"the panel could not read the devices: {error!r}"})
            for page in list(pages.open):
                page.update(text)

    task = asyncio.create_task(run())
    yield
    task.cancel()
    with contextlib.suppress(asyncio.CancelledError):
        await task


async def _close_pages(app: web.Application) -> None:
    await asyncio.gather(*(page.close() for page in list(app[PAGES].open)))


def make_app(
    session: Session, token: str, hosts: set[str], *, send_timeout: float = SEND_TIMEOUT
) -> web.Application:
    """The panel's application for a session, answering ``hosts`` (see ``allowed_hosts``); a
    page that takes no message for ``send_timeout`` seconds is dropped."""
    app = web.Application(middlewares=[_guard])
    app[SESSION] = session
    app[TOKEN] = token
    app[HOSTS] = hosts
    app[PAGES] = _Pages(send_timeout)
    app.cleanup_ctx.append(_broadcast)
    app.on_shutdown.append(_close_pages)
    app.router.add_get("/", _page)
    app.router.add_get("/ws", _socket)
    app.router.add_get("/recording.{suffix:npz|csv|mcap}", _download)
    app.router.add_get("/{name}", _asset)
    return app


async def serve(
    session: Session,
    token: str,
    host: str,
    port: int,
    stop: asyncio.Event,
    on_ready: Callable[[int], None],
    *,
    send_timeout: float = SEND_TIMEOUT,
    request_timeout: float = REQUEST_TIMEOUT,
) -> None:
    """Serves the panel on ``host``:``port`` (0: a free one) until ``stop`` is set; ``on_ready``
    gets the port once it listens. A page that takes no message for ``send_timeout`` seconds
    is dropped, and a connection that has not sent a whole request within ``request_timeout``
    seconds (or stays idle that long between requests) is closed."""
    listener = socket.create_server((host, port), family=socket.AF_INET6 if ":" in host else socket.AF_INET)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, SEND_BUFFER)
    bound = int(listener.getsockname()[1])
    app = make_app(session, token, allowed_hosts(host, bound), send_timeout=send_timeout)
    # aiohttp arms its keep-alive timer when a connection opens, and closes a connection whose
    # request is still incomplete when it runs out.
    runner = web.AppRunner(
        app, access_log=None, handle_signals=False, shutdown_timeout=2.0, keepalive_timeout=request_timeout
    )
    await runner.setup()
    try:
        await web.SockSite(runner, listener).start()
        on_ready(bound)
        await stop.wait()
    finally:
        await runner.cleanup()

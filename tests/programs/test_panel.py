"""tamro-panel: the server against fake devices (who may reach it, what reaches the loop, what
is refused, stop, recordings), the program against the simulator (start, Ctrl-C, nothing left
behind), and the page in a real headless Chromium."""

from __future__ import annotations

import asyncio
import base64
import contextlib
import io
import os
import re
import signal
import socket
import subprocess
import sys
import threading
import time
from collections.abc import Iterator
from pathlib import Path
from typing import Any

import aiohttp
import numpy as np
import pytest
from fakedevice import FakeArm, counting_reply
from rosbags.highlevel import AnyReader

import tamro
from tamro import passivity
from tamro.programs.panel import Session, open_session
from tamro.programs.panel._server import serve
from tamro.programs.panel._session import MAX_OUTLINE_SEGMENTS, Outline, guidance, torus

ROOT = Path(__file__).resolve().parents[2]


def wait_until(condition, timeout: float = 5.0) -> bool:
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.005)
    return True


class Panel:
    """A panel's server on a free port, on a thread of its own, for one session."""

    def __init__(self, session: Session, **options: float) -> None:
        self.session = session
        self.options = options  # serve()'s time-outs
        self.token = "test-token_0123456789"
        self._ready = threading.Event()
        self._thread = threading.Thread(target=asyncio.run, args=(self._serve(),), daemon=True)
        self._thread.start()
        assert self._ready.wait(10), "the panel did not start listening"

    async def _serve(self) -> None:
        self._loop = asyncio.get_running_loop()
        self._stop = asyncio.Event()

        def ready(port: int) -> None:
            self.port = port
            self._ready.set()

        await serve(self.session, self.token, "127.0.0.1", 0, self._stop, ready, **self.options)

    @property
    def base(self) -> str:
        return f"http://127.0.0.1:{self.port}"

    @property
    def url(self) -> str:
        return f"{self.base}/?token={self.token}"

    def origin_headers(self) -> dict[str, str]:
        return {"Origin": self.base}

    def close(self) -> None:
        self._loop.call_soon_threadsafe(self._stop.set)
        self._thread.join(10)
        assert not self._thread.is_alive()


@contextlib.contextmanager
def panel_on(arm_port: str | None, handle_port: str | None, **options: float) -> Iterator[Panel]:
    arm = tamro.ServoLoop(arm_port, max_force=5.0) if arm_port else None
    handle = tamro.HandleReader(handle_port) if handle_port else None
    session = Session(arm, handle)
    if arm is not None:
        arm.start()
    panel = Panel(session, **options)
    try:
        yield panel
    finally:
        panel.close()
        session.close()


@pytest.fixture
def panel(fake_arm, fake_handle) -> Iterator[Panel]:
    with panel_on(fake_arm.path, fake_handle.path) as running:
        yield running


class Page:
    """The page's side of the WebSocket: requests and the answers to them."""

    def __init__(self, ws: aiohttp.ClientWebSocketResponse, hello: dict[str, Any]) -> None:
        self.ws = ws
        self.hello = hello

    async def next(self, kind: str | tuple[str, ...], timeout: float = 5.0) -> dict[str, Any]:
        kinds = (kind,) if isinstance(kind, str) else kind
        deadline = time.monotonic() + timeout
        while True:
            message = await self.ws.receive_json(timeout=max(0.01, deadline - time.monotonic()))
            if message["type"] in kinds:
                return message

    async def ask(self, request: dict[str, Any] | str | bytes) -> dict[str, Any]:
        """Sends one request; the answer is ``done`` or ``refused``."""
        if isinstance(request, bytes):
            await self.ws.send_bytes(request)
        elif isinstance(request, str):
            await self.ws.send_str(request)
        else:
            await self.ws.send_json(request)
        return await self.next(("done", "refused"))

    async def update_where(self, holds, timeout: float = 5.0) -> dict[str, Any]:
        deadline = time.monotonic() + timeout
        while True:
            update = await self.next("update", max(0.01, deadline - time.monotonic()))
            if holds(update):
                return update


def on_page(panel: Panel, scenario) -> Any:
    async def run() -> Any:
        async with aiohttp.ClientSession() as client:
            async with client.ws_connect(
                f"{panel.base}/ws?token={panel.token}", headers=panel.origin_headers()
            ) as ws:
                page = Page(ws, await ws.receive_json(timeout=5))
                assert page.hello["type"] == "hello"
                return await scenario(page)

    return asyncio.run(run())


# --- who may reach the panel -------------------------------------------------------------------


def fetch(url: str, headers: dict[str, str], websocket: bool = False) -> int:
    async def run() -> int:
        async with aiohttp.ClientSession() as client:
            if websocket:
                try:
                    async with client.ws_connect(url, headers=headers):
                        return 101
                except aiohttp.WSServerHandshakeError as refused:
                    return refused.status
            async with client.get(url, headers=headers) as response:
                return response.status

    return asyncio.run(run())


@pytest.mark.parametrize(
    "path, token, headers, websocket, status",
    [
        ("/", "ours", {}, False, 200),
        ("/panel.js", "ours", {"Sec-Fetch-Site": "same-origin"}, False, 200),
        ("/", None, {}, False, 403),
        ("/", "wrong", {}, False, 403),
        ("/panel.js", None, {}, False, 403),
        ("/recording.csv", "wrong", {}, False, 403),
        # another name pointed at this machine (DNS rebinding)
        ("/", "ours", {"Host": "panel.example:{port}"}, False, 403),
        ("/", "ours", {"Origin": "http://evil.example"}, False, 403),
        ("/", "ours", {"Sec-Fetch-Site": "cross-site"}, False, 403),
        ("/ws", "ours", {"Origin": "http://127.0.0.1:{port}"}, True, 101),
        ("/ws", "ours", {"Origin": "http://localhost:{port}"}, True, 101),
        ("/ws", "ours", {}, True, 403),
        ("/ws", "ours", {"Origin": "http://evil.example"}, True, 403),
        ("/ws", "ours", {"Origin": "null"}, True, 403),
        ("/ws", "wrong", {"Origin": "http://127.0.0.1:{port}"}, True, 403),
        ("/ws", None, {"Origin": "http://127.0.0.1:{port}"}, True, 403),
    ],
)
def test_only_the_panels_own_page_with_its_token_gets_in(panel, path, token, headers, websocket, status):
    query = {"ours": f"?token={panel.token}", "wrong": "?token=guess", None: ""}[token]
    chosen = {name: value.format(port=panel.port) for name, value in headers.items()}
    assert fetch(f"{panel.base}{path}{query}", chosen, websocket) == status


def test_the_page_is_served_whole_with_the_token_in_its_links(panel):
    async def run() -> str:
        async with aiohttp.ClientSession() as client:
            async with client.get(panel.url) as response:
                assert "frame-ancestors 'none'" in response.headers["Content-Security-Policy"]
                return await response.text()

    page = asyncio.run(run())
    assert f"panel.js?token={panel.token}" in page and f"panel.css?token={panel.token}" in page
    assert "{{" not in page and '<span id="arm-rate">–</span>' in page
    assert not re.search(r"(src|href)=\"(https?:)?//", page), "nothing may be fetched from elsewhere"


# --- effects and the loop ----------------------------------------------------------------------


def test_effects_added_changed_and_removed_reach_the_loop(panel):
    loop = panel.session.arm

    async def scenario(page: Page) -> None:
        assert page.hello["arm"]["device_id"] == 0x1234 and page.hello["handle"]["device_id"] == 0x1234
        assert set(page.hello["kinds"]) == {
            "spring",
            "damper",
            "plane",
            "sphere",
            "box",
            "constant force",
            "mesh",
        }
        assert (await page.ask({"op": "add", "kind": "spring"}))["type"] == "done"
        assert (await page.ask({"op": "add", "kind": "constant force"}))["type"] == "done"
        spring, push = loop.effects
        assert isinstance(spring, tamro.Spring) and isinstance(push, tamro.ConstantForce)

        await page.ask({"op": "set", "id": 1, "name": "stiffness", "value": 250})
        await page.ask({"op": "set", "id": 1, "name": "anchor", "value": [0.01, 0.02, -0.03]})
        await page.ask({"op": "set", "id": 2, "name": "force", "value": [0, 0, -1.5]})
        assert spring.stiffness == 250.0 and spring.anchor == (0.01, 0.02, -0.03)
        update = await page.update_where(lambda u: len(u["arm"]["effects"]) == 2)
        assert update["arm"]["effects"][0]["values"]["anchor"] == [0.01, 0.02, -0.03]
        assert update["arm"]["effects"][1]["values"]["force"] == [0, 0, -1.5]
        # The loop renders what the page set: its force is the effects' force at its state.
        update = await page.update_where(lambda u: u["arm"]["state"]["cycle"] > 10)
        state = update["arm"]["state"]
        assert state["force"] != [0.0, 0.0, 0.0]

        await page.ask({"op": "remove", "id": 1})
        assert loop.effects == [push]
        update = await page.update_where(lambda u: [e["id"] for e in u["arm"]["effects"]] == [2])
        assert update["arm"]["running"] and update["arm"]["stats"]["rate_hz"] > 0
        assert sum(update["arm"]["histogram"]["counts"]) > 0
        assert update["handle"]["status"]["count"] > 0 and len(update["handle"]["status"]["quaternion"]) == 4

    on_page(panel, scenario)


@pytest.mark.parametrize(
    "request_, message",
    [
        ({"op": "set", "id": 1, "name": "stiffness", "value": -5}, "stiffness"),
        ({"op": "set", "id": 1, "name": "stiffness", "value": "stiff"}, "stiffness must be a number"),
        ({"op": "set", "id": 1, "name": "stiffness", "value": None}, "stiffness must be a number"),
        ({"op": "set", "id": 1, "name": "stiffness", "value": 10**400}, "stiffness"),
        ('{"op": "set", "id": 1, "name": "damping", "value": NaN}', "only finite numbers, not NaN"),
        ({"op": "set", "id": 1, "name": "anchor", "value": [1, 2]}, "anchor must have three components"),
        ({"op": "set", "id": 1, "name": "anchor", "value": ["a", 0, 0]}, "anchor must be three numbers"),
        ({"op": "set", "id": 1, "name": "_native", "value": 1}, "a spring has no parameter '_native'"),
        ({"op": "set", "id": 7, "name": "stiffness", "value": 1}, "no effect 7"),
        ({"op": "add", "kind": "laser"}, "no effect called 'laser'"),
        ({"op": "record", "on": "yes"}, "record takes true or false"),
        ({"op": "device damping", "value": -1}, "cannot be negative"),
        ({"op": "launch"}, "unknown request 'launch'"),
        ("[1, 2", "a request must be JSON"),
        ("[1, 2]", "a request must be a JSON object"),
        # Nothing of a request with anything wrong in it is carried out: not even a stop.
        ('{"op": "stop", "note": NaN}', "only finite numbers, not NaN"),
        ('{"op": "stop", "note": -Infinity}', "only finite numbers, not -Infinity"),
        ({"op": "stop", "note": 1}, "a stop request has no field 'note'"),
        ({"op": ["stop"]}, "unknown request ['stop']"),
        ('{"op": "device damping", "value": 1e400}', "1e400 is too large a number"),
        ({"op": "device damping", "value": 1e308}, "at most 1000 N s/m"),
        ({"op": "device damping", "value": 10**400}, "too large"),
        ("[" * 2000 + "]" * 2000, "must not be nested so deep"),
        ("[" * 60000 + "]" * 60000, "at most 4096 characters"),
        (b'{"op": "stop"}', "a request must be JSON text"),
    ],
)
def test_invalid_requests_are_refused_with_a_message_and_change_nothing(panel, request_, message):
    async def scenario(page: Page) -> None:
        await page.ask({"op": "add", "kind": "spring"})
        answer = await page.ask(request_)
        assert answer["type"] == "refused" and message in answer["message"], answer
        # The connection goes on, and the effect is as it was.
        update = await page.update_where(lambda u: len(u["arm"]["effects"]) == 1)
        assert update["arm"]["effects"][0]["values"] == {
            "anchor": [0, 0, 0],
            "stiffness": 100,
            "damping": 1,
            "smoothing": 0,
        }
        assert update["arm"]["device_damping"] == 2.0 and update["arm"]["running"]

    on_page(panel, scenario)
    assert panel.session.arm.effects[0].stiffness == 100.0 and panel.session.arm.running


def test_a_mesh_is_drawn_by_its_outline_in_each_view_following_its_pose(panel):
    # The panel's torus (ring 5 cm, tube 2 cm about z): seen from above its outline is the two
    # circles 3 and 7 cm from the axis; from the side, its rings' tops and bottoms, 2 cm up and down.
    async def scenario(page: Page) -> None:
        assert page.hello["kinds"]["mesh"] == {
            "stiffness": 500.0,
            "damping": 2.0,
            "radius": 0.0,
            "smoothing": False,
        }
        await page.ask({"op": "add", "kind": "mesh"})
        assert isinstance(panel.session.arm.effects[0], tamro.Mesh)
        update = await page.update_where(lambda u: len(u["arm"]["effects"]) == 1)
        outline = update["arm"]["effects"][0]["outline"]
        top, side = np.array(outline["xy"]), np.array(outline["xz"])
        assert 0 < len(top) <= MAX_OUTLINE_SEGMENTS and 0 < len(side) <= MAX_OUTLINE_SEGMENTS
        radii = np.hypot(top[:, [0, 2]], top[:, [1, 3]])
        assert radii.min() == pytest.approx(0.03, abs=1e-3) and radii.max() == pytest.approx(0.07, abs=1e-3)
        assert np.all((np.abs(radii - 0.03) < 2e-3) | (np.abs(radii - 0.07) < 2e-3))
        assert np.abs(side[:, [1, 3]]).max() == pytest.approx(0.02, abs=1e-3)
        panel.session.arm.effects[0].pose = ((0.01, 0.0, -0.02), (1.0, 0.0, 0.0, 0.0))
        update = await page.update_where(
            lambda u: np.array(u["arm"]["effects"][0]["outline"]["xz"])[:, [1, 3]].max() < 0.001
        )
        moved = np.array(update["arm"]["effects"][0]["outline"]["xy"])
        assert np.hypot(moved[:, [0, 2]] - 0.01, moved[:, [1, 3]]).max() == pytest.approx(0.07, abs=1e-3)

    on_page(panel, scenario)


def test_the_mesh_proxy_is_shown_where_the_surface_holds_the_pressing_arm(simulator):
    # The panel's torus moved so that its tube's top is 1 mm under the simulated arm (which
    # starts at the origin); pushed down, the arm sinks in while the proxy stays on the surface.
    with panel_on(simulator.arms[0], simulator.handles[0]) as panel:

        def tube(p: np.ndarray) -> float:  # how far from the tube's centre line
            x, y, z = p - (-0.05, 0.0, -0.021)
            return float(np.hypot(np.hypot(x, y) - 0.05, z))

        async def scenario(page: Page) -> None:
            await page.ask({"op": "add", "kind": "mesh"})
            mesh = panel.session.arm.effects[0]
            mesh.pose = ((-0.05, 0.0, -0.021), (1.0, 0.0, 0.0, 0.0))
            mesh.friction = (0.8, 0.6)  # a frictionless top is no resting place
            free = await page.update_where(lambda u: len(u["arm"]["effects"]) == 1)
            assert free["arm"]["effects"][0]["proxy"] is None  # touching nothing
            await page.ask({"op": "add", "kind": "constant force"})
            await page.ask({"op": "set", "id": 2, "name": "force", "value": [0, 0, -2.0]})

            def pressed(u: dict[str, Any]) -> bool:
                return (
                    u["arm"]["effects"][0]["proxy"] is not None and u["arm"]["state"]["position"][2] < -0.004
                )

            update = await page.update_where(pressed, timeout=10)
            proxy = np.array(update["arm"]["effects"][0]["proxy"])
            device = np.array(update["arm"]["state"]["position"])
            # The proxy on the tube's faceted surface (within its facets' 0.7 mm sag), the arm
            # within the tube.
            assert tube(proxy) == pytest.approx(0.02, abs=1e-3)
            assert tube(device) < tube(proxy) - 0.002
            await page.ask({"op": "remove", "id": 2})
            await page.update_where(lambda u: u["arm"]["effects"][0]["proxy"] is None, timeout=10)

        on_page(panel, scenario)


def test_a_large_meshs_outline_is_thinned_to_its_bound():
    mesh = tamro.Mesh(*torus(around=1000, across=200), stiffness=100.0)
    views = Outline(mesh).views(mesh.pose)
    assert [len(segments) for segments in views.values()] == [MAX_OUTLINE_SEGMENTS] * 2


@pytest.mark.parametrize(
    "name, value",
    [("damping", 1e308), ("stiffness", 1e308)],
)
def test_every_value_that_is_accepted_can_be_shown(panel, name, value):
    """Extreme values the effect takes: the updates go on, showing them, with the bounds that
    are still numbers."""

    async def scenario(page: Page) -> None:
        await page.ask({"op": "add", "kind": "spring"})
        assert (await page.ask({"op": "set", "id": 1, "name": name, "value": value}))["type"] == "done"
        assert (await page.ask({"op": "device damping", "value": 1000}))["type"] == "done"
        # Updates made before the changes may still wait to be sent (answers go first).
        update = await page.update_where(lambda u: u["arm"]["device_damping"] == 1000)
        effect = update["arm"]["effects"][0]
        assert effect["values"][name] == value and update["arm"]["device_damping"] == 1000
        limits = [
            v for bound in effect["bounds"].values() for k, v in bound.items() if k in ("most", "least")
        ]
        assert all(isinstance(limit, float) for limit in limits)

    on_page(panel, scenario)


def test_stop_sends_zero_force_and_stops_the_loop_start_runs_it_again(panel, fake_arm):
    async def scenario(page: Page) -> None:
        await page.ask({"op": "add", "kind": "constant force"})
        await page.ask({"op": "set", "id": 1, "name": "force", "value": [0, 0, 2]})
        assert fake_arm.wait_for(lambda: fake_arm.forces[-1:] == [(0.0, 0.0, 2.0)])
        assert (await page.ask({"op": "stop"}))["type"] == "done"
        assert not panel.session.arm.running
        assert fake_arm.forces[-1] == (0.0, 0.0, 0.0) and fake_arm.quiet(0.05)
        await page.update_where(lambda u: not u["arm"]["running"])
        await page.ask({"op": "start"})
        assert fake_arm.wait_for(lambda: fake_arm.forces[-1:] == [(0.0, 0.0, 2.0)])

    on_page(panel, scenario)


def test_an_arm_that_stops_answering_shows_its_fault_and_refuses_changes(fake_handle):
    silent_after_50 = FakeArm(reply=lambda n, force: counting_reply(n, force) if n < 50 else None)
    try:
        with panel_on(silent_after_50.path, fake_handle.path) as panel:

            async def scenario(page: Page) -> None:
                update = await page.update_where(lambda u: u["arm"]["fault"] is not None)
                assert not update["arm"]["running"] and update["arm"]["state"] is None
                assert update["handle"]["status"]["count"] > 0, "the handle goes on"
                for request in ({"op": "start"}, {"op": "add", "kind": "damper"}):
                    answer = await page.ask(request)
                    assert answer["type"] == "refused" and silent_after_50.path in answer["message"], answer

            on_page(panel, scenario)
    finally:
        silent_after_50.close()


@pytest.mark.parametrize(
    "stiffness, timing, compensated, outside",
    [
        # The default loop at 1 kHz: the walls the sweep saw settle are green...
        (667.0, passivity.Timing.nominal(1000.0), True, False),
        (2000.0, passivity.Timing.nominal(1000.0), True, False),
        # ...and stay green on a loop that runs 30 % late now and then.
        (2000.0, passivity.Timing(1.3e-3, 1.3e-3), True, False),
        # Amber where the sweep rings: above its 18,400 N/m with compensation, above its 1,024
        # without.
        (40000.0, passivity.Timing.nominal(1000.0), True, True),
        (2000.0, passivity.Timing.nominal(1000.0), False, True),
    ],
)
def test_the_guidance_is_green_where_the_sweep_settles_and_amber_where_it_rings(
    stiffness, timing, compensated, outside
):
    bounds = guidance(timing, passivity.SIMULATED_ARM, stiffness, 0.0, compensated=compensated)
    assert bounds["stiffness"]["outside"] == outside
    # The damping that would bring it within; none does for the stiffest (left out).
    assert bounds.get("damping", {"outside": True})["outside"] == outside


def test_the_bounds_follow_the_loops_measured_delay_and_the_arms_damping(panel):
    def expected(timing: dict[str, Any], device_damping: float, damping: float) -> float:
        measured = passivity.Timing(timing["period_us"] * 1e-6, timing["age_us"] * 1e-6)
        return passivity.max_stiffness(measured, device_damping, damping, compensated=True, mass=0.25)

    async def scenario(page: Page) -> None:
        await page.ask({"op": "add", "kind": "spring"})
        update = await page.update_where(lambda u: u["arm"]["effects"] and u["arm"]["timing"]["measured"])
        effect, timing = update["arm"]["effects"][0], update["arm"]["timing"]
        # The loop compensates its delay (the default): the compensated bound, from the loop's
        # own recent 99th percentiles.
        assert timing["compensated"]
        damping = effect["values"]["damping"]
        assert effect["bounds"]["stiffness"]["most"] == pytest.approx(
            expected(timing, 2.0, damping), rel=0.02
        )
        for stiffness, outside in ((1.0, False), (1e6, True)):
            await page.ask({"op": "set", "id": 1, "name": "stiffness", "value": stiffness})
            update = await page.update_where(
                lambda u, k=stiffness: u["arm"]["effects"][0]["values"]["stiffness"] == k
            )
            bounds = update["arm"]["effects"][0]["bounds"]
            assert bounds["stiffness"]["outside"] == outside, bounds
            assert bounds.get("damping", {"outside": True})["outside"] == outside, bounds
        # An arm with more damping of its own carries more.
        await page.ask({"op": "device damping", "value": 20.0})
        update = await page.update_where(lambda u: u["arm"]["device_damping"] == 20.0)
        timing = update["arm"]["timing"]
        bounds = update["arm"]["effects"][0]["bounds"]
        assert bounds["stiffness"]["most"] == pytest.approx(expected(timing, 20.0, damping), rel=0.02)
        # Stopped, the bounds fall back on the rate the loop aims at.
        await page.ask({"op": "stop"})
        update = await page.update_where(lambda u: not u["arm"]["running"])
        assert update["arm"]["timing"] == {
            "period_us": pytest.approx(1000.0),
            "age_us": pytest.approx(1000.0),
            "measured": False,
            "compensated": True,
        }

    on_page(panel, scenario)


def test_a_recording_downloads_every_cycle_as_npz_csv_and_mcap(panel, tmp_path):
    async def scenario(page: Page) -> list[bytes]:
        async with aiohttp.ClientSession() as client:
            nothing = await client.get(f"{panel.base}/recording.npz?token={panel.token}")
            assert nothing.status == 404 and "nothing recorded" in await nothing.text()
            await page.ask({"op": "record", "on": True})
            await page.update_where(lambda u: u["arm"]["recording"]["rows"] > 300)
            await page.ask({"op": "record", "on": False})
            update = await page.update_where(lambda u: not u["arm"]["recording"]["on"])
            assert update["arm"]["recording"]["dropped"] == 0
            bodies = []
            for suffix in ("npz", "csv", "mcap"):
                async with client.get(f"{panel.base}/recording.{suffix}?token={panel.token}") as response:
                    assert response.status == 200
                    assert f"tamro-recording.{suffix}" in response.headers["Content-Disposition"]
                    bodies.append(await response.read())
            return bodies

    npz, csv, mcap = on_page(panel, scenario)
    with np.load(io.BytesIO(npz), allow_pickle=False) as archive:
        arm, handle = archive["arm"], archive["handle"]
    assert arm.dtype == tamro.RECORD_DTYPE and handle.dtype.names == tamro.HANDLE_RECORD_DTYPE.names
    assert len(arm) > 300 and len(handle) > 0
    assert (np.diff(arm["cycle"].astype(np.int64)) == 1).all(), "no cycle lost between drains"
    lines = csv.decode().splitlines()
    assert lines[0] == "cycle,time,x,y,z,vx,vy,vz,fx,fy,fz" and len(lines) == len(arm) + 1
    first = [float(v) for v in lines[1].split(",")]
    assert first[0] == arm["cycle"][0]
    np.testing.assert_allclose(first[2:5], arm["position"][0], rtol=1e-6)
    (tmp_path / "r.mcap").write_bytes(mcap)
    with AnyReader([tmp_path / "r.mcap"]) as reader:
        counts = {c.topic: c.msgcount for c in reader.connections}
        poses = [
            reader.deserialize(raw, c.msgtype).pose.position
            for c, _, raw in reader.messages()
            if c.topic == "/panel/arm/measured_cp"
        ]
    assert counts["/panel/arm/measured_cp"] == counts["/panel/arm/measured_cf"] == len(arm)
    assert counts["/panel/handle/measured_cp"] == len(handle)
    assert np.array_equal([(p.x, p.y, p.z) for p in poses], arm["position"])


# --- pages that misbehave -------------------------------------------------------------------------


def raw_connection(panel: Panel) -> socket.socket:
    connection = socket.create_connection(("127.0.0.1", panel.port), timeout=5)
    connection.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    return connection


def never_reading_page(panel: Panel) -> socket.socket:
    """An authenticated WebSocket that takes the handshake's answer and nothing after it."""
    connection = raw_connection(panel)
    key = base64.b64encode(os.urandom(16)).decode()
    connection.sendall(
        (
            f"GET /ws?token={panel.token} HTTP/1.1\r\nHost: 127.0.0.1:{panel.port}\r\n"
            f"Origin: {panel.base}\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
            f"Sec-WebSocket-Key: {key}\r\nSec-WebSocket-Version: 13\r\n\r\n"
        ).encode()
    )
    head = b""
    while not head.endswith(b"\r\n\r\n"):  # byte by byte: not one byte of a frame is taken
        head += connection.recv(1)
    assert head.startswith(b"HTTP/1.1 101"), head
    return connection


def closed_by_the_server(connection: socket.socket, within: float) -> bool:
    """Whether the server closes the connection within that many seconds; what it sent
    before is read and dropped meanwhile."""
    deadline = time.monotonic() + within
    connection.settimeout(0.2)
    while time.monotonic() < deadline:
        try:
            if connection.recv(1 << 16) == b"":
                return True
        except ConnectionResetError:
            return True
        except TimeoutError:
            continue
    return False


def test_a_page_that_never_reads_holds_up_neither_other_pages_nor_the_recording(fake_arm, fake_handle):
    with panel_on(fake_arm.path, fake_handle.path, send_timeout=3.0) as panel:
        stalled = [never_reading_page(panel) for _ in range(2)]

        async def scenario(page: Page) -> tuple[list[float], dict[str, Any]]:
            # Effects make each update longer, so the stalled pages' buffers fill sooner.
            for _ in range(8):
                await page.ask({"op": "add", "kind": "box"})
            await page.ask({"op": "record", "on": True})
            arrivals = []
            end = time.monotonic() + 8.0
            while time.monotonic() < end:
                await page.next("update", timeout=2.0)
                arrivals.append(time.monotonic())
            return arrivals, await page.next("update")

        arrivals, last = on_page(panel, scenario)
        assert max(np.diff(arrivals)) < 1.0, "the updates of the page that reads stalled"
        recording = last["arm"]["recording"]
        assert recording["on"] and recording["dropped"] == 0 and recording["rows"] > 1000, (
            recording,
            last["arm"]["running"],
            last["arm"]["fault"],
        )
        assert all(closed_by_the_server(connection, within=10.0) for connection in stalled)
        for connection in stalled:
            connection.close()


def test_half_sent_requests_are_timed_out(fake_arm):
    with panel_on(fake_arm.path, None, request_timeout=1.0) as panel:
        halves = [raw_connection(panel) for _ in range(50)]
        for connection in halves:
            connection.sendall(f"GET /?token={panel.token} HTTP/1.1\r\nHost: 127.0.0.1".encode())
        assert fetch(panel.url, {}) == 200, "the panel still answers meanwhile"
        start = time.monotonic()
        assert all(closed_by_the_server(connection, within=10.0) for connection in halves)
        assert time.monotonic() - start < 10.0
        for connection in halves:
            connection.close()


# --- the program --------------------------------------------------------------------------------


def children_of(pid: int) -> list[int]:
    found = []
    for stat in Path("/proc").glob("[0-9]*/stat"):
        with contextlib.suppress(OSError):
            if int(stat.read_text().rsplit(") ", 1)[1].split()[1]) == pid:
                found.append(int(stat.parent.name))
    return found


def gone(pid: int) -> bool:
    try:
        return Path(f"/proc/{pid}/stat").read_text().split(") ")[1].startswith("Z")
    except FileNotFoundError:
        return True


@pytest.mark.parametrize("host, warned", [(None, False), ("127.0.0.2", True)])
def test_the_program_serves_until_ctrl_c_then_stops_everything(host, warned):
    command = [sys.executable, "-m", "tamro.programs.panel", "--simulate", "--no-browser", "--port", "0"]
    if host:
        command += ["--host", host]
    program = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        line = program.stdout.readline()
        match = re.fullmatch(r"http://(127\.0\.0\.[12]):(\d+)/\?token=([A-Za-z0-9_-]{20,})\n", line)
        assert match, line
        assert match[1] == (host or "127.0.0.1")
        simulators = [
            pid
            for pid in children_of(program.pid)
            if "tamro-simulator" in Path(f"/proc/{pid}/cmdline").read_text()
        ]
        assert len(simulators) == 1
        assert fetch(line.strip(), {}) == 200
        program.send_signal(signal.SIGINT)
        out, err = program.communicate(timeout=30)
    finally:
        if program.poll() is None:
            program.kill()
            program.wait()
    assert program.returncode == 0, err
    assert out == "", "one line, the address, and nothing more on standard output"
    assert ("warning: listening on 127.0.0.2" in err) == warned, err
    assert wait_until(lambda: gone(simulators[0])), "the simulator outlived the panel"


def test_the_program_refuses_conflicting_options():
    for options, message in [
        (["--simulate", "--arm", "/dev/ttyACM0"], "leave out --arm"),
        (["--rate-hz", "0"], "--rate-hz"),
        (["--port", "70000"], "--port"),
    ]:
        done = subprocess.run(
            [sys.executable, "-m", "tamro.programs.panel", "--no-browser", *options],
            capture_output=True,
            text=True,
            timeout=60,
        )
        assert done.returncode == 2 and message in done.stderr, done.stderr


def test_an_unusable_port_is_shown_with_the_doctors_findings(simulator):
    session = open_session("/dev/tamro-no-such-arm", simulator.handles[0], detect=False)
    try:
        assert session.arm is None and session.handle is not None and session.handle.running
        assert (
            "/dev/tamro-no-such-arm" in session.problems["arm"] and "No such file" in session.problems["arm"]
        )
        assert re.match(r"tamro-doctor: \d+ serial port|No Tamro device is attached", session.findings)
        hello = session.hello()
        assert hello["arm"] is None and hello["problems"] == session.problems and hello["findings"]
        with pytest.raises(tamro.programs.panel.Refused, match="no arm: /dev/tamro-no-such-arm"):
            session.handle_request({"op": "add", "kind": "spring"})
    finally:
        session.close()
    assert session.handle.closed


def test_closing_stops_the_loop_the_reader_and_the_simulator_it_started():
    session = open_session(None, None, simulate=True)
    arm, handle, simulator = session.arm, session.handle, session.simulator
    assert arm.running and handle.running and simulator.running
    session.close()
    assert arm.closed and not arm.running and handle.closed and not handle.running
    assert not simulator.running and simulator.process.returncode == 0


# --- the page in a browser ----------------------------------------------------------------------


@pytest.fixture
def browser(monkeypatch):
    """Headless Chromium (Debian's chromium and chromium-driver) through Selenium."""
    from selenium import webdriver
    from selenium.common.exceptions import WebDriverException
    from selenium.webdriver.chrome.service import Service

    # Selenium may not go looking for a browser of its own: the machine's, or none.
    monkeypatch.setenv("SE_OFFLINE", "true")
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for argument in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--window-size=1400,1000"):
        options.add_argument(argument)
    try:
        driver = webdriver.Chrome(options=options, service=Service("/usr/bin/chromedriver"))
    except (WebDriverException, OSError) as error:
        pytest.skip(f"headless Chromium cannot start on this machine: {error}")
    try:
        yield driver
    finally:
        driver.quit()


def test_the_page_in_chromium_shows_the_rate_tunes_a_spring_and_stops_the_loop(browser, simulator, tmp_path):
    from selenium.webdriver.common.by import By
    from selenium.webdriver.common.keys import Keys
    from selenium.webdriver.support.ui import WebDriverWait

    def rate_shown(driver) -> float:
        text = driver.find_element(By.ID, "arm-rate").text
        return float(text) if re.fullmatch(r"\d+", text) else 0.0

    with panel_on(simulator.arms[0], simulator.handles[0]) as panel:
        loop = panel.session.arm
        browser.get(panel.url)
        wait = WebDriverWait(browser, 15)
        wait.until(lambda d: rate_shown(d) > 0)  # the page as served shows "–"

        browser.find_element(By.CSS_SELECTOR, 'button[data-kind="spring"]').click()
        assert wait_until(lambda: len(loop.effects) == 1, timeout=15)
        spring = loop.effects[0]
        slider = wait.until(
            lambda d: d.find_element(By.CSS_SELECTOR, '.effect input[type=range][data-name="stiffness"]')
        )
        slider.send_keys(*[Keys.ARROW_RIGHT] * 5)  # five steps of 10 N/m
        assert wait_until(lambda: spring.stiffness == 150.0, timeout=15), spring.stiffness
        field = browser.find_element(By.CSS_SELECTOR, 'input[type=number][data-name="stiffness"]')
        field.send_keys(Keys.END, *[Keys.BACKSPACE] * 3, "-3", Keys.ENTER)
        message = "stiffness must be a finite number >= 0, not -3"
        wait.until(lambda d: d.find_element(By.ID, "message").text == message)
        assert "invalid" in field.get_attribute("class") and spring.stiffness == 150.0

        browser.save_screenshot(str(tmp_path / "panel.png"))
        artifacts = ROOT / "build" / "test-artifacts"
        artifacts.mkdir(parents=True, exist_ok=True)
        browser.save_screenshot(str(artifacts / "panel.png"))

        browser.find_element(By.ID, "stop").click()
        assert wait_until(lambda: not loop.running, timeout=15)
        wait.until(lambda d: d.find_element(By.ID, "loop-state").text == "loop stopped")
        wait.until(lambda d: d.find_element(By.ID, "arm-rate").text == "0 (stopped)")

        browser.find_element(By.ID, "start").click()
        assert wait_until(lambda: loop.running, timeout=15)
        wait.until(lambda d: rate_shown(d) > 0)
        browser.find_element(By.TAG_NAME, "body").send_keys(Keys.SPACE)
        assert wait_until(lambda: not loop.running, timeout=15), "the space bar stops the loop"
        assert browser.get_log("browser") == [], "the page logged errors"
    assert os.path.getsize(tmp_path / "panel.png") > 10_000

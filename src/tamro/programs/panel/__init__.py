"""tamro-panel: a live panel in the browser for the arm and the handle.

The arm runs in a ``tamro.ServoLoop`` and the handle in a ``tamro.HandleReader``; a local web
server shows both on one page, about 30 times a second, and lets the page add, move and tune
effects while a hand holds the arm, start and stop the loop, and record. The server only reads
the loop's and the reader's latest figures and sets effect parameters: nothing of the servo path
waits on it. See docs/panel.md.

It listens on 127.0.0.1 only (``--host`` for another address, with a warning) and answers only
requests that carry its random token and come from its own page.
"""

from __future__ import annotations

import argparse
import asyncio
import secrets
import signal
import subprocess
import sys
import threading
import webbrowser
from collections.abc import Sequence

from tamro import HandleReader, ServoLoop, Simulator, detect_arms, detect_handles, passivity
from tamro.terminal import shown

from ._session import KINDS, Refused, Session

__all__ = ["main", "open_session", "Session", "Refused", "KINDS"]

DEFAULT_PORT = 8765
LOOPBACK = "127.0.0.1"


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="tamro-panel",
        description="A live panel in the browser: the arm and the handle as they move, the servo "
        "loop's figures, and effects to add and tune while you hold the arm.",
        epilog="With neither --arm nor --handle it uses the devices detection finds, or the "
        "simulator when nothing is attached. Ctrl-C brings the arm to zero force and stops "
        "everything. See docs/panel.md.",
    )
    parser.add_argument("--arm", metavar="PORT", help="the arm's serial port")
    parser.add_argument("--handle", metavar="PORT", help="the handle's serial port")
    parser.add_argument(
        "--simulate", action="store_true", help="start the simulator (one arm, one handle) and use it"
    )
    parser.add_argument(
        "--rate-hz", metavar="HZ", type=float, default=1000.0, help="the servo loop's rate (default 1000)"
    )
    parser.add_argument(
        "--realtime",
        action="store_true",
        help="run the servo loop at real-time priority (a browser on the same machine takes CPU "
        "from it; see docs/servo-loop.md for how to allow it)",
    )
    parser.add_argument(
        "--port",
        metavar="N",
        type=int,
        default=DEFAULT_PORT,
        help=f"the web server's port (default {DEFAULT_PORT}; 0 picks a free one)",
    )
    parser.add_argument(
        "--host",
        default=LOOPBACK,
        help=f"the address to listen on (default {LOOPBACK}; any other is reachable from elsewhere)",
    )
    parser.add_argument("--no-browser", action="store_true", help="do not open the page in a browser")
    parser.add_argument(
        "--tuned",
        metavar="FILE",
        help="the arm's mass and damping for the bounds, from the file tamro-tune --save wrote "
        "(default: the simulated arm's)",
    )
    return parser


def _say(text: str) -> None:
    print(f"tamro-panel: {text}", file=sys.stderr, flush=True)


def _doctor() -> str:
    """tamro-doctor's report, as the program prints it."""
    try:
        done = subprocess.run(
            [sys.executable, "-m", "tamro.programs.doctor"], capture_output=True, text=True, timeout=60
        )
    except (OSError, subprocess.TimeoutExpired) as error:
        return f"tamro-doctor could not run: {error}"
    return done.stdout + done.stderr


def open_session(
    arm_port: str | None,
    handle_port: str | None,
    *,
    simulate: bool = False,
    rate_hz: float = 1000.0,
    realtime: bool = False,
    detect: bool = True,
    model: passivity.Arm = passivity.SIMULATED_ARM,
) -> Session:
    """Opens the devices the options name (detected ones, or the simulator's) and starts the
    loop with no effects. A port that cannot be opened is named in ``problems``, beside
    tamro-doctor's findings; the panel still serves the rest."""
    simulator: Simulator | None = None
    if not simulate and arm_port is None and handle_port is None and detect:
        arms, handles = detect_arms(), detect_handles()
        arm_port = arms[0] if arms else None
        handle_port = handles[0] if handles else None
        simulate = arm_port is None and handle_port is None
        if simulate:
            _say("no arm or handle is attached: using the simulator instead")
    if simulate:
        simulator = Simulator(arms=1, handles=1)
        arm_port, handle_port = simulator.arms[0], simulator.handles[0]

    arm: ServoLoop | None = None
    handle: HandleReader | None = None
    problems: dict[str, str] = {}

    def open_arm() -> None:
        nonlocal arm
        if arm_port is not None:
            try:
                arm = ServoLoop(arm_port, rate_hz=rate_hz, realtime=realtime, guard=True)
            except (OSError, ValueError, TypeError) as error:  # TimeoutError is an OSError
                problems["arm"] = f"{arm_port}: {error}"

    def open_handle() -> None:
        nonlocal handle
        if handle_port is not None:
            try:
                handle = HandleReader(handle_port)
            except (OSError, ValueError, TypeError) as error:
                problems["handle"] = f"{handle_port}: {error}"

    try:
        open_arm()
        open_handle()
        findings = ""
        if problems:
            for device, problem in problems.items():
                _say(f"the {device} is not usable: {problem}; asking tamro-doctor")
            # The doctor probes every port: the devices that did open are let go meanwhile.
            for opened in (arm, handle):
                if opened is not None:
                    opened.close()
            arm = handle = None
            findings = _doctor()
            problems.clear()
            open_arm()
            open_handle()
        if arm is not None:
            arm.start()
        return Session(arm, handle, simulator=simulator, problems=problems, findings=findings, model=model)
    except BaseException:
        for opened in (arm, handle):
            if opened is not None:
                opened.close()
        if simulator is not None:
            simulator.stop()
        raise


def _open_browser(url: str) -> None:
    # A text browser may take the terminal: the page opens beside the server, never in its way.
    threading.Thread(target=webbrowser.open, args=(url,), daemon=True).start()


async def _serve(session: Session, args: argparse.Namespace, token: str) -> None:
    from ._server import serve

    stop = asyncio.Event()
    loop = asyncio.get_running_loop()
    for number in (signal.SIGINT, signal.SIGTERM):
        loop.add_signal_handler(number, stop.set)

    def ready(port: int) -> None:
        host = f"[{args.host}]" if ":" in args.host else args.host
        url = f"http://{host}:{port}/?token={token}"
        print(url, flush=True)
        if not args.no_browser:
            _open_browser(url)

    await serve(session, token, args.host, args.port, stop, ready)


def main(argv: Sequence[str] | None = None) -> int:
    parser = _parser()
    args = parser.parse_args(argv)
    if args.simulate and (args.arm or args.handle):
        parser.error("--simulate uses the simulator's devices: leave out --arm and --handle")
    if not 0 < args.rate_hz <= 100_000:
        parser.error("--rate-hz takes more than 0 and at most 100000")
    if not 0 <= args.port <= 65535:
        parser.error("--port takes 0 to 65535")
    try:
        import aiohttp  # noqa: F401
    except ImportError:
        _say("the panel needs aiohttp: pip install 'TamroHardwareAPI[panel]'")
        return 1
    if args.host != LOOPBACK:
        _say(
            f"warning: listening on {args.host}, not only on this machine ({LOOPBACK}): whoever "
            "reaches that address and learns the token can drive the arm"
        )
    model = passivity.SIMULATED_ARM
    if args.tuned is not None:
        try:
            model = passivity.Arm.load(args.tuned)
        except (OSError, ValueError) as error:
            _say(f"cannot read the tuned arm: {shown(str(error))}")
            return 1
    try:
        session = open_session(
            args.arm,
            args.handle,
            simulate=args.simulate,
            rate_hz=args.rate_hz,
            realtime=args.realtime,
            model=model,
        )
    except KeyboardInterrupt:
        return 130
    except (OSError, RuntimeError) as error:  # the simulator missing or not coming up
        _say(str(error))
        return 1
    token = secrets.token_urlsafe(24)
    try:
        asyncio.run(_serve(session, args, token))
    except OSError as error:  # the port is taken
        _say(f"cannot listen on {args.host}:{args.port}: {error.strerror or error}")
        return 1
    finally:
        session.close()
    return 0

"""Every program refuses a number it cannot honour (not finite, out of range, too large to
wait on), and a peer address it cannot use, with argparse's one-line usage error and exit
status 2, before it opens anything."""

from __future__ import annotations

from collections.abc import Callable, Sequence

import pytest

import tamro
from tamro.programs import bridge, record, teleop

Main = Callable[[Sequence[str] | None], int]

BRIDGE = ["--name", "lab", "--arm", "/dev/null"]
TELEOP = ["--name", "left", "--peer", "right", "--simulate"]


@pytest.mark.parametrize(
    "main, args, option",
    [
        (bridge.main, [*BRIDGE, "--domain", "99999999999"], "--domain"),
        (bridge.main, [*BRIDGE, "--max-force", "1e308"], "--max-force"),
        (bridge.main, [*BRIDGE, "--max-force", str(tamro.MAX_DEVICE_FORCE * 1.01)], "--max-force"),
        (bridge.main, [*BRIDGE, "--max-force", "0"], "--max-force"),
        (bridge.main, [*BRIDGE, "--rate-hz", "nan"], "--rate-hz"),
        (bridge.main, [*BRIDGE, "--publish-hz", "-5"], "--publish-hz"),
        (bridge.main, [*BRIDGE, "--servo-timeout", "inf"], "--servo-timeout"),
        (bridge.main, [*BRIDGE, "--servo-stiffness", "1e999"], "--servo-stiffness"),
        (teleop.main, [*TELEOP, "--seconds", "1e308"], "--seconds"),
        (teleop.main, [*TELEOP, "--seconds", "nan"], "--seconds"),
        (teleop.main, [*TELEOP, "--seconds", "-1"], "--seconds"),
        (teleop.main, [*TELEOP, "--link-timeout", "0"], "--link-timeout"),
        (teleop.main, [*TELEOP, "--reflect", "11"], "--reflect"),
        (teleop.main, [*TELEOP, "--damping", "-1"], "--damping"),
        (teleop.main, [*TELEOP, "--loss", "1.5"], "--loss"),
        (teleop.main, [*TELEOP, "--delay-ms", "20000"], "--delay-ms"),
        (teleop.main, [*TELEOP, "--jitter-ms", "nan"], "--jitter-ms"),
        (teleop.main, [*TELEOP, "--max-force", "1e39"], "--max-force"),
        (record.main, ["-o", "x.mcap", "--seconds", "nan"], "--seconds"),
        (bridge.main, [*BRIDGE, "--peer-address", "10.0.0.256"], "--peer-address"),
        (bridge.main, [*BRIDGE, "--peer-address", "peer.lab"], "--peer-address"),
        (record.main, ["-o", "x.mcap", "--peer-address", "239.255.0.1"], "--peer-address"),
        (teleop.main, [*TELEOP, "--peer-address", "0.0.0.0"], "--peer-address"),
        (teleop.main, [*TELEOP, "--peer-address", "10.0.0.2", "--loopback"], "--loopback"),
    ],
)
def test_an_impossible_number_is_a_usage_error(
    main: Main, args: list[str], option: str, capsys: pytest.CaptureFixture[str]
) -> None:
    with pytest.raises(SystemExit) as exited:
        main(args)
    assert exited.value.code == 2
    err = capsys.readouterr().err
    assert "Traceback" not in err
    last = err.splitlines()[-1]
    assert option in last and "error:" in last


@pytest.mark.parametrize("text", ["0.5", "1e-3", "3600"])
def test_sensible_seconds_are_taken(text: str) -> None:
    from tamro.programs import _cli

    assert _cli.seconds(text) == float(text)


def test_a_peer_address_does_not_override_a_configuration_of_ones_own(
    monkeypatch: pytest.MonkeyPatch, capsys: pytest.CaptureFixture[str]
) -> None:
    """CYCLONEDDS_URI set and --peer-address given: one of them would be ignored without a word."""
    monkeypatch.setenv("CYCLONEDDS_URI", "file:///etc/cyclone.xml")
    with pytest.raises(SystemExit) as exited:
        bridge.main([*BRIDGE, "--peer-address", "10.0.0.2"])
    assert exited.value.code == 2
    last = capsys.readouterr().err.splitlines()[-1]
    assert "--peer-address" in last and "CYCLONEDDS_URI" in last

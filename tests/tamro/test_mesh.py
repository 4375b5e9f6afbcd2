"""tamro.Mesh: its checks and its force without history, files through trimesh, and the proxy
rendered by the loop on the simulator (a push settling at F/K, corners and edges that hold,
friction on a slope). The tree against brute force, the thin plate and allocation are the C++
tests' (Library/tests/test_mesh.cpp)."""

from __future__ import annotations

import math
import sys

import numpy as np
import pytest
from fakedevice import wait_until

import tamro


def box(lower, upper) -> tuple[np.ndarray, np.ndarray]:
    """A closed axis-aligned box, faces counter-clockwise seen from outside."""
    lo, hi = np.asarray(lower, float), np.asarray(upper, float)
    corners = np.array(
        [[hi[0] if i & 1 else lo[0], hi[1] if i & 2 else lo[1], hi[2] if i & 4 else lo[2]] for i in range(8)]
    )
    faces = np.array(
        [[0, 2, 1], [1, 2, 3], [4, 5, 6], [5, 7, 6], [0, 1, 4], [1, 5, 4],
         [2, 6, 3], [3, 6, 7], [0, 4, 2], [2, 4, 6], [1, 3, 5], [3, 7, 5]]
    )  # fmt: skip
    return corners, faces


CUBE = box((-0.05, -0.05, -0.05), (0.05, 0.05, 0.05))


@pytest.mark.parametrize(
    "make, error, message",
    [
        (lambda: tamro.Mesh(CUBE[0][:, :2], CUBE[1], stiffness=1), ValueError, "vertices must have shape"),
        (
            lambda: tamro.Mesh(CUBE[0], CUBE[1].astype(float), stiffness=1),
            TypeError,
            "faces must be integers",
        ),
        (lambda: tamro.Mesh(CUBE[0], CUBE[1] + 1, stiffness=1), ValueError, "faces: index 8 out of range"),
        (lambda: tamro.Mesh(CUBE[0], -CUBE[1] - 1, stiffness=1), ValueError, "out of range"),
        (lambda: tamro.Mesh(CUBE[0], CUBE[1] + 2**32, stiffness=1), ValueError, "out of range"),
        (lambda: tamro.Mesh(CUBE[0], np.zeros((0, 3), int), stiffness=1), ValueError, "must not be empty"),
        (
            lambda: tamro.Mesh(np.where(CUBE[0] > 0, np.nan, CUBE[0]), CUBE[1], stiffness=1),
            ValueError,
            "finite",
        ),
        (lambda: tamro.Mesh(*CUBE, stiffness=-1), ValueError, "stiffness"),
        (lambda: tamro.Mesh(*CUBE, stiffness=1, friction=(0.2, 0.3)), ValueError, "friction"),
        (lambda: tamro.Mesh(*CUBE, stiffness=1, friction=0.2), TypeError, "friction must be two numbers"),
        (lambda: tamro.Mesh(*CUBE, stiffness=1, radius=-0.01), ValueError, "radius"),
        (lambda: tamro.Mesh(*CUBE, stiffness=1, radius=math.inf), ValueError, "radius"),
    ],
)
def test_bad_meshes_and_parameters_are_refused(make, error, message):
    with pytest.raises(error, match=message):
        make()


def test_a_bad_pose_is_refused_and_leaves_the_mesh_as_it_was():
    mesh = tamro.Mesh(*CUBE, stiffness=1000)
    bad = [
        (((0, 0, 0), (0, 0, 0, 0)), ValueError),
        (((0, 0, math.inf), (1, 0, 0, 0)), ValueError),
        (((0, 0, 0), (1, 0, 0)), ValueError),
        ((0, 0, 0), TypeError),
    ]
    for pose, error in bad:
        with pytest.raises(error, match="pose"):
            mesh.pose = pose
    assert mesh.pose == ((0.0, 0.0, 0.0), (1.0, 0.0, 0.0, 0.0))


def test_without_history_the_force_pushes_out_of_a_closed_mesh_in_its_pose():
    mesh = tamro.Mesh(*CUBE, stiffness=1000, damping=10)
    assert np.allclose(mesh.force_at((0, 0, 0.06)), 0)  # outside: nothing
    assert np.allclose(mesh.force_at((0, 0, 0.04)), (0, 0, 10))  # 1 cm under the top
    assert np.allclose(mesh.force_at((0, 0, 0.04), (0, 0, -0.5)), (0, 0, 15))  # and damped
    # Moved 1 m along x and turned 90 degrees about z: the same point of the cube, in the world.
    h = math.sqrt(0.5)
    mesh.pose = ((1, 0, 0), (h, 0, 0, h))
    assert np.allclose(mesh.force_at((1.04, 0, 0)), (10, 0, 0))
    assert np.allclose(mesh.force_at((0, 0, 0.04)), 0)
    assert mesh.vertices.flags.writeable is False


def test_a_sphere_proxy_without_history_keeps_its_radius_from_the_surface():
    mesh = tamro.Mesh(*CUBE, stiffness=1000, radius=0.01)
    assert np.allclose(mesh.force_at((0, 0, 0.065)), 0)  # beyond the radius: nothing
    assert np.allclose(mesh.force_at((0, 0, 0.055)), (0, 0, 5))  # 5 mm within it
    assert np.allclose(mesh.force_at((0, 0, 0.04)), (0, 0, 20))  # inside: out to the radius
    # Off a corner, along the diagonal, toward the point the radius away from it.
    corner = np.full(3, 0.05) + 0.004 / math.sqrt(3)
    assert np.allclose(mesh.force_at(corner), 1000 * 0.006 / math.sqrt(3))


def test_edges_list_each_edge_once_with_its_faces_and_open_ones_marked():
    ends, faces = tamro.Mesh(*CUBE, stiffness=1).edges
    assert ends.shape == faces.shape == (18, 2) and np.all(faces >= 0)  # closed
    # A square of two faces: four open sides, and the diagonal they share.
    square = tamro.Mesh([[0, 0, 0], [1, 0, 0], [1, 1, 0], [0, 1, 0]], [[0, 1, 2], [0, 2, 3]], stiffness=1)
    ends, faces = square.edges
    shared = {tuple(e) for e, f in zip(ends.tolist(), faces.tolist(), strict=True) if f[1] >= 0}
    opened = {tuple(e) for e, f in zip(ends.tolist(), faces.tolist(), strict=True) if f[1] < 0}
    assert shared == {(0, 2)} and opened == {(0, 1), (1, 2), (2, 3), (0, 3)}
    assert ends.flags.writeable is False


def test_load_reads_a_file_through_trimesh_scaled(tmp_path):
    trimesh = pytest.importorskip("trimesh")
    path = tmp_path / "cube.stl"
    trimesh.creation.box(extents=(100, 100, 100)).export(path)  # millimetres
    mesh = tamro.Mesh.load(path, scale=0.001, stiffness=1000)
    assert len(mesh.faces) == 12
    assert np.allclose(mesh.force_at((0, 0, 0.04)), (0, 0, 10))


def test_load_without_trimesh_names_the_extra(monkeypatch, tmp_path):
    monkeypatch.setitem(sys.modules, "trimesh", None)
    with pytest.raises(ImportError, match=r"\[mesh\]"):
        tamro.Mesh.load(tmp_path / "any.stl", stiffness=1000)


# --- the proxy, rendered by the loop against the simulator (its arm starts at the origin) ----


def run(simulator, effects, cycles: int) -> np.ndarray:
    """The recorded cycles of a loop rendering effects until it has run `cycles`, and its stats."""
    with tamro.ServoLoop(simulator.arms[0]) as loop:
        loop.record(cycles + 2000)
        loop.effects = effects
        assert wait_until(lambda: loop.state().cycle > cycles, timeout=20)
        stats = loop.stats()
        rows = loop.drain()
    return rows, stats


@pytest.mark.parametrize("radius", [0.0, 0.005])
def test_a_box_pushed_with_two_newtons_settles_at_force_over_stiffness(simulator, radius):
    # A sphere proxy keeps its centre the radius off the box: the depth counts from there.
    stiffness = 1000.0
    mesh = tamro.Mesh(
        *box((-0.05, -0.05, -0.09), (0.05, 0.05, -0.02 - radius)),
        stiffness=stiffness,
        damping=10.0,
        radius=radius,
    )
    rows, stats = run(simulator, [mesh, tamro.ConstantForce((0, 0, -2.0))], 1500)
    depth = -0.02 - rows["position"][-1][2]
    assert depth == pytest.approx(2.0 / stiffness, rel=0.1)
    # The loop times the proxy's every cycle.
    assert 0 < stats["contact_p99_us"] <= stats["contact_max_us"]


def test_the_proxy_is_read_where_the_surface_holds_the_pressed_arm(simulator):
    mesh = tamro.Mesh(*box((-0.05, -0.05, -0.09), (0.05, 0.05, -0.02)), stiffness=1000.0, damping=10.0)
    assert mesh.proxy is None  # in no loop
    with tamro.ServoLoop(simulator.arms[0]) as loop:
        loop.effects = [mesh]
        assert wait_until(lambda: loop.state().cycle > 50, timeout=20)
        assert mesh.proxy is None  # touching nothing
        loop.effects = [mesh, tamro.ConstantForce((0, 0, -2.0))]
        assert wait_until(lambda: mesh.proxy is not None and loop.state().position[2] < -0.021, timeout=20)
        proxy, position = mesh.proxy, loop.state().position
        assert proxy is not None and proxy.shape == (3,)
        assert proxy[2] == pytest.approx(-0.02, abs=1e-6)  # on the top face, above the arm
        assert np.allclose(proxy[:2], position[:2], atol=1e-3)
    assert mesh.proxy is None  # the loop is closed


@pytest.mark.parametrize(
    "upper, push",
    [
        ((-0.02, -0.02, -0.02), (-3.0, -3.0, -3.0)),  # into a corner
        ((-0.02, -0.02, 0.2), (-3.0, -3.0, 0.0)),  # into a vertical edge
    ],
)
def test_a_push_into_a_corner_or_an_edge_never_passes_through(simulator, upper, push):
    stiffness = 2000.0
    mesh = tamro.Mesh(*box((-0.2, -0.2, -0.2), upper), stiffness=stiffness, damping=10.0)
    rows, stats = run(simulator, [mesh, tamro.ConstantForce(push)], 2500)
    pushed = [axis for axis in range(3) if push[axis] != 0]
    # How far inside the box each cycle was, along the pushed axes (the least of them). Through
    # the surface, nothing would push back and the arm would end on the workspace's wall, 8 cm in;
    # held, it overshoots by its speed at the touch (a centimetre or two: the loop's force is
    # clamped at 10 N) and settles at F/K.
    inside = np.min(np.array(upper)[pushed] - rows["position"][:, pushed], axis=1)
    expected = np.linalg.norm(push) / stiffness / math.sqrt(len(pushed))  # along each axis
    deepest = int(np.argmax(inside))
    assert inside.max() < 0.04, (
        f"{inside.max()} m in at cycle {rows['cycle'][deepest]}; the loop's longest stall "
        f"{stats['longest_stall_us']:.0f} us, guard firings {stats['guard_firings']}, "
        f"late cycles {stats['late_cycles']}, failed exchanges {stats['failed_exchanges']}"
    )
    # Settled: the last 0.3 s on average (a loaded machine's late cycles leave some ringing).
    assert inside[-300:].mean() == pytest.approx(expected, rel=0.2), inside[-300:]


@pytest.mark.parametrize("friction, slides", [((0.5, 0.4), False), ((0.2, 0.15), True)])
def test_friction_holds_on_a_slope_below_the_cone_and_slides_above(simulator, friction, slides):
    # A wide slope 20 degrees about y through z = -0.02, going down toward +x; a 2 N push
    # straight down wants tan(20 degrees) = 0.36 of friction to hold.
    a = math.radians(20)
    corners = np.array(
        [[u * math.cos(a), w, -0.02 - u * math.sin(a)] for u, w in [(-1, -1), (1, -1), (1, 1), (-1, 1)]]
    )
    mesh = tamro.Mesh(corners, [[0, 1, 2], [0, 2, 3]], stiffness=1000.0, damping=10.0, friction=friction)
    rows, _ = run(simulator, [mesh, tamro.ConstantForce((0, 0, -2.0))], 1500)
    pressed = rows["position"][rows["position"][:, 2] < -0.015]  # from the touch on
    moved = pressed[-1][0] - pressed[0][0]
    if slides:
        assert moved > 0.03, moved
    else:
        assert abs(moved) < 0.003, moved

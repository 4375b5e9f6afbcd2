"""tamro-keystore: SROS2's layout, keys private, nothing overwritten, permissions by role; and
how a participant finds its enclave (arguments, then ROS 2's variables)."""

from __future__ import annotations

import stat
import warnings
from pathlib import Path

import pytest

pytest.importorskip("cryptography", reason="needs the cryptography package (the keystore extra)")

from cryptography import x509  # noqa: E402

from tamro.network import find_enclave  # noqa: E402
from tamro.programs import keystore  # noqa: E402
from tamro.programs.keystore._store import enclave_topics  # noqa: E402

PUBLIC = ["ca.cert.pem", "identity_ca.cert.pem", "permissions_ca.cert.pem"]
PRIVATE = ["ca.key.pem", "identity_ca.key.pem", "permissions_ca.key.pem"]
ENCLAVE = [
    "cert.pem",
    "key.pem",
    "identity_ca.cert.pem",
    "permissions_ca.cert.pem",
    "governance.p7s",
    "permissions.xml",
    "permissions.p7s",
]


def test_the_layout_is_sros2s_with_private_keys_and_matching_subjects(tmp_path: Path, capsys) -> None:
    root = tmp_path / "keys"
    assert keystore.main(["create", str(root), "--sign-only"]) == 0
    assert keystore.main(["enclave", str(root), "/lab/bridge", "--role", "bridge", "--namespace", "lab"]) == 0
    for name in PUBLIC:
        assert (root / "public" / name).is_file(), name
    for name in PRIVATE:
        assert (root / "private" / name).is_file(), name
    assert {p.name for p in (root / "enclaves").iterdir()} >= {"governance.xml", "governance.p7s", "lab"}
    assert (
        b"<data_protection_kind>SIGN</data_protection_kind>"
        in (root / "enclaves/governance.xml").read_bytes()
    )
    enclave = root / "enclaves" / "lab" / "bridge"
    assert sorted(p.name for p in enclave.iterdir()) == sorted(ENCLAVE)
    for key in (root / "private" / "ca.key.pem", enclave / "key.pem"):
        assert stat.S_IMODE(key.stat().st_mode) == 0o600, key
    cert = x509.load_pem_x509_certificate((enclave / "cert.pem").read_bytes())
    ca = x509.load_pem_x509_certificate((root / "public" / "ca.cert.pem").read_bytes())
    assert cert.issuer == ca.subject
    cert.verify_directly_issued_by(ca)
    document = (enclave / "permissions.xml").read_text()
    assert f"<subject_name>{cert.subject.rfc4514_string()}</subject_name>" in document
    assert "<topic>rt/lab/*/servo_cf</topic>" in document and "<topic>ros_discovery_info</topic>" in document
    signed = (enclave / "permissions.p7s").read_text()
    assert "application/x-pkcs7-signature" in signed and "<default>DENY</default>" in signed


def test_nothing_is_overwritten_and_the_file_in_the_way_is_named(tmp_path: Path, capsys) -> None:
    root = tmp_path / "keys"
    assert keystore.main(["create", str(root)]) == 0
    assert keystore.main(["enclave", str(root), "/lab/op", "--role", "operator"]) == 0
    key = (root / "enclaves/lab/op/key.pem").read_bytes()
    ca = (root / "private/ca.key.pem").read_bytes()
    capsys.readouterr()
    assert keystore.main(["create", str(root)]) == 1
    assert "ca.cert.pem exists: not overwritten" in capsys.readouterr().err
    assert keystore.main(["enclave", str(root), "/lab/op", "--role", "observer"]) == 1
    assert "cert.pem exists: not overwritten" in capsys.readouterr().err
    assert (root / "enclaves/lab/op/key.pem").read_bytes() == key
    assert (root / "private/ca.key.pem").read_bytes() == ca
    for bad in (
        ["enclave", str(root), "lab/x", "--role", "bridge"],
        ["enclave", str(tmp_path / "none"), "/x", "--role", "bridge"],
    ):
        assert keystore.main(bad) == 1
        assert capsys.readouterr().err.startswith("tamro-keystore: ")


@pytest.mark.parametrize(
    "role, may_publish, may_not_publish",
    [
        ("bridge", {"measured_cp", "measured_cf", "coupling_cf"}, {"servo_cp", "servo_cf"}),
        ("operator", {"servo_cp", "servo_cf", "measured_cp", "coupling_energy"}, set()),
        ("observer", set(), {"servo_cp", "servo_cf", "measured_cp"}),
    ],
)
def test_roles_grant_the_command_topics_only_to_operators(role, may_publish, may_not_publish) -> None:
    publish, subscribe = enclave_topics(role, "lab")
    published = {t.rsplit("/", 1)[-1] for t in publish}
    assert may_publish <= published and not (may_not_publish & published)
    assert "ros_discovery_info" in publish and "ros_discovery_info" in subscribe
    # The bridge reads the commands; who commands or watches reads the arm.
    assert ("rt/lab/*/servo_cf" if role == "bridge" else "rt/lab/*/measured_cp") in subscribe


@pytest.mark.parametrize(
    "environment, keystore_arg, enclave_arg, found",
    [
        ({}, None, "/lab/bridge", None),  # nothing asked: open
        ({"ROS_SECURITY_ENABLE": "1"}, None, "/lab/bridge", None),  # only "true" enables, as in ROS 2
        ({"ROS_SECURITY_ENABLE": "true"}, None, "/lab/bridge", "/lab/bridge"),
        (
            {"ROS_SECURITY_ENABLE": "true", "ROS_SECURITY_ENCLAVE_OVERRIDE": "/lab/other"},
            None,
            "/lab/bridge",
            "/lab/other",
        ),
        ({}, "KEYS", "/lab/bridge", "/lab/bridge"),  # an argument needs no variable
        ({}, "KEYS", "/lab/missing", RuntimeError),  # and is always enforced
        (
            {"ROS_SECURITY_ENABLE": "true", "ROS_SECURITY_STRATEGY": "Enforce"},
            None,
            "/lab/missing",
            RuntimeError,
        ),
        ({"ROS_SECURITY_ENABLE": "true"}, None, "/lab/missing", UserWarning),  # permissive: open, warned
    ],
)
def test_the_enclave_is_found_as_ros_2_finds_it(
    tmp_path: Path, monkeypatch: pytest.MonkeyPatch, environment, keystore_arg, enclave_arg, found
) -> None:
    root = tmp_path / "keys"
    for name in ("lab/bridge", "lab/other"):
        (root / "enclaves" / name).mkdir(parents=True)
    for variable in ("ROS_SECURITY_ENABLE", "ROS_SECURITY_STRATEGY", "ROS_SECURITY_ENCLAVE_OVERRIDE"):
        monkeypatch.delenv(variable, raising=False)
    monkeypatch.setenv("ROS_SECURITY_KEYSTORE", str(root))
    for variable, value in environment.items():
        monkeypatch.setenv(variable, value)
    given = str(root) if keystore_arg else None
    if found is RuntimeError:
        with pytest.raises(RuntimeError, match="no enclave /lab/missing"):
            find_enclave(given, enclave_arg)
        return
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        enclave = find_enclave(given, enclave_arg)
    if found is UserWarning:
        assert enclave is None and "running without security" in str(caught[0].message)
        return
    assert not caught
    assert (enclave and enclave.name) == found
    if enclave is not None:
        assert enclave.directory == root / "enclaves" / found.lstrip("/")

"""A DDS Security keystore in ROS 2's SROS2 layout: one CA (identity and permissions), a signed
governance document, and enclaves with their key, certificate and signed permissions.

The layout::

    public/ca.cert.pem  identity_ca.cert.pem -> ca.cert.pem  permissions_ca.cert.pem -> ca.cert.pem
    private/ca.key.pem  identity_ca.key.pem -> ca.key.pem    permissions_ca.key.pem -> ca.key.pem
    enclaves/governance.xml  governance.p7s
    enclaves/<name>/cert.pem key.pem permissions.xml permissions.p7s
                    identity_ca.cert.pem permissions_ca.cert.pem governance.p7s (links)

Keys are ECDSA on P-256, the documents S/MIME signed (detached, text) by the permissions CA.
Nothing that exists is overwritten: the first file in the way is named and nothing is written.
"""

from __future__ import annotations

import datetime
import os
import re
from collections.abc import Iterable
from pathlib import Path
from typing import Literal
from xml.sax.saxutils import escape

from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.hazmat.primitives.serialization import pkcs7
from cryptography.x509.oid import NameOID

from tamro import network

__all__ = ["ROLES", "Role", "create_enclave", "create_keystore", "enclave_topics"]

Role = Literal["bridge", "operator", "observer"]
ROLES: tuple[Role, ...] = ("bridge", "operator", "observer")

# How long the CA and the enclaves' certificates and permissions are valid, as SROS2 makes them.
VALIDITY = datetime.timedelta(days=3650)
# The ROS 2 graph's own topic: every node publishes and reads who it is and what it serves.
GRAPH_TOPIC = "ros_discovery_info"

_ENCLAVE = re.compile(r"(/[A-Za-z_][A-Za-z0-9_]*)+")
_NAMESPACE = re.compile(r"[A-Za-z_][A-Za-z0-9_]*(/[A-Za-z_][A-Za-z0-9_]*)*")


class KeystoreError(Exception):
    """What the keystore cannot do, in one line."""


def _name(common_name: str) -> x509.Name:
    return x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, common_name)])


def _certificate(
    subject: str,
    key: ec.EllipticCurvePrivateKey,
    issuer: tuple[x509.Certificate, ec.EllipticCurvePrivateKey] | None,
    not_before: datetime.datetime,
    not_after: datetime.datetime,
) -> x509.Certificate:
    issuer_name = _name(subject) if issuer is None else issuer[0].subject
    signer = key if issuer is None else issuer[1]
    builder = (
        x509.CertificateBuilder()
        .subject_name(_name(subject))
        .issuer_name(issuer_name)
        .public_key(key.public_key())
        .serial_number(x509.random_serial_number())
        .not_valid_before(not_before)
        .not_valid_after(not_after)
        .add_extension(x509.BasicConstraints(ca=issuer is None, path_length=None), critical=True)
    )
    return builder.sign(signer, hashes.SHA256())


def _sign(document: bytes, cert: x509.Certificate, key: ec.EllipticCurvePrivateKey) -> bytes:
    """S/MIME, detached and in text mode, as DDS Security's access control reads it."""
    return (
        pkcs7.PKCS7SignatureBuilder()
        .set_data(document)
        .add_signer(cert, key, hashes.SHA256())
        .sign(serialization.Encoding.SMIME, [pkcs7.PKCS7Options.Text, pkcs7.PKCS7Options.DetachedSignature])
    )


def _pem_key(key: ec.EllipticCurvePrivateKey) -> bytes:
    return key.private_bytes(
        serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8, serialization.NoEncryption()
    )


def _refuse_existing(paths: Iterable[Path]) -> None:
    for path in paths:
        if path.exists() or path.is_symlink():
            raise KeystoreError(f"{path} exists: not overwritten (nothing was written)")


def _write(path: Path, data: bytes, mode: int = 0o644) -> None:
    path.parent.mkdir(parents=True, exist_ok=True)
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, mode)
    with os.fdopen(fd, "wb") as file:
        file.write(data)
    os.chmod(path, mode)  # whatever the umask


def _link(path: Path, target: Path) -> None:
    path.parent.mkdir(parents=True, exist_ok=True)
    path.symlink_to(os.path.relpath(target, path.parent))


def _domains() -> str:
    return f"<domains><id_range><min>0</min><max>{network.MAX_SECURED_DOMAIN}</max></id_range></domains>"


def governance(sign_only: bool) -> bytes:
    """Discovery, liveliness, metadata and data protected (ENCRYPT, or SIGN), every participant
    authenticated and access-controlled."""
    kind = "SIGN" if sign_only else "ENCRYPT"
    return f"""<?xml version="1.0" encoding="UTF-8"?>
<dds>
  <domain_access_rules>
    <domain_rule>
      {_domains()}
      <allow_unauthenticated_participants>false</allow_unauthenticated_participants>
      <enable_join_access_control>true</enable_join_access_control>
      <discovery_protection_kind>{kind}</discovery_protection_kind>
      <liveliness_protection_kind>{kind}</liveliness_protection_kind>
      <rtps_protection_kind>SIGN</rtps_protection_kind>
      <topic_access_rules>
        <topic_rule>
          <topic_expression>*</topic_expression>
          <enable_discovery_protection>true</enable_discovery_protection>
          <enable_liveliness_protection>true</enable_liveliness_protection>
          <enable_read_access_control>true</enable_read_access_control>
          <enable_write_access_control>true</enable_write_access_control>
          <metadata_protection_kind>{kind}</metadata_protection_kind>
          <data_protection_kind>{kind}</data_protection_kind>
        </topic_rule>
      </topic_access_rules>
    </domain_rule>
  </domain_access_rules>
</dds>
""".encode()


def create_keystore(root: Path, *, sign_only: bool = False) -> list[Path]:
    """Makes the keystore at ``root``; returns the files written."""
    public, private, enclaves = root / "public", root / "private", root / "enclaves"
    ca_cert, ca_key = public / "ca.cert.pem", private / "ca.key.pem"
    links = {
        public / "identity_ca.cert.pem": ca_cert,
        public / "permissions_ca.cert.pem": ca_cert,
        private / "identity_ca.key.pem": ca_key,
        private / "permissions_ca.key.pem": ca_key,
    }
    document = enclaves / "governance.xml"
    signed = enclaves / "governance.p7s"
    _refuse_existing([ca_cert, ca_key, *links, document, signed])
    now = datetime.datetime.now(datetime.timezone.utc)
    key = ec.generate_private_key(ec.SECP256R1())
    cert = _certificate("tamro keystore CA", key, None, now, now + VALIDITY)
    private.mkdir(parents=True, exist_ok=True, mode=0o700)
    _write(ca_key, _pem_key(key), 0o600)
    _write(ca_cert, cert.public_bytes(serialization.Encoding.PEM))
    for path, target in links.items():
        _link(path, target)
    text = governance(sign_only)
    _write(document, text)
    _write(signed, _sign(text, cert, key))
    return [ca_cert, ca_key, *links, document, signed]


def enclave_topics(role: Role, namespace: str | None) -> tuple[list[str], list[str]]:
    """The DDS topics (patterns) an enclave of the role may publish and subscribe to, each
    under ``rt/<namespace>/<device>/`` (any namespace when none is given)."""
    under = f"rt/{namespace or '*'}/*/"
    measured = sorted({under + t["name"] for t in network.TOPICS if t["direction"] == "out"})
    commands = sorted({under + t["name"] for t in network.TOPICS if t["direction"] == "in"})
    if role == "bridge":
        return measured + [GRAPH_TOPIC], commands + [GRAPH_TOPIC]
    if role == "operator":  # commands an arm, and serves its own for teleoperation
        return commands + measured + [GRAPH_TOPIC], measured + [GRAPH_TOPIC]
    return [GRAPH_TOPIC], measured + commands + [GRAPH_TOPIC]


def permissions(
    subject: str,
    enclave: str,
    role: Role,
    namespace: str | None,
    not_before: datetime.datetime,
    not_after: datetime.datetime,
) -> bytes:
    publish, subscribe = enclave_topics(role, namespace)

    def rule(kind: str, topics: list[str]) -> str:
        listed = "".join(f"<topic>{escape(t)}</topic>" for t in topics)
        # Without a partition rule, Cyclone matches no endpoint in the default partition.
        return f"<{kind}><topics>{listed}</topics><partitions><partition>*</partition></partitions></{kind}>"

    stamp = "%Y-%m-%dT%H:%M:%S"
    return f"""<?xml version="1.0" encoding="UTF-8"?>
<dds>
  <permissions>
    <grant name="{escape(enclave)}">
      <subject_name>{escape(subject)}</subject_name>
      <validity>
        <not_before>{not_before.strftime(stamp)}</not_before>
        <not_after>{not_after.strftime(stamp)}</not_after>
      </validity>
      <allow_rule>
        {_domains()}
        {rule("publish", publish)}
        {rule("subscribe", subscribe)}
      </allow_rule>
      <default>DENY</default>
    </grant>
  </permissions>
</dds>
""".encode()


def create_enclave(
    root: Path,
    name: str,
    role: Role,
    *,
    namespace: str | None = None,
    not_before: datetime.datetime | None = None,
    not_after: datetime.datetime | None = None,
) -> Path:
    """Makes the enclave ``name`` (``/lab/bridge``) of the keystore at ``root`` for the role;
    returns its directory. The certificate's and permissions' validity default to now and
    ten years on."""
    if not _ENCLAVE.fullmatch(name):
        raise KeystoreError(f"not an enclave name: {name!r} (expected /lab/bridge: ROS 2 name tokens)")
    if namespace is not None and not _NAMESPACE.fullmatch(namespace.strip("/")):
        raise KeystoreError(f"not a namespace: {namespace!r}")
    if role not in ROLES:
        raise KeystoreError(f"no role {role!r}: one of {', '.join(ROLES)}")
    public, private, enclaves = root / "public", root / "private", root / "enclaves"
    try:
        ca_cert = x509.load_pem_x509_certificate((public / "permissions_ca.cert.pem").read_bytes())
        loaded = serialization.load_pem_private_key((private / "permissions_ca.key.pem").read_bytes(), None)
    except (OSError, ValueError) as error:
        raise KeystoreError(f"{root} is not a keystore with its CA: {error}") from None
    if not isinstance(loaded, ec.EllipticCurvePrivateKey):
        raise KeystoreError(f"{private / 'permissions_ca.key.pem'} is not an ECDSA key")
    if not (enclaves / "governance.p7s").is_file():
        raise KeystoreError(f"{enclaves / 'governance.p7s'} is missing: create the keystore first")
    directory = enclaves / name.lstrip("/")
    files = {n: directory / n for n in ("cert.pem", "key.pem", "permissions.xml", "permissions.p7s")}
    links = {
        directory / "identity_ca.cert.pem": public / "identity_ca.cert.pem",
        directory / "permissions_ca.cert.pem": public / "permissions_ca.cert.pem",
        directory / "governance.p7s": enclaves / "governance.p7s",
    }
    _refuse_existing([*files.values(), *links])
    now = datetime.datetime.now(datetime.timezone.utc).replace(microsecond=0)
    start = not_before or now
    end = not_after or now + VALIDITY
    key = ec.generate_private_key(ec.SECP256R1())
    cert = _certificate(name, key, (ca_cert, loaded), start, end)
    subject = cert.subject.rfc4514_string()
    document = permissions(subject, name, role, namespace and namespace.strip("/"), start, end)
    _write(files["key.pem"], _pem_key(key), 0o600)
    _write(files["cert.pem"], cert.public_bytes(serialization.Encoding.PEM))
    _write(files["permissions.xml"], document)
    _write(files["permissions.p7s"], _sign(document, ca_cert, loaded))
    for path, target in links.items():
        _link(path, target)
    return directory

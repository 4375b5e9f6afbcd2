"""Whether a user may open a port for reading and writing, judged from the node's owner,
group, mode and access control list rather than by trying: so root can judge for another
user, and a test for any uid and group list."""

from __future__ import annotations

import grp
import os
import pwd
import stat
import struct
from collections.abc import Collection
from dataclasses import dataclass

__all__ = ["Access", "AclEntry", "judge", "parse_acl", "read_access", "user_name"]

READ_WRITE = 0o6

# The kernel's posix_acl_xattr layout: a version word, then (tag, permissions, id) entries.
_ACL_VERSION = 2
_ACL_HEADER = struct.Struct("<I")
_ACL_ENTRY = struct.Struct("<HHI")
USER_OBJ, USER, GROUP_OBJ, GROUP, MASK, OTHER = 0x01, 0x02, 0x04, 0x08, 0x10, 0x20


@dataclass(frozen=True)
class AclEntry:
    tag: int
    permissions: int
    id: int


@dataclass(frozen=True)
class Access:
    can_open: bool
    owner: str
    group: str
    gid: int
    mode: str  # octal permission bits, "0660"
    in_group: bool  # the judged user is in the node's group (by the groups judged with)
    group_member_later: bool  # listed in the group database but not in this session's groups
    acl: bool  # the node has an access control list (udev's uaccess, for one)
    group_can_read_write: bool


def parse_acl(data: bytes) -> list[AclEntry] | None:
    """The entries of a ``system.posix_acl_access`` attribute, or None when malformed."""
    if len(data) < _ACL_HEADER.size or (len(data) - _ACL_HEADER.size) % _ACL_ENTRY.size:
        return None
    (version,) = _ACL_HEADER.unpack_from(data)
    if version != _ACL_VERSION:
        return None
    return [
        AclEntry(*_ACL_ENTRY.unpack_from(data, offset))
        for offset in range(_ACL_HEADER.size, len(data), _ACL_ENTRY.size)
    ]


def judge(
    owner: int, group: int, mode: int, uid: int, groups: Collection[int], acl: list[AclEntry] | None = None
) -> bool:
    """Whether uid with these groups may read and write, as the kernel decides it: the owner
    by the owner bits alone, then the group (or the list's named users and groups, limited by
    its mask), then the rest. Root may always."""
    if uid == 0:
        return True
    if not acl:
        if uid == owner:
            bits = mode >> 6
        elif group in groups:
            bits = mode >> 3
        else:
            bits = mode
        return bits & READ_WRITE == READ_WRITE
    mask = next((e.permissions for e in acl if e.tag == MASK), 0o7)
    if uid == owner:
        return any(e.tag == USER_OBJ and e.permissions & READ_WRITE == READ_WRITE for e in acl)
    for entry in acl:
        if entry.tag == USER and entry.id == uid:
            return entry.permissions & mask & READ_WRITE == READ_WRITE
    matching = [
        e.permissions & mask
        for e in acl
        if (e.tag == GROUP_OBJ and group in groups) or (e.tag == GROUP and e.id in groups)
    ]
    if matching:
        return any(p & READ_WRITE == READ_WRITE for p in matching)
    return any(e.tag == OTHER and e.permissions & READ_WRITE == READ_WRITE for e in acl)


def user_name(uid: int) -> str | None:
    try:
        return pwd.getpwuid(uid).pw_name
    except KeyError:
        return None


def _group_name(gid: int) -> str:
    try:
        return grp.getgrgid(gid).gr_name
    except KeyError:
        return str(gid)


def _in_group_database(uid: int, gid: int) -> bool:
    """Whether the group database makes uid a member of gid (takes effect at the next login)."""
    try:
        entry = pwd.getpwuid(uid)
        return entry.pw_gid == gid or entry.pw_name in grp.getgrgid(gid).gr_mem
    except KeyError:
        return False


def read_access(path: str, uid: int, groups: Collection[int]) -> Access:
    """Judges the node at path (links followed) for uid and groups. Raises OSError when the
    node cannot be looked at."""
    info = os.stat(path)
    acl: list[AclEntry] | None = None
    try:
        acl = parse_acl(os.getxattr(path, "system.posix_acl_access"))
    except OSError:
        pass  # no list, or a file system without them (devpts, a test's tmpfs)
    in_group = info.st_gid in groups
    owner = user_name(info.st_uid) or str(info.st_uid)
    return Access(
        can_open=judge(info.st_uid, info.st_gid, info.st_mode, uid, groups, acl),
        owner=owner,
        group=_group_name(info.st_gid),
        gid=info.st_gid,
        mode=f"{stat.S_IMODE(info.st_mode):04o}",
        in_group=in_group,
        group_member_later=not in_group and _in_group_database(uid, info.st_gid),
        acl=bool(acl),
        group_can_read_write=(info.st_mode >> 3) & READ_WRITE == READ_WRITE,
    )

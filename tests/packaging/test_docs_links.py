"""Every relative link in the README and the docs reaches a file that exists and, when it names
an anchor, a heading of that file (anchors as GitHub makes them from headings)."""

from __future__ import annotations

import re
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
PAGES = [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]

FENCE = re.compile(r"^(```|~~~).*?^\1", re.M | re.S)
CODE_SPAN = re.compile(r"`[^`\n]*`")
LINK = re.compile(r"!?\[[^\]\n]*\]\(\s*<?([^)\s>]+)>?(?:\s+\"[^\"]*\")?\s*\)")
HEADING = re.compile(r"^#{1,6}\s+(.*?)\s*#*\s*$", re.M)


def prose(text: str) -> str:
    return CODE_SPAN.sub("", FENCE.sub("", text))


def anchors(page: Path) -> set[str]:
    """The anchors GitHub gives the page's headings: lower case, punctuation dropped, spaces as
    hyphens, and -1, -2 ... after a repeated one."""
    seen: dict[str, int] = {}
    found = set()
    for heading in HEADING.findall(FENCE.sub("", page.read_text(encoding="utf-8"))):
        text = re.sub(r"\[([^\]]*)\]\([^)]*\)", r"\1", heading).replace("`", "").lower()
        slug = re.sub(r"[^\w\- ]", "", text).replace(" ", "-")
        count = seen.get(slug, 0)
        seen[slug] = count + 1
        found.add(slug if count == 0 else f"{slug}-{count}")
    return found


def links(page: Path) -> list[str]:
    return [
        t
        for t in LINK.findall(prose(page.read_text(encoding="utf-8")))
        if "://" not in t and not t.startswith("mailto:")
    ]


def test_the_checker_finds_what_it_should(tmp_path):
    page = tmp_path / "page.md"
    page.write_text(
        "# A title\n## What `x` does, and why?\n## Again\n## Again\n"
        "[ok](#a-title) [ok](#what-x-does-and-why) [ok](#again-1) [gone](missing.md)\n"
        "`[not a link](nowhere.md)`\n```\n[nor this](nowhere.md)\n```\n",
        encoding="utf-8",
    )
    assert anchors(page) == {"a-title", "what-x-does-and-why", "again", "again-1"}
    assert links(page) == ["#a-title", "#what-x-does-and-why", "#again-1", "missing.md"]


@pytest.mark.parametrize("page", PAGES, ids=[p.name for p in PAGES])
def test_every_relative_link_and_anchor_resolves(page: Path):
    broken = []
    for target in links(page):
        path, _, anchor = target.partition("#")
        where = (page.parent / path).resolve() if path else page
        if not where.exists():
            broken.append(f"{target}: no such file")
        elif anchor and where.suffix == ".md" and anchor not in anchors(where):
            broken.append(f"{target}: no heading with that anchor")
    assert not broken, f"{page.relative_to(ROOT)}: " + "; ".join(broken)

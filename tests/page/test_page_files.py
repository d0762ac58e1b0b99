"""The page's files as installed with the package: complete, self-contained, and never handing
text to the HTML parser."""

from __future__ import annotations

import re
from importlib import resources

import orvane_devtools.listener


def page_dir():
    return resources.files(orvane_devtools.listener) / "page"


def test_the_installed_package_holds_every_file_the_page_loads():
    page = page_dir()
    html = (page / "index.html").read_text(encoding="utf-8")
    refs = re.findall(r'(?:src|href)="(assets/[^"]+)"', html)
    assert "assets/app.js" in refs and "assets/style.css" in refs
    for ref in refs:
        assert (page / ref).is_file(), f"{ref} is missing from the installed package"
    # Every module import resolves to a file beside it.
    assets = page / "assets"
    seen = set()
    todo = ["app.js"]
    while todo:
        name = todo.pop()
        if name in seen:
            continue
        seen.add(name)
        text = (assets / name).read_text(encoding="utf-8")
        for dep in re.findall(r"""(?:from|import)\s+['"]\./([^'"]+)['"]""", text):
            assert (assets / dep).is_file(), f"{name} imports {dep}, which is missing"
            todo.append(dep)
    assert {"api.js", "stream.js", "runs.js", "runview.js", "tree.js", "events.js", "vlist.js"} <= seen


def test_the_page_is_self_contained_and_builds_its_dom_from_text():
    page = page_dir()
    files = [page / "index.html"] + [f for f in (page / "assets").iterdir() if f.name.endswith((".js", ".css", ".svg"))]
    for f in files:
        text = f.read_text(encoding="utf-8")
        # Nothing is fetched from another machine (the SVG namespace is a name, not a request).
        urls = [u for u in re.findall(r"\b(?:https?:)?//[\w.-]+\.[a-z]{2,}[^\s'\")]*", text)
                if not u.startswith("http://www.w3.org/2000/svg")]
        assert not urls, f"{f.name} refers to outside addresses: {urls}"
        if f.name.endswith(".js"):
            for sink in ("innerHTML", "outerHTML", "insertAdjacentHTML", "document.write", "eval(", "new Function"):
                assert sink not in text.replace("without innerHTML", ""), f"{f.name} uses {sink}"
    html = (page / "index.html").read_text(encoding="utf-8")
    assert '<meta name="orvane-prefix" content="{prefix}">' in html
    assert '<meta name="orvane-auth" content="{auth}">' in html
    assert "<script>" not in html and " style=" not in html  # no inline script or style

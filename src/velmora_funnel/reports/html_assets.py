"""What the HTML report's page is made of besides the outcomes: its style,
its own script (report.js: the table's filter and sort, the plots' thinning)
and the plotting library's script, BokehJS, inlined once per report so that
the page opens offline from a file."""

from __future__ import annotations

import functools
import importlib.resources
import importlib.util
import os
import pathlib
import re
from typing import Literal

__all__ = ["LIBRARY_HINT", "library_available", "library_script", "page_script", "script_safe", "style"]

#: What to do without the plotting library.
LIBRARY_HINT = "interactive plots need bokeh and tsdownsample: pip install 'velmora-funnel[plot]'"


_COMPONENTS: tuple[Literal["bokeh"], Literal["bokeh-api"]] = ("bokeh", "bokeh-api")


def _text(name: str) -> str:
    return importlib.resources.files(__package__).joinpath(name).read_text(encoding="utf-8")


def style() -> str:
    return _text("report.css")


def page_script() -> str:
    return _text("report.js")


def library_available() -> bool:
    """Whether BokehJS can be inlined and curves thinned (looked up, not imported: bokeh loads slowly)."""
    return all(importlib.util.find_spec(name) is not None for name in ("bokeh", "tsdownsample"))


@functools.cache
def library_script() -> str:
    """BokehJS itself and its plotting API, the only parts of it the page
    uses (about 1.5 MB: no widgets, tables, WebGL or MathJax). Read from
    where bokeh keeps them for its own inline resources, without importing
    bokeh (a third of a second); through bokeh.resources where they are not."""
    installed = importlib.util.find_spec("bokeh")
    folders = installed.submodule_search_locations if installed is not None else None
    if folders:
        scripts = [os.path.join(folders[0], "server", "static", "js", f"{name}.min.js") for name in _COMPONENTS]
        if all(map(os.path.isfile, scripts)):
            return "\n".join(pathlib.Path(path).read_text(encoding="utf-8") for path in scripts)
    from bokeh.resources import Resources

    return "\n".join(Resources(mode="inline", components=list(_COMPONENTS)).js_raw)


def script_safe(text: str) -> str:
    """Text to put inside a <script> element: nothing in it can close the element."""
    return re.sub(r"</(script)", r"<\\/\1", text, flags=re.IGNORECASE)

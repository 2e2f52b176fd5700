"""What the HTML report's page is made of besides the outcomes: its style,
its own script (report.js: the table's filter and sort, the plots' thinning)
and the plotting library's script, BokehJS, inlined once per report so that
the page opens offline from a file."""

from __future__ import annotations

import functools
import importlib.resources
import importlib.util
import re

__all__ = ["LIBRARY_HINT", "library_available", "library_script", "page_script", "script_safe", "style"]

#: What to do without the plotting library.
LIBRARY_HINT = "interactive plots need bokeh: pip install 'velmora-funnel[plot]'"


def _text(name: str) -> str:
    return importlib.resources.files(__package__).joinpath(name).read_text(encoding="utf-8")


def style() -> str:
    return _text("report.css")


def page_script() -> str:
    return _text("report.js")


def library_available() -> bool:
    """Whether BokehJS can be inlined (looked up, not imported: bokeh loads slowly)."""
    return importlib.util.find_spec("bokeh") is not None


@functools.cache
def library_script() -> str:
    """BokehJS itself and its plotting API, the only parts of it the page
    uses (about 1.5 MB: no widgets, tables, WebGL or MathJax)."""
    from bokeh.resources import Resources

    return "\n".join(Resources(mode="inline", components=["bokeh", "bokeh-api"]).js_raw)


def script_safe(text: str) -> str:
    """Text to put inside a <script> element: nothing in it can close the element."""
    return re.sub(r"</(script)", r"<\\/\1", text, flags=re.IGNORECASE)

"""How the dashboard's pages are made: Jinja2 templates that escape every value they are given, and the
stylesheet and scripts served as static files (the Content-Security-Policy allows no inline script or style).

The only markup that reaches a template ready-made is a shown call's text, rendered by display.html_segments,
which escapes it piece by piece: the page shows exactly what the signature authorises.
"""

from __future__ import annotations

from pathlib import Path
from urllib.parse import quote

import jinja2
from markupsafe import Markup
from starlette.requests import Request
from starlette.routing import Mount
from starlette.staticfiles import StaticFiles
from starlette.templating import Jinja2Templates

from .display import html_segments
from .wire import iso_utc

HERE = Path(__file__).parent

_environment = jinja2.Environment(
    loader=jinja2.FileSystemLoader(HERE / "templates"), autoescape=True, trim_blocks=True, lstrip_blocks=True,
    keep_trailing_newline=False,
)
_environment.filters["segments"] = lambda segments: Markup(html_segments(segments))
_environment.filters["utc"] = lambda timestamp: iso_utc(timestamp) or ""
_environment.filters["q"] = lambda text: quote(text, safe="")
templates = Jinja2Templates(env=_environment)


def render(request: Request, template: str, status_code: int = 200, **context):
    return templates.TemplateResponse(request, template, context, status_code=status_code)


ROUTES = [Mount("/static", StaticFiles(directory=HERE / "static"), name="static")]

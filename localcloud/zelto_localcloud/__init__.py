"""A local approval cloud that speaks the Zelto Cloud API (docs/cloud-api.md).

Run it with `zelto-localcloud`, or from Python with
`zelto_localcloud.testing.LocalCloud` (a subprocess) or
`zelto_localcloud.cli.serve(ServerConfig(...))` (in this process, blocking).
"""

__version__ = "0.1.0"

"""How the cloud clients talk HTTP, one concern a module.

- ``config``: the defaults, the API key holder, the checks of base URL and timeout.
- ``calls``: a call as data (what to send, how to read the answer, what may be retried) and its wire form.
- ``deadlines``: one deadline per call, and the approval handlers' deadline over the calls made for them.
- ``transport``: the clients' httpx transports over connections of their own, HTTP/1.1 framed by h11: every socket
  operation of the blocking one within the deadline, and a bound on the exchanges in flight.
- ``pools``: what the calls to one base URL share, shared per base URL (and event loop), and the TLS context.
- ``failures``: what an attempt came to, and the words of its error.
- ``retries``: the retry schedule of one call within its deadline.
- ``exchange``: one call from start to result, blocking and awaited.

The status batcher of the awaitable client is ``zelto_cloud._batch``.
"""

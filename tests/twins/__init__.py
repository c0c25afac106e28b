"""Plain-Python twins of the native modules and of the first cloud client.

Each twin does the same work as its native module, step for step, through
the same module globals (the cloud client, the SDK and its stand-ins), so a
benchmark that runs both on the same input compares only how the work is
done. The module tests run against them too (tests/helpers/twin_pairs.py), so a
twin keeps doing what its native module does.
"""

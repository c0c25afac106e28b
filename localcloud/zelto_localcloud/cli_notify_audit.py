"""The notification and audit subcommands of `zelto-localcloud`.

    zelto-localcloud approver notify NAME [--webhook URL]... [--chat-webhook URL]... [--email ADDR]...
                                          [--escalation] [--off]
    zelto-localcloud notifications [--smtp-host H] [--smtp-port P] [--smtp-starttls yes|no]
                                   [--smtp-user U] [--smtp-password-stdin] [--mail-from ADDR]
                                   [--escalate-after S] [--dashboard-url URL] [--retry-base S]
    zelto-localcloud audit export [--output FILE]
    zelto-localcloud audit verify FILE [--head HASH]

All of them work on the data folder while the server runs; `audit verify`
needs only the exported file.
"""

from __future__ import annotations

import argparse
import sys
import time
from pathlib import Path

from . import audit, notify
from .store import Store


def _seconds(text: str) -> str:
    try:
        value = float(text)
    except ValueError:
        value = -1.0
    if not 0 <= value <= 30 * 86400:
        raise argparse.ArgumentTypeError(f"expected a number of seconds from 0 to 2592000, not {text!r}")
    return repr(value)


def _port(text: str) -> str:
    if not text.isdigit() or not 1 <= int(text) <= 65535:
        raise argparse.ArgumentTypeError(f"port must be a number from 1 to 65535, not {text!r}")
    return text


def add_approver_notify(actions, add_data_dir) -> None:
    text = "choose how an approver hears of requests: signed webhooks, chat webhooks, e-mail"
    sub = actions.add_parser(
        "notify", help=text,
        description=text + ". The channels given replace the approver's current ones; with none, they are listed.",
    )
    sub.add_argument("name", help="the approver's name")
    sub.add_argument("--webhook", action="append", default=[], metavar="URL",
                     help="post signed JSON about each request to URL (repeatable); its secret is printed once")
    sub.add_argument("--chat-webhook", action="append", default=[], metavar="URL",
                     help='post {"text": ...}, the form chat tools\' incoming webhooks take (repeatable)')
    sub.add_argument("--email", action="append", default=[], metavar="ADDR", help="send e-mail to ADDR (repeatable)")
    sub.add_argument("--escalation", action="store_true",
                     help="put the approver in the escalation group: told only of requests still pending after"
                          " the escalation delay (zelto-localcloud notifications --escalate-after)")
    sub.add_argument("--off", action="store_true", help="remove all the approver's channels")
    add_data_dir(sub)


def add_commands(commands, add_data_dir) -> None:
    sub = commands.add_parser("notifications", help="show or change how notifications are sent",
                              description="Show or change the server-wide notification settings.")
    sub.add_argument("--smtp-host", help="SMTP server for e-mail")
    sub.add_argument("--smtp-port", type=_port, help="its port (default 25)")
    sub.add_argument("--smtp-starttls", choices=("yes", "no"), help="use STARTTLS (default no)")
    sub.add_argument("--smtp-user", help="sign in to the SMTP server as this user")
    sub.add_argument("--smtp-password-stdin", action="store_true", help="read the SMTP password from standard input")
    sub.add_argument("--mail-from", help="sender address of the e-mail")
    sub.add_argument("--escalate-after", type=_seconds, metavar="S",
                     help="tell the escalation group of requests still pending after S seconds (0: never)")
    sub.add_argument("--dashboard-url", metavar="URL",
                     help="the dashboard's address in messages (default: the address the server listens on)")
    sub.add_argument("--retry-base", type=_seconds, metavar="S",
                     help="seconds before the first retry of a failed delivery; doubled each time (default 5)")
    add_data_dir(sub)

    sub = commands.add_parser("audit", help="export or verify the hash-chained audit log",
                              description="Every creation, decision, notification and receipt is a row of the"
                                          " audit log; each row carries the hash of the one before.")
    actions = sub.add_subparsers(dest="action", required=True)
    export = actions.add_parser("export", help="write the log as JSON lines")
    export.add_argument("--output", "-o", type=Path, help="file to write (default standard output)")
    add_data_dir(export)
    verify = actions.add_parser("verify", help="check an exported log; names the first broken row",
                                description="Check an exported log offline. It names the first row that was"
                                            " changed, or where rows were removed.")
    verify.add_argument("file", help="the exported file ('-' for standard input)")
    verify.add_argument("--head", help="the head hash written down at an earlier export: also catches rows"
                                       " removed from the end")
    verify.set_defaults(data_dir=None)


def approver_notify(args: argparse.Namespace, store: Store) -> int:
    wanted = ([("webhook", url) for url in args.webhook] + [("chat", url) for url in args.chat_webhook]
              + [("email", address) for address in args.email])
    if wanted or args.off:
        if wanted and args.off:
            raise ValueError("--off removes every channel: give it alone")
        new_secrets = notify.set_channels(store, args.name, wanted, "escalation" if args.escalation else "first",
                                          time.time())
    elif store.approver(args.name) is None:
        raise ValueError(f"no approver named {args.name}")
    else:
        new_secrets = {}
    shown = notify.channels(store, args.name)
    for channel in shown:
        print(f"{args.name} {channel.group}: {channel.kind} {channel.target}")
    if not shown:
        print(f"{args.name}: no notifications")
    for url, secret in new_secrets.items():
        print(f"webhook secret ({url}): {secret}")
    if new_secrets:
        print("note: the secrets are shown only now; receivers check the Zelto-Signature header with them")
    return 0


def notifications_command(args: argparse.Namespace, store: Store) -> int:
    changes = {name: getattr(args, name) for name in notify.SETTINGS if getattr(args, name, None) is not None}
    if args.smtp_password_stdin:
        changes["smtp_password"] = sys.stdin.readline().rstrip("\r\n")
    if changes.get("dashboard_url"):
        notify.check_target("webhook", changes["dashboard_url"])
    if changes:
        notify.set_settings(store, changes)
    for name, value in notify.settings(store).items():
        if name == "smtp_password":
            value = "(set)" if value else "(none)"
        print(f"{name.replace('_', '-')}: {value}")
    return 0


def audit_command(args: argparse.Namespace, store: Store) -> int:
    if args.output is None:
        count, head = audit.export(store, sys.stdout.buffer)
        sys.stdout.flush()
    else:
        with open(args.output, "wb") as out:
            count, head = audit.export(store, out)
    print(f"exported {count} rows; head {head}", file=sys.stderr)
    return 0


def audit_verify(args: argparse.Namespace) -> int:
    try:
        handle = sys.stdin.buffer if args.file == "-" else open(args.file, "rb")
    except OSError as exc:
        raise ValueError(f"cannot read {args.file}: {exc.strerror or exc}") from None
    with handle:
        verdict = audit.verify_lines(handle, args.head)
    if verdict.ok:
        print(f"ok: {verdict.rows} rows, head {verdict.head}")
        return 0
    print(f"broken: line {verdict.broken_line} (row seq {verdict.broken_seq}): {verdict.problem};"
          f" the {verdict.rows} rows before it are intact")
    return 1

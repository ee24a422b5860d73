#!/usr/bin/python3
"""Loopback SMTP server for the log rotation tests.

Writes every accepted message to OUT/msg-N.eml and a description to
OUT/msg-N.json: the envelope (sender, recipients, login method and user,
whether TLS was on), the From and Subject headers as sent and as decoded, and
each body part (type, transfer encoding, file name) with its decoded bytes in
OUT/msg-N.part-K, as Python's own e-mail package reads them. Then prints the port it listens on, so that the test can go on as soon as the
server is ready. Ends on SIGTERM, when its parent ends, or after --lifetime
seconds, whichever comes first.
"""
import argparse
import email
import email.policy
import json
import os
import signal
import socket
import ssl
import sys
import threading

from aiosmtpd.controller import Controller
from aiosmtpd.smtp import SMTP, AuthResult

# Mail servers in the field (Postfix, Exim, Exchange) ask "Username:" and
# "Password:" in AUTH LOGIN; POCO's client expects those words.
SMTP.AuthLoginUsernameChallenge = "Username:"
SMTP.AuthLoginPasswordChallenge = "Password:"


class Handler:
    def __init__(self, out, refused, auth):
        self.out = out
        self.refused = set(refused)
        self.auth = auth
        self.count = 0
        self.lock = threading.Lock()

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        if address in self.refused:
            return "550 5.1.1 Recipient refused"
        envelope.rcpt_tos.append(address)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        with self.lock:
            self.count += 1
            n = self.count
        base = os.path.join(self.out, "msg-%d" % n)
        data = envelope.original_content or envelope.content
        raw = email.message_from_bytes(data)
        parsed = email.message_from_bytes(data, policy=email.policy.default)
        info = {
            "from": envelope.mail_from,
            "to": envelope.rcpt_tos,
            "tls": session.ssl is not None,
            "login": getattr(session, "test_login", None),
            "from_header": str(parsed["from"]),
            "from_raw": raw["From"],
            "subject": str(parsed["subject"]),
            "subject_raw": raw["Subject"],
            "parts": [],
        }
        for k, part in enumerate(p for p in parsed.walk() if not p.is_multipart()):
            name = "msg-%d.part-%d" % (n, k)
            with open(os.path.join(self.out, name), "wb") as f:
                f.write(part.get_payload(decode=True) or b"")
            info["parts"].append({
                "type": part.get("Content-Type", ""),
                "encoding": part.get("Content-Transfer-Encoding", ""),
                "filename": part.get_filename() or "",
                "disposition": part.get_content_disposition() or "",
                "file": name,
            })
        # Written under temporary names first, so a reader never sees half a message.
        with open(base + ".eml.part", "wb") as f:
            f.write(data)
        with open(base + ".json.part", "w") as f:
            json.dump(info, f)
        os.rename(base + ".eml.part", base + ".eml")
        os.rename(base + ".json.part", base + ".json")
        return "250 Message accepted"

    def authenticator(self, server, session, envelope, mechanism, auth_data):
        user = auth_data.login.decode() if isinstance(auth_data.login, bytes) else auth_data.login
        password = auth_data.password.decode() if isinstance(auth_data.password, bytes) else auth_data.password
        ok = self.auth is not None and user == self.auth[0] and password == self.auth[1]
        if ok:
            session.test_login = {"mechanism": mechanism, "user": user}
        return AuthResult(success=ok, handled=False)


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--out", required=True)
    parser.add_argument("--refuse", action="append", default=[])
    parser.add_argument("--auth", nargs=2, metavar=("USER", "PASSWORD"))
    parser.add_argument("--tls", nargs=2, metavar=("CERT", "KEY"))
    parser.add_argument("--lifetime", type=float, default=300)
    args = parser.parse_args()

    handler = Handler(args.out, args.refuse, args.auth)
    kwargs = {}
    if args.auth:
        kwargs.update(authenticator=handler.authenticator, auth_require_tls=False)
    if args.tls:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(args.tls[0], args.tls[1])
        kwargs.update(tls_context=context)
    parent = os.getppid()
    controller = Controller(handler, hostname="127.0.0.1", port=free_port(), **kwargs)
    controller.start()
    try:
        done = threading.Event()
        signal.signal(signal.SIGTERM, lambda *_: done.set())
        try:
            print(controller.port, flush=True)
            sys.stdout.close()
        except OSError:
            return  # the test that started us is gone
        waited = 0.0
        while not done.wait(0.2):
            waited += 0.2
            if os.getppid() != parent or waited > args.lifetime:
                break
    finally:
        # The controller's thread keeps the process alive until it is stopped.
        controller.stop()


if __name__ == "__main__":
    main()

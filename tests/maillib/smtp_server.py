"""An SMTP server on a free loopback port for the mail library's tests.

It prints "PORT <n>" once it listens, stores every message it accepts in
<dir>/msg<N>/ and stops when its standard input is closed. Options:
  --starttls CERT KEY   offer STARTTLS with this certificate
  --implicit-tls CERT KEY  speak TLS from the first byte
  --auth USER PASSWORD  require AUTH (over TLS only) with these credentials
  --refuse ADDRESS      answer 550 to RCPT TO for this address
  --refusal TEXT        the text of that 550 reply, sent in UTF-8
  --size-limit BYTES    the largest message accepted (0: no limit)
Stored per message: envelope_from, rcpt_tos (one a line), tls (yes/no),
auth (the login or nothing), raw.eml, subject (decoded, UTF-8), body (the
first text/plain part, transfer-decoded bytes), body_type, and for each
attachment K: attK.name, attK.type, attK.data (decoded bytes).
"""
import argparse
import email
import email.policy
import os
import socket
import ssl
import sys
import threading

from aiosmtpd.controller import Controller
from aiosmtpd.smtp import AuthResult, LoginPassword


def write(path, data):
    with open(path, "wb") as f:
        f.write(data if isinstance(data, bytes) else data.encode("utf-8"))


def content_type(part):
    charset = part.get_content_charset()
    return part.get_content_type() + ("; charset=" + charset if charset else "")


# The text of the 550 reply to the refused recipient.
DEFAULT_REFUSAL = "Mailbox unavailable"


class StoringHandler:
    def __init__(self, folder, refuse, refusal=DEFAULT_REFUSAL):
        self.folder = folder
        self.refuse = refuse
        self.refusal = refusal
        self.count = 0
        self.lock = threading.Lock()

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        if self.refuse and address == self.refuse:
            # Bytes go out as they are, whether the client asked for SMTPUTF8 or not.
            return ("550 5.1.1 " + self.refusal).encode("utf-8")
        envelope.rcpt_tos.append(address)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        with self.lock:
            self.count += 1
            number = self.count
        target = os.path.join(self.folder, "msg%d" % number)
        partial = target + ".part"
        os.makedirs(partial)
        raw = envelope.original_content or envelope.content
        write(os.path.join(partial, "raw.eml"), raw)
        write(os.path.join(partial, "envelope_from"), envelope.mail_from or "")
        write(os.path.join(partial, "rcpt_tos"), "".join(a + "\n" for a in envelope.rcpt_tos))
        tls = server.transport.get_extra_info("ssl_object") is not None
        write(os.path.join(partial, "tls"), "yes" if tls else "no")
        auth = session.auth_data if session.authenticated else None
        write(os.path.join(partial, "auth"), auth or "")
        message = email.message_from_bytes(raw, policy=email.policy.default)
        write(os.path.join(partial, "subject"), str(message["subject"] or ""))
        body = message.get_body(preferencelist=("plain",))
        if body is not None:
            write(os.path.join(partial, "body"), body.get_payload(decode=True) or b"")
            write(os.path.join(partial, "body_type"), content_type(body))
        for k, part in enumerate(message.iter_attachments(), start=1):
            write(os.path.join(partial, "att%d.name" % k), part.get_filename() or "")
            write(os.path.join(partial, "att%d.type" % k), content_type(part))
            write(os.path.join(partial, "att%d.data" % k), part.get_payload(decode=True) or b"")
        # Renamed when complete, so a reader never sees half a message.
        os.rename(partial, target)
        return "250 Message accepted for delivery"


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--dir", required=True)
    parser.add_argument("--starttls", nargs=2, metavar=("CERT", "KEY"))
    parser.add_argument("--implicit-tls", nargs=2, metavar=("CERT", "KEY"))
    parser.add_argument("--auth", nargs=2, metavar=("USER", "PASSWORD"))
    parser.add_argument("--refuse")
    parser.add_argument("--refusal", default=DEFAULT_REFUSAL)
    parser.add_argument("--size-limit", type=int)
    args = parser.parse_args()

    def context(pair):
        ctx = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        ctx.load_cert_chain(pair[0], pair[1])
        return ctx

    kwargs = {}
    if args.starttls:
        kwargs["tls_context"] = context(args.starttls)
    if args.auth:
        user, password = args.auth

        def authenticator(server, session, envelope, mechanism, auth_data):
            ok = (isinstance(auth_data, LoginPassword)
                  and auth_data.login.decode() == user
                  and auth_data.password.decode() == password)
            return AuthResult(success=ok, auth_data=user if ok else None)

        kwargs["authenticator"] = authenticator
        kwargs["auth_required"] = True
        # aiosmtpd counts only STARTTLS as TLS; implicit TLS is TLS too.
        kwargs["auth_require_tls"] = not args.implicit_tls
    if args.size_limit is not None:
        kwargs["data_size_limit"] = args.size_limit or None
    ssl_context = context(args.implicit_tls) if args.implicit_tls else None

    handler = StoringHandler(args.dir, args.refuse, args.refusal)
    controller = Controller(handler, hostname="127.0.0.1", port=free_port(),
                            ssl_context=ssl_context, **kwargs)
    controller.start()
    print("PORT %d" % controller.port, flush=True)
    sys.stdin.read()
    controller.stop()


if __name__ == "__main__":
    main()

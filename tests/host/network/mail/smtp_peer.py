"""SMTP servers for the mail tests, on free loopback ports of one event loop.

Usage: /usr/bin/python3 smtp_peer.py CERTIFICATE_DIR RECORD_FILE

Prints "name=port ..." on one line once every server listens. Each finished
connection appends one line to RECORD_FILE: the server's name, the login
that authenticated (or "-"), the envelope sender, the recipients joined by
"," and the message content, then the whole client transcript, each field
hex-encoded and separated by tabs.

CRAM-MD5 (RFC 2195) and DIGEST-MD5 (RFC 2831) are written here from the
RFCs, apart from the client they check. The login "badrsp" gets a wrong
rspauth; recipients starting with "refuse" get 550.
"""

import asyncio
import base64
import hashlib
import hmac
import os
import ssl
import sys

from aiosmtpd.smtp import SMTP, AuthResult, LoginPassword, MISSING

PASSWORDS = {b"alice": b"wonder", b"badrsp": b"wonder", b"tim": b"tanstaaftanstaaf"}
REALM = "mail.test"
CERTIFICATES = sys.argv[1]
RECORDS = sys.argv[2]


def hexed(data):
    if isinstance(data, str):
        data = data.encode("latin-1", "replace")
    return data.hex() or "-"


def authenticator(server, session, envelope, mechanism, auth_data):
    ok = PASSWORDS.get(auth_data.login) == auth_data.password
    return AuthResult(success=ok, handled=False, auth_data=auth_data if ok else None)


def parse_pairs(text):
    """name=value pairs separated by ',', values optionally quoted."""
    pairs, i = {}, 0
    while i < len(text):
        while i < len(text) and text[i] in " \t,":
            i += 1
        j = text.find("=", i)
        if j < 0:
            break
        name = text[i:j].strip().lower()
        i = j + 1
        if i < len(text) and text[i] == '"':
            k = text.find('"', i + 1)
            k = len(text) if k < 0 else k
            value, i = text[i + 1:k], k + 1
        else:
            k = text.find(",", i)
            k = len(text) if k < 0 else k
            value, i = text[i:k].strip(), k
        pairs[name] = value
    return pairs


def md5_hex(data):
    return hashlib.md5(data).hexdigest()


class Handler:
    def __init__(self, name):
        self.name = name

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        if address.startswith("refuse"):
            return "550 5.1.1 <%s>: Recipient address rejected" % address
        envelope.rcpt_tos.append(address)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        session.delivered = (envelope.mail_from, list(envelope.rcpt_tos), envelope.content)
        return "250 2.0.0 Accepted"

    async def auth_CRAM__MD5(self, server, args):
        challenge = ("<%d.%s@%s>" % (os.getpid(), os.urandom(6).hex(), REALM)).encode()
        answer = await server.challenge_auth(challenge)
        if answer is MISSING or b" " not in answer:
            return AuthResult(success=False, handled=False)
        login, digest = answer.rsplit(b" ", 1)
        secret = PASSWORDS.get(login)
        ok = secret is not None and hmac.compare_digest(
            hmac.new(secret, challenge, "md5").hexdigest().encode(), digest)
        return AuthResult(success=ok, handled=False, auth_data=LoginPassword(login, b"") if ok else None)

    async def auth_DIGEST__MD5(self, server, args):
        nonce = base64.b64encode(os.urandom(12)).decode()
        challenge = 'realm="%s",nonce="%s",qop="auth",charset=utf-8,algorithm=md5-sess' % (REALM, nonce)
        answer = await server.challenge_auth(challenge.encode())
        if answer is MISSING:
            return AuthResult(success=False, handled=False)
        fields = parse_pairs(answer.decode("latin-1"))
        login = fields.get("username", "").encode("latin-1")
        secret = PASSWORDS.get(login)
        if (secret is None or fields.get("nonce") != nonce or fields.get("realm") != REALM
                or fields.get("qop") != "auth" or fields.get("nc") != "00000001"
                or not fields.get("digest-uri", "").startswith("smtp/")):
            return AuthResult(success=False, handled=False)
        cnonce, uri = fields.get("cnonce", ""), fields["digest-uri"]
        a1 = hashlib.md5(login + b":" + REALM.encode() + b":" + secret).digest()
        ha1 = md5_hex(a1 + (":%s:%s" % (nonce, cnonce)).encode())

        def kd(a2):
            return md5_hex(("%s:%s:00000001:%s:auth:%s" % (ha1, nonce, cnonce, md5_hex(a2.encode()))).encode())

        if fields.get("response") != kd("AUTHENTICATE:" + uri):
            return AuthResult(success=False, handled=False)
        rspauth = kd(":" + uri)
        if login == b"badrsp":
            rspauth = "0" * 32
        final = await server.challenge_auth(("rspauth=" + rspauth).encode())
        if final is MISSING or final != b"":
            return AuthResult(success=False, handled=False)
        return AuthResult(success=True, auth_data=LoginPassword(login, b""))


class RecordingSMTP(SMTP):
    """Keeps every line the client sends and writes one record per connection."""

    def __init__(self, name, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.peer_name = name
        self.transcript = bytearray()

    def _client_connected_cb(self, reader, writer):
        super()._client_connected_cb(reader, writer)
        # readline reads through readuntil, so this sees every line once.
        original = reader.readuntil

        async def readuntil(*args, **kwargs):
            data = await original(*args, **kwargs)
            self.transcript += data
            return data
        reader.readuntil = readuntil

    def connection_lost(self, error):
        session = self.session
        auth = getattr(session, "auth_data", None) if session else None
        login = getattr(auth, "login", None)
        delivered = getattr(session, "delivered", None) if session else None
        sender, recipients, content = delivered if delivered else ("", [], b"")
        fields = [self.peer_name, login or b"", sender or "", ",".join(recipients), content or b"",
                  bytes(self.transcript)]
        with open(RECORDS, "a") as out:
            out.write("\t".join(hexed(f) for f in fields) + "\n")
        super().connection_lost(error)


def context():
    made = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    made.load_cert_chain(os.path.join(CERTIFICATES, "server.pem"), os.path.join(CERTIFICATES, "server.key"))
    return made


ALL = ("LOGIN", "PLAIN", "CRAM-MD5", "DIGEST-MD5")
SERVERS = {
    # name: (implicit TLS, STARTTLS, mechanisms offered)
    "plain": (False, False, ALL),
    "cram": (False, False, ("LOGIN", "PLAIN", "CRAM-MD5")),
    "plainonly": (False, False, ("PLAIN",)),
    "login": (False, False, ("LOGIN",)),
    "digest": (False, False, ("DIGEST-MD5",)),
    "none": (False, False, ()),
    "tls": (True, False, ALL),
    "starttls": (False, True, ALL),
}


async def main():
    loop = asyncio.get_running_loop()
    ports = []
    for name, (implicit, starttls, offered) in SERVERS.items():
        def factory(name=name, starttls=starttls, offered=offered):
            return RecordingSMTP(name, Handler(name), hostname="mail.test", authenticator=authenticator,
                                 tls_context=context() if starttls else None,
                                 auth_require_tls=starttls,
                                 auth_exclude_mechanism=[m for m in ALL if m not in offered])
        server = await loop.create_server(factory, host="127.0.0.1", port=0,
                                          ssl=context() if implicit else None)
        ports.append("%s=%d" % (name, server.sockets[0].getsockname()[1]))
    print(" ".join(ports), flush=True)
    await asyncio.Event().wait()


if __name__ == "__main__":
    asyncio.run(main())

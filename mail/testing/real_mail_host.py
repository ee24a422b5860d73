#!/usr/bin/python3
"""A real Postfix and Dovecot mail host for the provider's tests.

Run inside a network namespace of its own (unshare -n): it brings up the
loopback interface, gives it the address of a "remote" mail server
(192.0.2.25), starts Postfix and Dovecot with a private configuration under
WORKDIR (high ports, both writing WORKDIR/log/mail.log), sends mail through
them and fetches it over IMAP and POP3 with the standard library's clients,
stops everything and writes WORKDIR/expected.json: what the clients and the
receiving ends saw, per domain, for the test to hold the provider's figures
against. Nothing here reads the log.

usage: real_mail_host.py WORKDIR [--dovecot-stamp FORMAT]
"""

import asyncio
import email
import imaplib
import json
import os
import poplib
import pwd
import shutil
import smtplib
import subprocess
import sys
import threading
import time

from aiosmtpd.controller import Controller

REMOTE_ADDR = "192.0.2.25"
PORT_PLAIN, PORT_AMAVIS, PORT_PIPE, PORT_REINJECT = 10025, 10026, 10027, 10028
PORT_FILTER, PORT_REMOTE, PORT_IMAP, PORT_POP3 = 10024, 2525, 10143, 10110
NOBODY = pwd.getpwnam("nobody")


def write(path, text, mode=0o644):
    with open(path, "w") as f:
        f.write(text)
    os.chmod(path, mode)


class Host:
    def __init__(self, work, dovecot_stamp):
        self.work = os.path.abspath(work)
        self.conf = os.path.join(self.work, "postfix")
        self.log = os.path.join(self.work, "log", "mail.log")
        self.vmail = os.path.join(self.work, "vmail")
        self.dovecot_stamp = dovecot_stamp
        self.procs = []
        self.remote_received = []  # (mail from, rcpt tos, bytes) at the remote server
        self.filter_received = []  # bytes the SMTP content filter was handed
        self.env = dict(os.environ, TZ="UTC")

    # --- configuration -------------------------------------------------
    def configure(self):
        w = self.work
        for d in ("postfix", "queue", "data", "log", "vmail", "dovecot/run", "dovecot/state", "filter"):
            os.makedirs(os.path.join(w, d), exist_ok=True)
        os.chmod(w, 0o755)
        shutil.chown(os.path.join(w, "data"), "postfix", "postfix")
        os.chown(self.vmail, NOBODY.pw_uid, NOBODY.pw_gid)
        c = self.conf
        write(os.path.join(c, "main.cf"), f"""compatibility_level = 3.6
queue_directory = {w}/queue
data_directory = {w}/data
command_directory = /usr/sbin
daemon_directory = /usr/lib/postfix/sbin
meta_directory = /etc/postfix
shlib_directory = /usr/lib/postfix
mail_owner = postfix
setgid_group = postdrop
maillog_file = {self.log}
maillog_file_prefixes = {w}
myhostname = mx.alpha.test
mydomain = alpha.test
myorigin = alpha.test
mydestination = localhost
inet_interfaces = 127.0.0.1
inet_protocols = ipv4
mynetworks = 127.0.0.0/8
smtp_dns_support_level = disabled
smtp_host_lookup = native
biff = no
alias_maps = texthash:{c}/aliases
alias_database =
virtual_alias_maps = texthash:{c}/virtual
virtual_mailbox_domains = alpha.test beta.test
virtual_mailbox_base = {self.vmail}
virtual_mailbox_maps = texthash:{c}/vmailbox
virtual_uid_maps = static:{NOBODY.pw_uid}
virtual_gid_maps = static:{NOBODY.pw_gid}
transport_maps = texthash:{c}/transport
local_recipient_maps =
smtpd_recipient_restrictions = permit_mynetworks, reject
smtpd_relay_restrictions = permit_mynetworks, reject
maximal_queue_lifetime = 1h
queue_run_delay = 1s
minimal_backoff_time = 1s
""")
        write(os.path.join(c, "master.cf"), f"""127.0.0.1:{PORT_PLAIN} inet n - n - - smtpd
127.0.0.1:{PORT_AMAVIS} inet n - n - - smtpd -o content_filter=scan:[127.0.0.1]:{PORT_FILTER}
127.0.0.1:{PORT_PIPE} inet n - n - - smtpd -o content_filter=pipefilter:dummy
127.0.0.1:{PORT_REINJECT} inet n - n - - smtpd -o content_filter= -o receive_override_options=no_unknown_recipient_checks,no_header_body_checks,no_address_mappings
pickup unix n - n 1 1 pickup
cleanup unix n - n - 0 cleanup
qmgr unix n - n 1 1 qmgr
rewrite unix - - n - - trivial-rewrite
bounce unix - - n - 0 bounce
defer unix - - n - 0 bounce
trace unix - - n - 0 bounce
verify unix - - n - 1 verify
flush unix n - n 1000? 0 flush
proxymap unix - - n - - proxymap
smtp unix - - n - - smtp
relay unix - - n - - smtp
showq unix n - n - - showq
error unix - - n - - error
retry unix - - n - - error
discard unix - - n - - discard
local unix - n n - - local
virtual unix - n n - - virtual
lmtp unix - - n - - lmtp
anvil unix - - n - 1 anvil
scache unix - - n - 1 scache
postlog unix-dgram n - n - 1 postlogd
scan unix - - n - 4 smtp -o smtp_send_xforward_command=yes
pipefilter unix - n n - 4 pipe flags=q user=nobody argv=/usr/bin/python3 {w}/filter/pipe_filter.py ${{sender}} ${{recipient}}
""")
        write(os.path.join(c, "vmailbox"), "info@alpha.test alpha.test/info/Maildir/\nsales@alpha.test alpha.test/sales/Maildir/\n")
        write(os.path.join(c, "virtual"), "info@beta.test fwd@localhost\n")
        write(os.path.join(c, "aliases"), "fwd out@remote.test\n")
        write(os.path.join(c, "transport"), f"remote.test smtp:[{REMOTE_ADDR}]:{PORT_REMOTE}\n")
        # The spamc-then-sendmail kind of filter: it adds a header and leaves
        # the copy for the host to hand back with sendmail (pickup), as root:
        # Postfix's sendmail takes a private configuration only from root.
        write(os.path.join(w, "filter", "pipe_filter.py"), f"""import json, os, sys
data = sys.stdin.buffer.read()
with open("{w}/filter/pipe_sizes", "a") as f:
    f.write("%d\\n" % (len(data) + data.count(b"\\n")))
copy = b"X-Spam-Checked: yes, by the test filter\\n" + data
name = "{w}/filter/spool/%d" % os.getpid()
with open(name + ".tmp", "wb") as f:
    f.write(json.dumps(sys.argv[1:]).encode() + b"\\n" + copy)
os.rename(name + ".tmp", name + ".msg")
""")
        os.makedirs(os.path.join(w, "filter", "spool"), exist_ok=True)
        os.chmod(os.path.join(w, "filter", "spool"), 0o777)
        os.chmod(os.path.join(w, "filter"), 0o777)
        d = os.path.join(w, "dovecot")
        write(os.path.join(d, "users"), "info@alpha.test:{PLAIN}secret1::::::\nsales@alpha.test:{PLAIN}secret2::::::\n")
        write(os.path.join(d, "dovecot.conf"), f"""base_dir = {d}/run
state_dir = {d}/state
log_path = {self.log}
log_timestamp = "{self.dovecot_stamp}"
protocols = imap pop3
listen = 127.0.0.1
ssl = no
disable_plaintext_auth = no
auth_mechanisms = plain
first_valid_uid = 1
mail_location = maildir:{self.vmail}/%d/%n/Maildir
passdb {{
  driver = passwd-file
  args = scheme=PLAIN username_format=%u {d}/users
}}
userdb {{
  driver = static
  args = uid={NOBODY.pw_uid} gid={NOBODY.pw_gid} home={self.vmail}/%d/%n
}}
service imap-login {{
  inet_listener imap {{
    port = {PORT_IMAP}
  }}
  inet_listener imaps {{
    port = 0
  }}
}}
service pop3-login {{
  inet_listener pop3 {{
    port = {PORT_POP3}
  }}
  inet_listener pop3s {{
    port = 0
  }}
}}
service anvil {{
  chroot =
}}
pop3_uidl_format = %08Xu%08Xv
pop3_logout_format = top=%t/%p, retr=%r/%b, del=%d/%m, size=%s
""")

    # --- servers -------------------------------------------------------
    def network(self):
        subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
        subprocess.run(["ip", "addr", "add", REMOTE_ADDR + "/32", "dev", "lo"], check=True)

    def start(self):
        host = self

        class Remote:
            async def handle_DATA(self, server, session, envelope):
                host.remote_received.append((envelope.mail_from, list(envelope.rcpt_tos), envelope.original_content))
                return "250 2.0.0 Ok: accepted by the remote test server"

        class Filter:
            # Answers the way an amavisd-new filter does: its own id, then the
            # reinjecting server's reply (text with commas).
            async def handle_DATA(self, server, session, envelope):
                data = envelope.original_content
                with smtplib.SMTP("127.0.0.1", PORT_REINJECT) as s:
                    s.mail(envelope.mail_from)
                    for r in envelope.rcpt_tos:
                        s.rcpt(r)
                    code, reply = s.data(b"X-Virus-Scanned: test filter\r\n" + data)
                return "250 2.0.0 Ok, id=08627-05, from MTA([127.0.0.1]:%d): %d %s" % (PORT_REINJECT, code, reply.decode())

        for handler, addr, port in ((Remote(), REMOTE_ADDR, PORT_REMOTE), (Filter(), "127.0.0.1", PORT_FILTER)):
            c = Controller(handler, hostname=addr, port=port)
            c.start()
            self.procs.append(("controller", c))
        subprocess.run(["/usr/sbin/postfix", "-c", self.conf, "check"], check=True, env=self.env)
        self.postfix = subprocess.Popen(["/usr/sbin/postfix", "-c", self.conf, "start-fg"], env=self.env)
        self.dovecot = subprocess.Popen(["/usr/sbin/dovecot", "-F", "-c", os.path.join(self.work, "dovecot", "dovecot.conf")], env=self.env)
        self.wait_for_port(PORT_PLAIN)
        self.wait_for_port(PORT_IMAP)
        self.wait_for_port(PORT_POP3)

    def wait_for_port(self, port):
        import socket
        for _ in range(200):
            try:
                socket.create_connection(("127.0.0.1", port), timeout=1).close()
                return
            except OSError:
                time.sleep(0.05)
        raise SystemExit("port %d never opened" % port)

    def stop(self):
        if getattr(self, "postfix", None):
            subprocess.run(["/usr/sbin/postfix", "-c", self.conf, "stop"], env=self.env)
            self.postfix.wait(timeout=60)
        if getattr(self, "dovecot", None):
            self.dovecot.terminate()
            self.dovecot.wait(timeout=60)
        for _, c in self.procs:
            c.stop()

    def queue_empty(self):
        r = subprocess.run(["/usr/sbin/postqueue", "-c", self.conf, "-p"], capture_output=True, text=True, env=self.env)
        return "Mail queue is empty" in r.stdout

    def settle(self, maildir_count, remote_count):
        # Bounded: the test fails on what is missing, not on time.
        for _ in range(600):
            self.reinject()
            if self.queue_empty() and self.count_maildir() >= maildir_count and len(self.remote_received) >= remote_count:
                return
            time.sleep(0.1)
        raise SystemExit("the mail never settled: %d in mailboxes, %d at the remote" % (self.count_maildir(), len(self.remote_received)))

    def reinject(self):
        spool = os.path.join(self.work, "filter", "spool")
        for name in sorted(os.listdir(spool)):
            if not name.endswith(".msg"):
                continue
            path = os.path.join(spool, name)
            head, copy = open(path, "rb").read().split(b"\n", 1)
            args = json.loads(head)
            subprocess.run(["/usr/sbin/sendmail", "-C", self.conf, "-G", "-i", "-f", args[0], "--"] + args[1:], input=copy, check=True, env=self.env)
            os.unlink(path)

    def count_maildir(self):
        n = 0
        for root, dirs, files in os.walk(self.vmail):
            if os.path.basename(root) in ("new", "cur"):
                n += len(files)
        return n


def message(sender, rcpt, subject, body_bytes, msgid):
    body = ("%s\n" % ("x" * 71)) * (body_bytes // 72)
    return ("From: %s\nTo: %s\nSubject: %s\nMessage-ID: <%s@client.test>\n\n%s" % (sender, rcpt, subject, msgid, body)).encode()


def smtp_send(port, sender, rcpts, data):
    with smtplib.SMTP("127.0.0.1", port) as s:
        s.sendmail(sender, rcpts, data)


def wire_size(data):
    """Bytes with CRLF line ends, as Postfix gives a message's size."""
    data = data.replace(b"\r\n", b"\n")
    return len(data) + data.count(b"\n")


def as_received(data):
    """The message as it first entered the host: from the bottom-most
    Received header on (the test's clients add none of their own; filters
    and forwarding add their headers above it)."""
    data = data.replace(b"\r\n", b"\n")
    head = data.split(b"\n\n", 1)[0]
    at = head.rfind(b"\nReceived:")
    return wire_size(data[at + 1:] if at >= 0 else data)


def message_id(data):
    return email.message_from_bytes(data)["Message-ID"]


def delivered(vmail, domain, box):
    """(message id, the message as delivered) of a mailbox's messages."""
    out = []
    for sub in ("new", "cur"):
        d = os.path.join(vmail, domain, box, "Maildir", sub)
        for name in sorted(os.listdir(d)):
            data = open(os.path.join(d, name), "rb").read()
            if message_id(data):
                out.append((message_id(data), data))
    return out


class CountingIMAP(imaplib.IMAP4):
    counting = False
    sent = received = 0

    def send(self, data):
        if self.counting:
            self.sent += len(data)
        super().send(data)
        if b" LOGIN " in data:
            # Dovecot's in=/out= start with the reply to the login.
            self.counting = True

    def read(self, size):
        data = super().read(size)
        if self.counting:
            self.received += len(data)
        return data

    def shutdown(self):
        # imaplib stops at the BYE; the tagged reply to LOGOUT follows it.
        self.received += len(self.file.read())
        super().shutdown()

    def readline(self):
        data = super().readline()
        if self.counting:
            self.received += len(data)
        return data


def imap_session(user, password):
    c = CountingIMAP("127.0.0.1", PORT_IMAP)
    c.login(user, password)
    c.select("INBOX")
    typ, data = c.search(None, "ALL")
    for num in data[0].split():
        c.fetch(num, "(RFC822)")
    c.append("INBOX", None, None, b"Subject: a draft\r\n\r\nkept by the client\r\n")
    c.logout()
    # Dovecot counts the input it consumed: the line end after LOGOUT is
    # left unread when it closes the session.
    return c.sent - 2, c.received


class CountingPOP3(poplib.POP3):
    retr_bytes = 0
    in_retr = False

    def _getline(self):
        line, octets = super()._getline()
        # Dovecot's retr= bytes leave out the terminating ".".
        if self.in_retr and line != b".":
            self.retr_bytes += octets
        return line, octets


def pop3_session(user, password):
    c = CountingPOP3("127.0.0.1", PORT_POP3)
    c.user(user)
    c.pass_(password)
    count, _ = c.stat()
    retr = 0
    for i in range(1, count + 1):
        c.in_retr = True
        c.retr(i)
        c.in_retr = False
    c.quit()
    return count, c.retr_bytes


def main():
    work = sys.argv[1]
    stamp = "%b %d %H:%M:%S "
    if "--dovecot-stamp" in sys.argv:
        stamp = sys.argv[sys.argv.index("--dovecot-stamp") + 1]
    host = Host(work, stamp)
    host.configure()
    host.network()
    started = time.time()
    try:
        host.start()
        remote = "someone@remote.test"
        # In from outside, plain.
        smtp_send(PORT_PLAIN, remote, ["info@alpha.test"], message(remote, "info@alpha.test", "plain in", 2000, "m1"))
        # Out to another server.
        smtp_send(PORT_PLAIN, "info@alpha.test", ["friend@remote.test"], message("info@alpha.test", "friend@remote.test", "plain out", 1500, "m2"))
        # In through an amavisd-new kind of content filter (SMTP, "queued as").
        smtp_send(PORT_AMAVIS, remote, ["sales@alpha.test"], message(remote, "sales@alpha.test", "amavis in", 3000, "m3"))
        # Out and to a mailbox of the host, through a pipe filter that
        # re-injects with sendmail.
        smtp_send(PORT_PIPE, "info@alpha.test", ["sales@alpha.test", "friend@remote.test"],
                  message("info@alpha.test", "sales@alpha.test", "pipe both", 2500, "m4"))
        # Sent with sendmail to a bare local part (orig_to without a domain).
        data = message("info@alpha.test", "sales", "bare rcpt", 700, "m5")
        subprocess.run(["/usr/sbin/sendmail", "-C", host.conf, "-i", "-f", "info@alpha.test", "--", "sales"], input=data, check=True, env=host.env)
        # To an alias that local(8) forwards to another server.
        smtp_send(PORT_PLAIN, "info@alpha.test", ["info@beta.test"], message("info@alpha.test", "info@beta.test", "forwarded", 1200, "m6"))
        host.settle(maildir_count=4, remote_count=3)

        imap = imap_session("info@alpha.test", "secret1")
        pop = pop3_session("sales@alpha.test", "secret2")
        # Let Dovecot write its logout lines.
        time.sleep(0.5)
    finally:
        host.stop()
    finished = time.time()

    pipe_sizes = [int(x) for x in open(os.path.join(work, "filter", "pipe_sizes")).read().split()]
    # What the receiving ends saw, by message id: the message as it entered
    # the host, who sent it, who of the hosted domains received it.
    original, sender, hosted_rcpts = {}, {}, {}
    senders = {"<m%d@client.test>" % i: s for i, s in enumerate(
        [None, remote, "info@alpha.test", remote, "info@alpha.test", "info@alpha.test", "info@alpha.test"]) if s}
    for box, domain, rcpt in (("info", "alpha.test", "info@alpha.test"), ("sales", "alpha.test", "sales@alpha.test")):
        for mid, data in delivered(host.vmail, domain, box):
            original[mid] = as_received(data)
            hosted_rcpts.setdefault(mid, set()).add(rcpt)
    out_sent = {}
    for mail_from, rcpts, data in host.remote_received:
        mid = message_id(data)
        original[mid] = as_received(data)
        out_sent[mid] = out_sent.get(mid, 0) + wire_size(data)
    # The forwarded alias is a recipient of the hosted domain beta.test.
    hosted_rcpts.setdefault("<m6@client.test>", set()).add("info@beta.test")

    figures = {}
    def add(domain, key, n):
        figures.setdefault(domain, {"smtpOutSent": 0, "smtpOutReceived": 0, "smtpInSent": 0, "smtpInReceived": 0,
                                    "popImapSent": 0, "popImapReceived": 0})[key] += n
    messages = 0
    for mid, size in original.items():
        for rcpt in hosted_rcpts.get(mid, ()):
            add(rcpt.split("@")[1], "smtpInReceived", size)
        s = senders.get(mid, "")
        if s.endswith("@alpha.test"):
            add("alpha.test", "smtpOutReceived", size)
            add("alpha.test", "smtpOutSent", out_sent.get(mid, 0))
            messages += 1
    add("alpha.test", "popImapReceived", imap[0])
    add("alpha.test", "popImapSent", imap[1] + pop[1])
    # The same for the C++ test: "domain counter bytes" lines.
    with open(os.path.join(work, "expected.txt"), "w") as f:
        f.write("window %d %d\n" % (int(started), int(finished) + 1))
        f.write("messages %d\n" % messages)
        for domain, counters in sorted(figures.items()):
            for key, n in counters.items():
                f.write("%s %s %d\n" % (domain, key, n))
    json.dump({"started": int(started), "finished": int(finished) + 1, "log": host.log, "figures": figures,
               "imap": imap, "pop3": pop, "messages_sent": messages, "pipe_filter_received": pipe_sizes, "original_sizes": original},
              open(os.path.join(work, "expected.json"), "w"), indent=1)


if __name__ == "__main__":
    main()

#!/usr/bin/python3
"""The whole system as an installation runs it, from its Debian package.

    tests/package/system_test.py PACKAGE.deb     (as root, with DISPLAY set)

Installs the package on this machine, starts svcmgr as its systemd unit
would, checks three chain databases on the local Firebird server and mails
to a real SMTP server, then drives the installed vigilo_cfg through a new
check time, a stop and a start, and makes one chain database unreachable in
the middle of a check. Purges the package at the end, whatever happened.
Every wait is bounded.
"""
import datetime
import os
import re
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "maillib"))
from aiosmtpd.controller import Controller  # noqa: E402
from smtp_server import StoringHandler, free_port  # noqa: E402

PROG = "/usr/lib/vigilo/"
SVCMGR = "/usr/sbin/svcmgr"
SERVICES = "/etc/vigilo/services/"
REGISTRATION = SERVICES + "vazidere.ini"
RUNTIME = "/run/vigilo/"
UNIT = "/usr/lib/systemd/system/vigilo.service"
TMPFILES = "/usr/lib/tmpfiles.d/vigilo.conf"
# The environment svcmgr gets from systemd, and from the README's command.
MANAGER_ENV = {"PATH": "/usr/sbin:/usr/bin:/sbin:/bin"}
SYSTEMD = os.path.isdir("/run/systemd/system")

# The chains: (name in qorsvc.ini, database folder, shops as (name, days since
# the last counted day)). DAILY is reached through a relay the test can hold.
CHAINS = [
    ("Boutiques quotidiennes", "DAILY",
     [("Lyon Part-Dieu", 0), ("Marseille Vieux-Port", 4), ("Nantes Commerce", 1)]),
    ("Magasins du centre", "CENTRE",
     [("Paris Opéra", 1), ("Café de la Gare", 3), ("Lille Flandres", 9)]),
    ("Semaine ouvrée", "WEEKDAYS", [("Toulouse Capitole", 2), ("Strasbourg Kléber", 12)]),
]

passed = 0


class Failure(Exception):
    pass


def check(condition, what):
    global passed
    if not condition:
        raise Failure(what)
    passed += 1
    print("ok   " + what, flush=True)


def wait_until(predicate, seconds, what):
    deadline = time.monotonic() + seconds
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > deadline:
            raise Failure("timed out after %d s: %s" % (seconds, what))
        time.sleep(0.1)


def run(*args, **kwargs):
    kwargs.setdefault("check", True)
    kwargs.setdefault("timeout", 300)
    return subprocess.run(args, **kwargs)


def read_bytes(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except FileNotFoundError:
        return b""


def log_lines():
    return read_bytes(PROG + "vigilo.log").decode("utf-8").split("\n")


def log_texts(lines):
    """The messages of log lines, without their date and time."""
    return [line.split("\t", 1)[1] for line in lines if "\t" in line]


# ---- the info pipe, spoken as a client does ----

def recv_exact(sock, count):
    data = b""
    while len(data) < count:
        piece = sock.recv(count - len(data))
        if not piece:
            raise OSError("connection closed")
        data += piece
    return data


def system_time(data):
    year, month, _, day, hour, minute, second, _ = struct.unpack("<8H", data)
    return datetime.datetime(year, month, day, hour, minute, second) if year > 1900 else None


def service_status():
    """The status block of "ANSGETSTATS", or None while the pipe does not answer."""
    try:
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as sock:
            sock.settimeout(5)
            sock.connect(RUNTIME + "pipe/vigiloinfo")
            if recv_exact(sock, 1) != b"A":
                return None
            request = b"REQGETSTATS".ljust(16, b"\0") + struct.pack("<iiI", 0, 0, 0)
            sock.sendall(struct.pack("<I", len(request)) + request)
            answer = recv_exact(sock, struct.unpack("<I", recv_exact(sock, 4))[0])
    except OSError:
        return None
    if not answer.startswith(b"ANSGETSTATS\0") or len(answer) != 421:
        raise Failure("the info pipe answered %r" % answer[:16])
    block = answer[84:]
    return {
        "busy": block[8],
        "next_check": system_time(block[49:65]),
        "last_report": system_time(block[65:81]),
        "last_event": block[81:209].split(b"\0")[0].decode("cp1252"),
        "last_error": block[209:337].split(b"\0")[0].decode("cp1252"),
    }


# ---- a relay in front of the Firebird server that can hold a connection ----

class Relay:
    """Forwards loopback connections to the Firebird server. While held, a new
    connection waits unanswered until release(); `arrived` is set for it."""

    def __init__(self):
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(8)
        self.port = self.listener.getsockname()[1]
        self.held = threading.Event()
        self.released = threading.Event()
        self.arrived = threading.Event()
        threading.Thread(target=self._accept, daemon=True).start()

    def hold(self):
        self.arrived.clear()
        self.released.clear()
        self.held.set()

    def release(self):
        self.held.clear()
        self.released.set()

    def _accept(self):
        while True:
            try:
                client, _ = self.listener.accept()
            except OSError:
                return
            threading.Thread(target=self._serve, args=(client,), daemon=True).start()

    def _serve(self, client):
        if self.held.is_set():
            self.arrived.set()
            # Bounded: a test that failed before its release lets it go on.
            self.released.wait(120)
        try:
            server = socket.create_connection(("127.0.0.1", 3050), timeout=10)
            server.settimeout(None)
        except OSError:
            client.close()
            return
        for a, b in ((client, server), (server, client)):
            threading.Thread(target=self._pump, args=(a, b), daemon=True).start()

    @staticmethod
    def _pump(source, target):
        try:
            while True:
                data = source.recv(65536)
                if not data:
                    break
                target.sendall(data)
        except OSError:
            pass
        for s in (source, target):
            try:
                s.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass


# ---- fixtures ----

def sysdba_password():
    with open("/etc/firebird/3.0/SYSDBA.password") as f:
        match = re.search(r'^ISC_PASSWORD="?([^"\n]*)"?$', f.read(), re.M)
    if not match:
        raise Failure("no SYSDBA password in /etc/firebird/3.0/SYSDBA.password")
    return match.group(1)


def make_chain(path, password, shops):
    """A chain database: each shop counted visitors every day for 30 days up
    to its lag before today."""
    sql = ["SET NAMES UTF8;", "SET SQL DIALECT 3;",
           "CREATE DATABASE 'localhost:%s' USER 'SYSDBA' PASSWORD '%s'" % (path, password),
           "  DEFAULT CHARACTER SET WIN1252;",
           "CREATE TABLE SHOPS (IDSHOP INTEGER NOT NULL PRIMARY KEY, SHOPNAME VARCHAR(60));",
           "CREATE TABLE VISITORS (IDSHOP INTEGER NOT NULL, DDATE TIMESTAMP NOT NULL,",
           "  ENTERS INTEGER NOT NULL, ENTERS_C INTEGER);",
           "CREATE TABLE CORRCOEFFS (IDSHOP INTEGER, COEFF DOUBLE PRECISION);",
           "CREATE TABLE HEATMAP (IDSHOP INTEGER, DDATE TIMESTAMP, CELLS BLOB);",
           "COMMIT;"]
    for number, (name, lag) in enumerate(shops, start=1):
        sql += ["INSERT INTO SHOPS VALUES (%d, '%s');" % (number, name),
                "SET TERM ^;",
                "EXECUTE BLOCK AS DECLARE d INTEGER = 30; BEGIN",
                "  WHILE (d >= %d) DO BEGIN" % lag,
                "    INSERT INTO VISITORS VALUES (%d, CURRENT_DATE - :d, 80 + MOD(:d * 37, 90),"
                " NULL);" % number,
                "    d = d - 1;",
                "  END",
                "END^",
                "SET TERM ;^"]
    sql.append("COMMIT;")
    run("isql-fb", "-q", "-b", input="\n".join(sql).encode(), stdout=subprocess.DEVNULL)


def write_crlf(path, lines, mode=0o644):
    with open(path, "wb") as f:
        f.write("".join(line + "\r\n" for line in lines).encode("cp1252"))
    os.chmod(path, mode)


# ---- the package ----

def package_status():
    result = subprocess.run(["dpkg-query", "-W", "-f=${Status}", "vigilo"],
                            capture_output=True, text=True)
    return result.stdout if result.returncode == 0 else ""


def purge():
    run("apt-get", "purge", "-y", "-q", "vigilo", stdout=subprocess.DEVNULL,
        env=dict(os.environ, DEBIAN_FRONTEND="noninteractive"))


def owned_by_root(path, mode):
    st = os.stat(path)
    return st.st_uid == 0 and st.st_gid == 0 and (st.st_mode & 0o7777) == mode


def install(deb):
    if "installed" in package_status():
        print("note: vigilo was installed already (an earlier run?): it is purged first")
        purge()
    run("apt-get", "install", "-y", "-q", "--no-install-recommends", os.path.abspath(deb),
        stdout=subprocess.DEVNULL, env=dict(os.environ, DEBIAN_FRONTEND="noninteractive"))
    check(package_status() == "install ok installed", "the package installs with its dependencies")
    for path, mode in [(PROG + "vigilo", 0o755), (PROG + "vigilo_cfg", 0o755),
                       (PROG + "libquennet.so", 0o644), (PROG + "report.ico", 0o644),
                       (PROG + "Reports", 0o755), (SVCMGR, 0o755), (UNIT, 0o644),
                       (TMPFILES, 0o644), (SERVICES, 0o755), (RUNTIME, 0o755)]:
        check(os.path.exists(path) and owned_by_root(path, mode),
              "%s is root's, mode %o" % (path, mode))
    registration = read_bytes(REGISTRATION).decode("cp1252").split("\r\n")
    check("ImagePath=" + PROG + "vigilo" in registration and "StartType=2" in registration,
          "the service is registered for an automatic start: %s" % registration)
    check("ExecStart=" + SVCMGR in read_bytes(UNIT).decode(), "the unit runs svcmgr")


# ---- the manager, as the unit runs it ----

def running(program):
    """The ids of the processes that run `program`."""
    pids = []
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                if os.readlink("/proc/%s/exe" % entry) == program:
                    pids.append(int(entry))
            except OSError:
                pass
    return pids


def start_manager(work):
    if SYSTEMD:
        run("systemctl", "restart", "vigilo.service")
    else:
        # The README's command for machines without systemd.
        if shutil.which("systemd-tmpfiles"):
            run("systemd-tmpfiles", "--create", "vigilo.conf")
        run("start-stop-daemon", "--start", "--background", "--output",
            os.path.join(work, "svcmgr.log"), "--exec", SVCMGR, env=MANAGER_ENV)
    check(len(wait_until(lambda: running(SVCMGR), 10, "svcmgr")) == 1, "svcmgr runs")


def upgrade(deb):
    """The same package again, as an upgrade installs it while the service
    runs: the registration, with what the administrator added to it, stays;
    the manager and the service start again."""
    before = read_bytes(REGISTRATION)
    manager = running(SVCMGR)
    started = count_texts("VazidEre service started (ver. 1.0.0)")
    target = checks_done() + 1
    said = run("dpkg", "-i", os.path.abspath(deb), capture_output=True, text=True)
    check(package_status() == "install ok installed" and "vigilo:" not in said.stderr,
          "the package installs over itself: %s" % said.stderr.strip())
    check(read_bytes(REGISTRATION) == before, "an upgrade keeps the registration as it was")
    after = wait_until(lambda: [p for p in running(SVCMGR) if p not in manager], 30,
                       "svcmgr started again by the upgrade")
    check(len(after) == 1 and not any(p in running(SVCMGR) for p in manager),
          "the upgrade stopped svcmgr and started a new one")
    wait_until(lambda: count_texts("VazidEre service started (ver. 1.0.0)") > started, 30,
               "the service started again after the upgrade")
    done = wait_until(lambda: run_lines(log_lines(), target), 60, "its first check")
    check("Check DAILY" in done and "Check CENTRE" in done and "Check WEEKDAYS" in done,
          "after the upgrade, the service checks the three chains again")


# ---- the installation's surroundings ----

def prepare(work, relay, smtp_port):
    """Three chain databases, the data-acquisition service's registration and
    settings, the desktop, and the alarm service's settings: the first check
    comes 5 s after the service starts."""
    password = sysdba_password()
    qorsvc = []
    for number, (name, folder, shops) in enumerate(CHAINS):
        os.makedirs(os.path.join(work, "db", folder))
        os.chmod(os.path.join(work, "db", folder), 0o777)  # the Firebird server writes here
        path = os.path.join(work, "db", folder, "shops.fdb")
        make_chain(path, password, shops)
        host = "127.0.0.1/%d" % relay.port if folder == "DAILY" else "localhost"
        qorsvc += ["[Directory%d]" % number, "TrackDirectory=" + name, "Host=" + host,
                   "Database=" + path, "Username=SYSDBA", "Password=" + password]
    os.makedirs(os.path.join(work, "qorsvc"))
    write_crlf(os.path.join(work, "qorsvc", "qorsvc.ini"), qorsvc, 0o600)
    write_crlf(SERVICES + "qorsvc.ini",
               ["[Service]", "DisplayName=Data acquisition (test)",
                "ImagePath=" + os.path.join(work, "qorsvc", "qorsvc"), "StartType=4"])
    os.makedirs(os.path.join(work, "Desktop"))
    # What an administrator adds to the registration for a shared desktop.
    with open(REGISTRATION, "ab") as f:
        f.write(("Environment=VIGILO_COMMON_DESKTOP=%s\r\n" % os.path.join(work, "Desktop"))
                .encode())
    settings = ["[General]", "LogDetailed=1",
                "ExactTime=" + datetime.datetime.now().strftime("%H:%M"), "TrackedChains=3",
                "[Alarms]", "UseEmail=1", "AlarmMailDefault=0",
                "AlarmMailAddr=alertes@vigilo.example", "AlarmMailSmtpHost=127.0.0.1",
                "AlarmMailSmtpPort=%d" % smtp_port,
                'AlarmMailBody="Bonjour,","voici les magasins sans comptage."']
    for number, (name, _, _) in enumerate(CHAINS):
        settings += ["[Chain%02d]" % number, "TrackedChain=" + name]
    write_crlf(PROG + "vigilo.ini", settings)


def mails(folder):
    """The stored mails, oldest first, as (subject, attachment name, attachment)."""
    if not os.path.isdir(folder):
        return []
    found = []
    for entry in sorted((e for e in os.listdir(folder) if re.fullmatch(r"msg\d+", e)),
                        key=lambda e: int(e[3:])):
        path = os.path.join(folder, entry)
        found.append((read_bytes(os.path.join(path, "subject")).decode(),
                      read_bytes(os.path.join(path, "att1.name")).decode(),
                      read_bytes(os.path.join(path, "att1.data"))))
    return found


def run_lines(lines, done_count):
    """The log lines of the check run that ended with the done_count-th "Data
    check done" line: those after the previous one or after the service's
    last start before it."""
    texts = log_texts(lines)
    ends = [i for i, t in enumerate(texts) if t.startswith("Data check done")]
    if len(ends) < done_count:
        return None
    end = ends[done_count - 1]
    begin = max([i for i, t in enumerate(texts[:end]) if t.startswith("Data check done") or
                 t.startswith("VazidEre service started")], default=-1) + 1
    return texts[begin:end + 1]


def first_check(work):
    done = wait_until(lambda: run_lines(log_lines(), 1), 60, "the first check")
    check("Check DAILY" in done and "Check CENTRE" in done and "Check WEEKDAYS" in done,
          "the first check reads the three chains: %s" % done)
    main = read_bytes(PROG + "Reports/alert_report.html").decode()
    for shop in ["Marseille Vieux-Port", "Café de la Gare", "Lille Flandres",
                 "Toulouse Capitole", "Strasbourg Kléber"]:
        check(shop in main, "the main report names %s" % shop)
    for shop in ["Lyon Part-Dieu", "Nantes Commerce", "Paris Opéra"]:
        check(shop not in main, "the main report leaves out %s, counted up to yesterday" % shop)
    for _, folder, _ in CHAINS:
        check(os.path.isfile(PROG + "Reports/alert_report_%s.html" % folder),
              "the chain report of %s" % folder)
    check(os.path.isfile(os.path.join(work, "Desktop", "Alert_Report.lnk")),
          "the shortcut on the shared desktop")
    got = wait_until(lambda: len(mails(os.path.join(work, "mail"))) >= 3 and
                     mails(os.path.join(work, "mail")), 30, "three mails")
    check(sorted(m[0] for m in got) ==
          ["Message de alarme du Alert Service - " + f for f in ["CENTRE", "DAILY", "WEEKDAYS"]],
          "one mail for each chain with alarms: %s" % [m[0] for m in got])
    for subject, name, data in got:
        folder = subject.rsplit(" - ", 1)[1]
        check(name == "alert_report_%s.html" % folder and
              data == read_bytes(PROG + "Reports/" + name),
              "the mail of %s carries its report" % folder)
    status = wait_until(service_status, 10, "the info pipe")
    check(status["last_event"].startswith("Data check done"), "the info pipe: the check is done")



# ---- the control program under X, driven as a person would ----

def xdotool(*args):
    return run("xdotool", *args, capture_output=True, text=True, timeout=20).stdout


def find_window(title, seconds):
    """The visible top-level window whose title starts with `title`."""
    def look():
        found = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", "^" + title],
                               capture_output=True, text=True, timeout=10).stdout.split()
        return found[-1] if found else None
    return wait_until(look, seconds, "the window " + title)


def window_size(window):
    values = dict(line.split("=", 1) for line in xdotool("getwindowgeometry", "--shell",
                                                         window).split())
    return int(values["WIDTH"]), int(values["HEIGHT"])


def click(window, x, y):
    xdotool("mousemove", "--window", window, str(x), str(y), "click", "1")


def dark_pixels(window, x, y, half_width, half_height):
    """How many pixels around (x, y) of the window are near black, as xwd
    reads them from the X server: a button's text is black while it is
    enabled and grey while it is not."""
    image = run("xwd", "-silent", "-id", window, capture_output=True, timeout=20).stdout
    header = struct.unpack(">25I", image[:100])
    header_size, depth, width, height = header[0], header[3], header[4], header[5]
    bits_per_pixel, bytes_per_line, ncolors = header[11], header[12], header[19]
    if depth != 24 or bits_per_pixel != 32 or header[7] != 0:
        raise Failure("the X screen is not 24-bit LSB-first (depth %d)" % depth)
    pixels = image[header_size + ncolors * 12:]
    count = 0
    for row in range(max(0, y - half_height), min(height, y + half_height + 1)):
        for column in range(max(0, x - half_width), min(width, x + half_width + 1)):
            offset = row * bytes_per_line + column * 4
            blue, green, red = pixels[offset], pixels[offset + 1], pixels[offset + 2]
            if max(red, green, blue) < 0x40:
                count += 1
    return count


class ControlWindow:
    """vigilo_cfg's main window: its four buttons share the bar above the
    status bar, each a quarter of the width."""
    BUTTONS = {"start": 0, "stop": 1, "configure": 2, "close": 3}

    def __init__(self, window):
        self.window = window

    def button(self, name):
        width, height = window_size(self.window)
        return (width * (2 * self.BUTTONS[name] + 1)) // 8, height - 36

    def enabled(self, name):
        x, y = self.button(name)
        return dark_pixels(self.window, x, y, 50, 7) > 0

    def press(self, name):
        wait_until(lambda: self.enabled(name), 20, "the button %s enabled" % name)
        click(self.window, *self.button(name))


def set_check_time_in_dialog(dialog, new_time):
    """The parameters dialog: its General page, the check time typed over the
    old one, OK by the Return key (the dialog's default button)."""
    width, height = window_size(dialog)
    click(dialog, 45, 24)  # the first tab
    click(dialog, width - 150, height - 88)  # the check times, above "Detailed event log"
    xdotool("windowfocus", dialog)
    xdotool("key", "ctrl+a")
    xdotool("type", "--delay", "50", new_time)
    xdotool("key", "Return")


def count_texts(text):
    return log_texts(log_lines()).count(text)


def checks_done():
    return sum(1 for t in log_texts(log_lines()) if t.startswith("Data check done"))


def new_check_time():
    """A time at least 60 s ahead, on the minute, and its moment today."""
    now = datetime.datetime.now()
    at = (now + datetime.timedelta(seconds=60 + 59)).replace(second=0, microsecond=0)
    return at.strftime("%H:%M"), at


def steps_after_first_check(work, relay, processes):
    mail_folder = os.path.join(work, "mail")
    target = checks_done() + 1
    mails_before = len(mails(mail_folder))
    started = count_texts("VazidEre service started (ver. 1.0.0)")
    log = open(os.path.join(work, "vigilo_cfg.log"), "ab")
    processes["vigilo_cfg"] = subprocess.Popen([PROG + "vigilo_cfg", "-config"], stdout=log,
                                               stderr=log, stdin=subprocess.DEVNULL)
    window = ControlWindow(find_window("CORVANTE Alert Service", 30))
    dialog = find_window("Alert Service parameters", 30)
    text, at = new_check_time()
    set_check_time_in_dialog(dialog, text)

    # OK sends the file over the control pipe and restarts the service.
    wait_until(lambda: count_texts("VazidEre service started (ver. 1.0.0)") > started, 30,
               "the service restarted by the window")
    ini = read_bytes(PROG + "vigilo.ini").decode("cp1252").split("\r\n")
    check("ExactTime=" + text in ini, "the service's vigilo.ini holds the new time " + text)
    check(count_texts("Service configuration file updated by client") == 1,
          "the window sent the settings over the control pipe")
    status = wait_until(service_status, 20, "the info pipe after the restart")
    check(status["next_check"] == at, "the info pipe's next check: %s" % status["next_check"])

    # Stop and start from the window.
    window.press("stop")
    wait_until(lambda: not running(PROG + "vigilo") and service_status() is None, 30,
               "the service stopped from the window")
    check(log_texts(log_lines())[-1] == "VazidEre service stopped", "stopped from the window")
    window.press("start")
    status = wait_until(service_status, 30, "the service started from the window")
    check(len(running(PROG + "vigilo")) == 1, "started from the window: one service process")
    check(status["next_check"] == at, "after the start, the next check is still at " + text)

    # The check at the new time, with one chain database gone in its middle:
    # the relay holds the first chain's connection until the third chain's
    # database file has been moved away.
    relay.hold()
    check(datetime.datetime.now() < at, "the check at %s is still to come" % text)
    wait_until(relay.arrived.is_set, (at - datetime.datetime.now()).total_seconds() + 30,
               "the check at " + text)
    check(datetime.datetime.now() >= at, "the check began at " + text)
    status = service_status()
    check(status is not None and status["busy"] == 1, "the info pipe: busy while it checks")
    centre = os.path.join(work, "db", "CENTRE", "shops.fdb")
    os.rename(centre, centre + ".moved")
    relay.release()
    lines = wait_until(lambda: run_lines(log_lines(), target), 60, "the check at " + text)
    errors = [t for t in lines if "CENTRE" in t]
    check(len(errors) == 1 and "shops.fdb" in errors[0],
          "one error line for the unreachable chain: %s" % errors)
    sent = "le message est envoyé avec succès."
    check(lines == ["Check DAILY", errors[0], "Check WEEKDAYS", sent, sent, lines[-1]],
          "the other chains go on: %s" % lines)
    status = wait_until(service_status, 10, "the info pipe after the check")
    # The status text is the message as raised, cut at 127 characters; the
    # log writes its line breaks as blanks.
    last_error = status["last_error"].replace("\r\n", " ")
    check("CENTRE/shops.fdb" in last_error and errors[0].startswith(last_error),
          "the error is the service's last error: %r" % status["last_error"])
    check(status["next_check"] == at + datetime.timedelta(days=1),
          "the next check: tomorrow at " + text)
    main = read_bytes(PROG + "Reports/alert_report.html").decode()
    check("Marseille Vieux-Port" in main and "Strasbourg Kléber" in main and
          "Café de la Gare" not in main, "the main report holds the chains that were read")
    got = wait_until(lambda: len(mails(mail_folder)) >= mails_before + 2 and
                     mails(mail_folder), 30, "two more mails")
    check(sorted(m[0].rsplit(" - ", 1)[1] for m in got[mails_before:]) == ["DAILY", "WEEKDAYS"],
          "mails for the chains that were read")
    os.rename(centre + ".moved", centre)

    window.press("close")
    check(processes["vigilo_cfg"].wait(20) == 0, "the window closes")


def after_purge(processes):
    check(package_status() in ("", "unknown ok not-installed"), "the package is purged")
    check(not processes.get("killed") and not running(SVCMGR), "the purge stopped the manager")
    check(not running(PROG + "vigilo"), "no service process is left")
    for path in [REGISTRATION, "/etc/vigilo", PROG, RUNTIME, UNIT, SVCMGR]:
        check(not os.path.exists(path), "%s is gone" % path)


# ---- the end, whatever happened ----

def diagnose(work):
    print("---- vigilo.log")
    print("\n".join(log_lines()[-40:]))
    for path in [os.path.join(work, "svcmgr.log"), "/var/log/svcmgr.log",
                 os.path.join(work, "vigilo_cfg.log")]:
        if os.path.exists(path):
            print("---- " + path)
            print(read_bytes(path).decode(errors="replace")[-4000:])
    if os.environ.get("DISPLAY") and shutil.which("xwd"):
        shot = os.path.join(tempfile.gettempdir(), "vigilo-package-test-screen.xwd")
        subprocess.run(["xwd", "-root", "-silent", "-out", shot], timeout=10)
        print("---- the screen at the failure: " + shot)


def clean_up(work, processes):
    gui = processes.get("vigilo_cfg")
    if gui is not None and gui.poll() is None:
        gui.terminate()
        try:
            gui.wait(10)
        except subprocess.TimeoutExpired:
            gui.kill()
    if os.path.exists(SERVICES + "qorsvc.ini"):
        os.remove(SERVICES + "qorsvc.ini")
    if "installed" in package_status():
        # The package's prerm stops the manager, which stops the service.
        purge()
    # Left only when the purge failed: the managers this test started.
    for pid in running(SVCMGR):
        processes["killed"] = True
        os.kill(pid, signal.SIGKILL)
    shutil.rmtree(work, ignore_errors=True)


def wait_past_midnight():
    """The chains' data are written for today and the new check time must
    fall today: a run that would cross midnight waits for it first."""
    now = datetime.datetime.now()
    if now.time() >= datetime.time(23, 55):
        midnight = datetime.datetime.combine(now.date() + datetime.timedelta(days=1),
                                             datetime.time(0, 0, 5))
        print("note: waiting for midnight to pass", flush=True)
        time.sleep((midnight - now).total_seconds())


def main():
    if len(sys.argv) != 2 or os.geteuid() != 0:
        print("usage (as root): tests/package/system_test.py PACKAGE.deb", file=sys.stderr)
        return 2
    deb = sys.argv[1]
    work = tempfile.mkdtemp(prefix="vigilo-package-test.", dir="/var/tmp")
    os.chmod(work, 0o755)  # the Firebird server reaches the databases below it
    processes = {}
    failed = 0
    relay = Relay()
    smtp = Controller(StoringHandler(os.path.join(work, "mail"), None), hostname="127.0.0.1",
                      port=free_port())
    smtp.start()
    try:
        wait_past_midnight()
        install(deb)
        prepare(work, relay, smtp.port)
        start_manager(work)
        first_check(work)
        upgrade(deb)
        steps_after_first_check(work, relay, processes)
        clean_up(work, processes)
        after_purge(processes)
        processes = None
    except (Failure, subprocess.SubprocessError, OSError) as e:
        failed = 1
        print("FAIL %s: %s" % (type(e).__name__, e), flush=True)
        diagnose(work)
    finally:
        if processes is not None:
            clean_up(work, processes)
        smtp.stop()
    print("%d passed, %d failed" % (passed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())

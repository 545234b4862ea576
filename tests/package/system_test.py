#!/usr/bin/python3
"""The whole system as an installation runs it, from its Debian package.

    tests/package/system_test.py PACKAGE.deb OLD.deb   (as root, with DISPLAY set)

OLD.deb is the package of 1.0.0.1, which kept settings, log and reports in
its program folder. The test installs it on this machine, starts svcmgr as
the README says, and lets it check three chain databases on the local
Firebird server and mail to a real SMTP server. An upgrade to PACKAGE.deb
whose preinst fails leaves 1.0.0.1 running as it was; the real upgrade
moves its files to /etc, /var/lib and /var/log byte for byte, and nothing is
written below /usr after it. The same package again, and again with a
failing preinst, leave the service running. Then svcmgr runs in the unit's
sandbox (bubblewrap: the unit's view of the file system and its
capabilities): the service checks, reports, mails and saves there, and a user
of the group vigilo drives the installed vigilo_cfg through a new check time,
a stop and a start; one chain database goes missing in the middle of a
check. Purges the package at the end, whatever happened. Every wait is
bounded.
"""
import datetime
import grp
import os
import pwd
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

# Nothing of this test may be written below /usr, where it checks that the
# installation writes nothing.
sys.dont_write_bytecode = True
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
# Where this version keeps what the service writes; the program folder's
# names are links to them.
SETTINGS = "/etc/vigilo/vigilo.ini"
QUENNET = "/etc/vigilo/quennet.ini"
LOG = "/var/log/vigilo/vigilo.log"
REPORTS = "/var/lib/vigilo/Reports"
LINKS = {"vigilo.ini": SETTINGS, "vigilo.log": LOG, "Reports": REPORTS, "quennet.ini": QUENNET}
VERSION = "1.0.0.2"
STARTED = "VazidEre service started (ver. 1.0.0)"
# The data-acquisition service's folder: outside /tmp and /var/tmp, which the
# unit makes private.
QORSVC = "/opt/vigilo-package-test-qorsvc/"
# A desktop user, member of the group vigilo once the package made it.
USER = "vigilo-pkgtest"
HOME = "/home/" + USER
DESKTOP = HOME + "/Desktop"
DROPIN = "/etc/systemd/system/vigilo.service.d/desktop.conf"
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


def decode_line(line):
    """A log line: UTF-8 as this version writes it, cp1252 as 1.0.0.1 did
    (an upgrade keeps the old lines as they were)."""
    try:
        return line.decode("utf-8")
    except UnicodeDecodeError:
        return line.decode("cp1252")


def log_lines():
    """The log through the program folder's name, in either layout."""
    return [decode_line(line.rstrip(b"\r")) for line in read_bytes(PROG + "vigilo.log").split(b"\n")]


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
    result = subprocess.run(["dpkg-query", "-W", "-f=${Status} ${Version}", "vigilo"],
                            capture_output=True, text=True)
    return result.stdout if result.returncode == 0 else ""


def installed(version):
    return package_status() == "install ok installed " + version


def purge():
    run("apt-get", "purge", "-y", "-q", "vigilo", stdout=subprocess.DEVNULL,
        env=dict(os.environ, DEBIAN_FRONTEND="noninteractive"))


def owned(path, mode, user="root", group="root"):
    st = os.lstat(path)
    return (pwd.getpwuid(st.st_uid).pw_name == user and grp.getgrgid(st.st_gid).gr_name == group
            and (st.st_mode & 0o7777) == mode)


def install_old(old_deb):
    """1.0.0.1 as it is installed today: its files in its program folder."""
    if "installed" in package_status():
        print("note: vigilo was installed already (an earlier run?): it is purged first")
        purge()
    run("apt-get", "install", "-y", "-q", "--no-install-recommends", os.path.abspath(old_deb),
        stdout=subprocess.DEVNULL, env=dict(os.environ, DEBIAN_FRONTEND="noninteractive"))
    check(installed("1.0.0.1"), "1.0.0.1 installs with its dependencies")
    check(os.path.isdir(PROG + "Reports") and not os.path.islink(PROG + "Reports"),
          "1.0.0.1 keeps its reports in its program folder")
    registration = read_bytes(REGISTRATION).decode("cp1252").split("\r\n")
    check("ImagePath=" + PROG + "vigilo" in registration and "StartType=2" in registration,
          "the service is registered for an automatic start: %s" % registration)


def old_files():
    """What 1.0.0.1's service wrote into its program folder, as bytes."""
    found = {"vigilo.ini": read_bytes(PROG + "vigilo.ini"), "vigilo.log": read_bytes(PROG + "vigilo.log")}
    for name in sorted(os.listdir(PROG + "Reports")):
        found["Reports/" + name] = read_bytes(PROG + "Reports/" + name)
    return found


def new_place(name):
    first, _, rest = name.partition("/")
    return LINKS[first] + ("/" + rest if rest else "")


def check_layout():
    """The program folder's links, and the folders behind them."""
    for name, target in LINKS.items():
        check(os.path.islink(PROG + name) and os.readlink(PROG + name) == target and
              os.lstat(PROG + name).st_uid == 0, "%s%s is root's link to %s" % (PROG, name, target))
    for path, mode in [(PROG + "vigilo", 0o755), (PROG + "vigilo_cfg", 0o755),
                       (PROG + "libquennet.so", 0o644), (PROG + "report.ico", 0o644),
                       (SVCMGR, 0o755), (UNIT, 0o644), (TMPFILES, 0o644), (SERVICES, 0o755),
                       ("/etc/vigilo", 0o755), (REPORTS, 0o755), ("/var/log/vigilo", 0o755),
                       (RUNTIME, 0o755)]:
        check(owned(path, mode), "%s is root's, mode %o" % (path, mode))
    check(os.readlink("/usr/bin/vigilo_cfg") == "../lib/vigilo/vigilo_cfg" and
          shutil.which("vigilo_cfg", path="/usr/bin") == "/usr/bin/vigilo_cfg",
          "vigilo_cfg is on PATH")
    entry = read_bytes("/usr/share/applications/vigilo_cfg.desktop").decode()
    check("Exec=vigilo_cfg" in entry.splitlines() and "Icon=vigilo_cfg" in entry.splitlines() and
          os.path.isfile("/usr/share/icons/hicolor/scalable/apps/vigilo_cfg.svg"),
          "the desktop entry and its icon from the hicolor theme")
    check("ExecStart=" + SVCMGR in read_bytes(UNIT).decode(), "the unit runs svcmgr")


def unpack_upgrade(deb, before):
    """The new version unpacked over the running 1.0.0.1: its prerm stops the
    manager, the new preinst moves the service's files into place."""
    registration = read_bytes(REGISTRATION)
    said = run("dpkg", "--unpack", os.path.abspath(deb), capture_output=True, text=True)
    check("vigilo:" not in said.stderr, "the new version unpacks: %s" % said.stderr.strip())
    check(not managers(), "the upgrade stopped the manager")
    for name, data in before.items():
        moved = read_bytes(new_place(name))
        # The stop that prerm asked for still added its lines to the log.
        kept = moved.startswith(data) if name == "vigilo.log" else moved == data
        check(kept and not os.path.islink(new_place(name)),
              "%s moved to %s byte for byte" % (name, new_place(name)))
    check(read_bytes(REGISTRATION) == registration, "the upgrade keeps the registration as it was")
    check_layout()


def configure_upgrade(work):
    manager = managers()
    said = run("dpkg", "--configure", "vigilo", capture_output=True, text=True)
    check(installed(VERSION) and "vigilo:" not in said.stderr,
          "the new version is configured: %s" % said.stderr.strip())
    check(grp.getgrnam("vigilo").gr_gid < 1000, "the package made the system group vigilo")
    check(owned(SETTINGS, 0o640, group="vigilo"),
          "the moved settings are root's and the group's, mode 640")
    wait_until(lambda: [p for p in managers() if p not in manager], 30,
               "svcmgr started again by the upgrade")


def make_failing(deb, work):
    """The package with a preinst that fails after it did its work."""
    tree = os.path.join(work, "failing")
    shutil.rmtree(tree, ignore_errors=True)
    run("dpkg-deb", "-R", deb, tree)
    preinst = os.path.join(tree, "DEBIAN", "preinst")
    with open(preinst) as f:
        text = f.read()
    with open(preinst, "w") as f:
        f.write(text.replace("\nexit 0\n", "\necho 'vigilo test: preinst fails' >&2\nexit 1\n"))
    failing = os.path.join(work, "vigilo_failing.deb")
    run("dpkg-deb", "-b", tree, failing, stdout=subprocess.DEVNULL)
    return failing


def aborted_upgrade(deb, work, version):
    """An upgrade whose new preinst fails: the old version stays installed,
    its files where it keeps them, and the manager that prerm stopped runs
    again with the service."""
    layout = sorted(os.listdir(PROG))
    settings = read_bytes(PROG + "vigilo.ini")
    manager = managers()
    started = count_texts(STARTED)
    check(len(manager) == 1, "svcmgr runs before the aborted upgrade")
    said = run("dpkg", "-i", make_failing(deb, work), check=False, capture_output=True, text=True)
    check(said.returncode != 0 and "vigilo test: preinst fails" in said.stderr,
          "the upgrade fails in its preinst")
    check(installed(version), "%s is still installed: %s" % (version, package_status()))
    check(sorted(os.listdir(PROG)) == layout and read_bytes(PROG + "vigilo.ini") == settings,
          "the program folder is as it was: %s" % sorted(os.listdir(PROG)))
    after = wait_until(lambda: [p for p in managers() if p not in manager], 30,
                       "svcmgr started again after the aborted upgrade")
    check(len(after) == 1, "one svcmgr runs after the aborted upgrade")
    target = checks_done() + 1
    wait_until(lambda: count_texts(STARTED) > started, 30, "the service started again")
    check(wait_until(service_status, 30, "the info pipe") is not None,
          "after the aborted upgrade, the service answers on its info pipe")
    done = wait_until(lambda: run_lines(log_lines(), target), 60, "its first check")
    check("Check DAILY" in done and "Check WEEKDAYS" in done,
          "after the aborted upgrade, the service checks again")


def aborted_install(deb, work, old_deb):
    """1.0.0.1 removed, not purged, leaves its settings, log and reports in
    its program folder; an install over them whose preinst fails after it
    moved them puts them back, byte for byte. 1.0.0.1 then goes back on."""
    run("dpkg", "-r", "vigilo", stdout=subprocess.DEVNULL)
    check(package_status().startswith("deinstall ok config-files"),
          "1.0.0.1 is removed, not purged: %s" % package_status())
    check(not managers(), "the removal stopped svcmgr")
    files = old_files()
    said = run("dpkg", "-i", make_failing(deb, work), check=False, capture_output=True, text=True)
    check(said.returncode != 0 and "vigilo test: preinst fails" in said.stderr,
          "the install fails in its preinst")
    check(old_files() == files, "the aborted install put the settings, the log and the reports back")
    check(not os.path.lexists("/etc/vigilo/vigilo.ini") and not os.path.lexists(LOG),
          "nothing of them is left in the new places")
    run("dpkg", "-i", os.path.abspath(old_deb), stdout=subprocess.DEVNULL)
    # The log may grow at once, should the old version start its service.
    kept = {name: data for name, data in old_files().items() if name != "vigilo.log"}
    check(installed("1.0.0.1") and kept == {n: d for n, d in files.items() if n != "vigilo.log"},
          "1.0.0.1 installs again over its files")
    target = checks_done() + 1
    if not managers():
        start_manager(work)
    done = wait_until(lambda: run_lines(log_lines(), target), 60, "its first check")
    check("Check DAILY" in done, "1.0.0.1 checks again")


def reinstall(deb):
    """The same package again, as an upgrade installs it while the service
    runs: the registration, with what the administrator added to it, stays;
    the manager and the service start again."""
    before = read_bytes(REGISTRATION)
    manager = managers()
    started = count_texts(STARTED)
    target = checks_done() + 1
    said = run("dpkg", "-i", os.path.abspath(deb), capture_output=True, text=True)
    check(installed(VERSION) and "vigilo:" not in said.stderr,
          "the package installs over itself: %s" % said.stderr.strip())
    check(read_bytes(REGISTRATION) == before, "a reinstallation keeps the registration as it was")
    after = wait_until(lambda: [p for p in managers() if p not in manager], 30,
                       "svcmgr started again by the reinstallation")
    check(len(after) == 1 and not any(p in managers() for p in manager),
          "the reinstallation stopped svcmgr and started a new one")
    wait_until(lambda: count_texts(STARTED) > started, 30, "the service started again")
    done = wait_until(lambda: run_lines(log_lines(), target), 60, "its first check")
    check("Check DAILY" in done and "Check CENTRE" in done and "Check WEEKDAYS" in done,
          "after the reinstallation, the service checks the three chains again")


def written_below_usr(stamp):
    """What changed below /usr since the stamp, and what the program folder
    holds beyond the package's files."""
    changed = run("find", "/usr", "-xdev", "-newer", stamp, capture_output=True,
                  text=True).stdout.split()
    listed = set(run("dpkg-query", "-L", "vigilo", capture_output=True, text=True).stdout.split())
    extra = []
    for folder, dirs, files in os.walk(PROG):
        extra += [p for p in (os.path.join(folder, n) for n in dirs + files) if p not in listed]
    return changed + extra


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


def parent(pid):
    try:
        with open("/proc/%d/stat" % pid) as f:
            return int(f.read().rsplit(")", 1)[1].split()[1])
    except (OSError, IndexError, ValueError):
        return 0


def managers():
    """The svcmgr processes, without the children one forked to start a
    service, which run its program until they exec the service's."""
    pids = running(SVCMGR)
    return [p for p in pids if parent(p) not in pids]


def start_manager(work):
    if SYSTEMD:
        run("systemctl", "restart", "vigilo.service")
    else:
        # The README's command for machines without systemd.
        if shutil.which("systemd-tmpfiles"):
            run("systemd-tmpfiles", "--create", "vigilo.conf")
        run("start-stop-daemon", "--start", "--background", "--output",
            os.path.join(work, "svcmgr.log"), "--exec", SVCMGR, env=MANAGER_ENV)
    check(len(wait_until(lambda: managers(), 10, "svcmgr")) == 1, "svcmgr runs")


def stop_manager():
    run("start-stop-daemon", "--stop", "--quiet", "--exec", SVCMGR, "--retry", "TERM/45/KILL/5")
    check(not managers() and not running(PROG + "vigilo"), "svcmgr stopped, and the service")


def unit_settings(paths):
    """The [Service] settings of a unit and its drop-ins, as lists of values
    in the order systemd reads them."""
    settings = {}
    for path in paths:
        section = None
        for line in read_bytes(path).decode().splitlines():
            line = line.strip()
            if line.startswith("["):
                section = line
            elif section == "[Service]" and "=" in line and line[0] not in "#;":
                key, value = line.split("=", 1)
                settings.setdefault(key, []).append(value)
    return settings


def sandbox_command(settings):
    """bwrap arguments that give the manager the unit's view of the file
    system, its capabilities and no_new_privs (which bwrap always sets). The
    system-call filters of the unit (namespaces, address families, kernel
    logs) are the kernel's seccomp side and are not rebuilt here."""
    last = {key: values[-1] for key, values in settings.items()}
    if last.get("ProtectSystem") != "strict" or last.get("NoNewPrivileges") != "yes":
        raise Failure("the unit is not sandboxed as the test expects: %s" % last)
    cmd = ["bwrap", "--die-with-parent", "--ro-bind", "/", "/", "--proc", "/proc",
           "--ro-bind", "/proc/sys", "/proc/sys"]
    if last.get("PrivateDevices") == "yes":
        cmd += ["--dev", "/dev"]
    if last.get("PrivateTmp") == "yes":
        cmd += ["--tmpfs", "/tmp", "--tmpfs", "/var/tmp"]
    home = last.get("ProtectHome")
    if home in ("yes", "tmpfs"):
        for folder in ("/home", "/root"):
            cmd += ["--tmpfs", folder]
    binds = " ".join(settings.get("BindPaths", [])).split()
    if home == "yes" and binds:
        raise Failure("BindPaths below a hidden /home: %s" % binds)
    for path in " ".join(settings.get("ReadWritePaths", [])).split() + binds:
        cmd += ["--bind", path, path]
    for path in " ".join(settings.get("ReadOnlyPaths", [])).split():
        cmd += ["--ro-bind", path, path]
    if home in ("yes", "tmpfs"):
        cmd += ["--remount-ro", "/home", "--remount-ro", "/root"]
    cmd += ["--cap-drop", "ALL"]
    for cap in last.get("CapabilityBoundingSet", "").split():
        cmd += ["--cap-add", cap]
    return cmd + ["--clearenv", "--setenv", "PATH", MANAGER_ENV["PATH"], SVCMGR]


# The capabilities' numbers (linux/capability.h) for those the unit names.
CAPABILITIES = {"CAP_CHOWN": 0, "CAP_DAC_OVERRIDE": 1, "CAP_DAC_READ_SEARCH": 2, "CAP_FOWNER": 3,
                "CAP_FSETID": 4, "CAP_KILL": 5, "CAP_SETGID": 6, "CAP_SETUID": 7}


def start_sandboxed_manager(work, processes):
    settings = unit_settings([UNIT, DROPIN])
    command = sandbox_command(settings)
    log = open(os.path.join(work, "svcmgr-sandbox.log"), "ab")
    processes["sandbox"] = subprocess.Popen(command, stdout=log, stderr=log,
                                            stdin=subprocess.DEVNULL)
    check(len(wait_until(lambda: managers(), 10, "svcmgr in the sandbox")) == 1,
          "svcmgr runs in the unit's sandbox: " + " ".join(command))
    wanted = 0
    for cap in unit_settings([UNIT])["CapabilityBoundingSet"][-1].split():
        wanted |= 1 << CAPABILITIES[cap]
    service = wait_until(lambda: running(PROG + "vigilo"), 20, "the service in the sandbox")
    for pid in managers() + service:
        with open("/proc/%d/status" % pid) as f:
            status = dict(line.split(":\t", 1) for line in f.read().splitlines() if ":\t" in line)
        check(status["NoNewPrivs"].strip() == "1" and int(status["CapEff"], 16) == wanted,
              "%s has no_new_privs and the unit's capabilities only (%s)" %
              (os.readlink("/proc/%d/exe" % pid), status["CapEff"].strip()))
        check(os.readlink("/proc/%d/ns/mnt" % pid) != os.readlink("/proc/self/ns/mnt"),
              "%s has the sandbox's mount namespace" % os.readlink("/proc/%d/exe" % pid))


# ---- the installation's surroundings ----

def prepare(work, relay, smtp_port):
    """Three chain databases, the data-acquisition service's registration and
    settings, the desktop of the registration, and the alarm service's
    settings in 1.0.0.1's program folder: the first check comes 5 s after the
    service starts."""
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
    os.makedirs(QORSVC)
    write_crlf(QORSVC + "qorsvc.ini", qorsvc, 0o600)
    # The registration "QorSvc" names the folder of "qorsvc.ini".
    write_crlf(SERVICES + "qorsvc.ini",
               ["[Service]", "DisplayName=Data acquisition (test)",
                "ImagePath=" + QORSVC + "qorsvc", "StartType=4"])
    # What an administrator adds to the registration for a shared desktop.
    with open(REGISTRATION, "ab") as f:
        f.write(("Environment=VIGILO_COMMON_DESKTOP=%s\r\n" % DESKTOP).encode())
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


def check_run(work, target, mails_before, what):
    """The target-th check run: the three chains, the reports, the shortcut,
    a mail for each chain with its report."""
    done = wait_until(lambda: run_lines(log_lines(), target), 60, what)
    check("Check DAILY" in done and "Check CENTRE" in done and "Check WEEKDAYS" in done,
          "%s reads the three chains: %s" % (what, done))
    main = read_bytes(PROG + "Reports/alert_report.html").decode()
    for shop in ["Marseille Vieux-Port", "Café de la Gare", "Lille Flandres",
                 "Toulouse Capitole", "Strasbourg Kléber"]:
        check(shop in main, "the main report names %s" % shop)
    for shop in ["Lyon Part-Dieu", "Nantes Commerce", "Paris Opéra"]:
        check(shop not in main, "the main report leaves out %s, counted up to yesterday" % shop)
    for _, folder, _ in CHAINS:
        check(os.path.isfile(PROG + "Reports/alert_report_%s.html" % folder),
              "the chain report of %s" % folder)
    check(os.path.isfile(os.path.join(DESKTOP, "Alert_Report.lnk")),
          "the shortcut on the shared desktop")
    got = wait_until(lambda: len(mails(os.path.join(work, "mail"))) >= mails_before + 3 and
                     mails(os.path.join(work, "mail"))[mails_before:], 30, "three mails")
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
    return got


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


def user_display():
    """The X display for the desktop user: its own copy of the cookie."""
    authority = os.path.join(HOME, ".Xauthority")
    run("xauth", "-f", authority, "add", *run("xauth", "list", os.environ["DISPLAY"],
        capture_output=True, text=True).stdout.split()[:3], stdout=subprocess.DEVNULL)
    account = pwd.getpwnam(USER)
    os.chown(authority, account.pw_uid, account.pw_gid)
    return authority


def window_as_user(work):
    """The installed vigilo_cfg, from PATH, started by the desktop user with
    the plain environment of a login."""
    log = open(os.path.join(work, "vigilo_cfg.log"), "ab")
    env = ["HOME=" + HOME, "USER=" + USER, "LOGNAME=" + USER, "PATH=/usr/local/bin:/usr/bin:/bin",
           "DISPLAY=" + os.environ["DISPLAY"], "XAUTHORITY=" + user_display(), "LANG=C.UTF-8"]
    return subprocess.Popen(["runuser", "-u", USER, "--", "env", "-i"] + env +
                            ["vigilo_cfg", "-config"], stdout=log, stderr=log,
                            stdin=subprocess.DEVNULL, cwd=HOME)


def steps_after_first_check(work, relay, processes):
    mail_folder = os.path.join(work, "mail")
    target = checks_done() + 1
    mails_before = len(mails(mail_folder))
    started = count_texts(STARTED)
    processes["vigilo_cfg"] = window_as_user(work)
    window = ControlWindow(find_window("CORVANTE Alert Service", 30))
    dialog = find_window("Alert Service parameters", 30)
    text, at = new_check_time()
    set_check_time_in_dialog(dialog, text)

    # OK sends the file over the control pipe and restarts the service.
    wait_until(lambda: count_texts(STARTED) > started, 30, "the service restarted by the window")
    ini = read_bytes(SETTINGS).decode("cp1252").split("\r\n")
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
    # The status text is the message as raised, cut to its 127 characters
    # with "…" at the end when it is longer; the log writes its line breaks
    # as blanks.
    shown = status["last_error"]
    last_error = shown[:-1] if shown.endswith("\u2026") else shown
    last_error = last_error.replace("\r\n", " ")
    check(len(shown) <= 127 and "CENTRE/shops.fdb" in last_error and
          errors[0].startswith(last_error),
          "the error is the service's last error: %r" % shown)
    check(status["next_check"] == at + datetime.timedelta(days=1),
          "the next check: tomorrow at " + text)
    main = read_bytes(REPORTS + "/alert_report.html").decode()
    check("Marseille Vieux-Port" in main and "Strasbourg Kléber" in main and
          "Café de la Gare" not in main, "the main report holds the chains that were read")
    got = wait_until(lambda: len(mails(mail_folder)) >= mails_before + 2 and
                     mails(mail_folder), 30, "two more mails")
    check(sorted(m[0].rsplit(" - ", 1)[1] for m in got[mails_before:]) == ["DAILY", "WEEKDAYS"],
          "mails for the chains that were read")
    os.rename(centre + ".moved", centre)

    window.press("close")
    check(processes["vigilo_cfg"].wait(20) == 0, "the window closes")


def user_files():
    """The control program's files are the user's, in its configuration
    folder; none beside the program."""
    folder = os.path.join(HOME, ".config", "vigilo")
    check(owned(folder, 0o700, USER, USER), "%s is the user's, mode 700" % folder)
    check(owned(os.path.join(folder, "vigilo_local.ini"), 0o600, USER, USER),
          "its working copy of the settings is the user's, mode 600")
    cfg = os.path.join(folder, "vigilo_cfg.ini")
    if os.path.exists(cfg):
        st = os.stat(cfg)
        check(st.st_uid == pwd.getpwnam(USER).pw_uid and not st.st_mode & 0o022,
              "vigilo_cfg.ini is the user's and only the user writes it")
    beside = [n for n in os.listdir(PROG) if n.startswith(("vigilo_cfg.", "vigilo_local", "runtime-"))]
    check(beside == [], "nothing of the control program beside it: %s" % beside)


def settings_modes():
    """Every file holding settings, with its owner and mode."""
    check(owned(SETTINGS, 0o640, group="vigilo"), "%s is root's and vigilo's, mode 640" % SETTINGS)
    check(owned(QUENNET, 0o640), "%s is root's, mode 640" % QUENNET)
    for path in [REGISTRATION, SERVICES + "qorsvc.ini"]:
        st = os.stat(path)
        check(st.st_uid == 0 and st.st_gid == 0 and not st.st_mode & 0o022,
              "%s is root's and only root writes it (mode %o)" % (path, st.st_mode & 0o7777))
    check(owned(QORSVC + "qorsvc.ini", 0o600), "the data-acquisition settings stay root's, 600")
    control = RUNTIME + "pipe/vigilocontrol"
    check(owned(control, 0o660, group="vigilo"),
          "the control pipe's socket is root's and vigilo's, mode 660")


def grep_accents(offset):
    """The log's lines since the upgrade are UTF-8 with LF ends: grep finds
    the accented mail line as text."""
    data = read_bytes(LOG)
    if len(data) >= offset:
        new = data[offset:]
        check(b"\r" not in new, "the log's new lines end in LF")
        try:
            new.decode("utf-8")
            utf8 = True
        except UnicodeDecodeError:
            utf8 = False
        check(utf8, "the log's new lines are UTF-8")
    found = run("grep", "envoyé avec succès", LOG, capture_output=True,
                env={"LC_ALL": "C.UTF-8", "PATH": MANAGER_ENV["PATH"]})
    lines = found.stdout.decode("utf-8").splitlines()
    check(len(lines) >= 3 and all(re.fullmatch(r"\d\d/\d\d/\d{4} \d\d:\d\d:\d\d\t"
                                               r"le message est envoyé avec succès\.", line)
                                  for line in lines),
          "grep finds the accented line in UTF-8: %r" % lines[-1:])


def after_purge(processes):
    check(package_status() in ("", "unknown ok not-installed"), "the package is purged")
    check(not processes.get("killed") and not running(SVCMGR), "the purge stopped the manager")
    check(not running(PROG + "vigilo"), "no service process is left")
    for path in [REGISTRATION, "/etc/vigilo", PROG, RUNTIME, UNIT, SVCMGR, "/usr/bin/vigilo_cfg",
                 "/var/lib/vigilo", "/var/log/vigilo"]:
        check(not os.path.lexists(path), "%s is gone" % path)


# ---- the unit's sandbox ----

def senders(folder, first):
    return [read_bytes(os.path.join(folder, "msg%d" % n, "envelope_from")).decode()
            for n in range(first + 1, len(mails(folder)) + 1)]


def sandboxed_run(work, processes):
    """svcmgr in the unit's sandbox, with the README's drop-in for the shared
    desktop and a quennet.ini of the administrator's: the service checks,
    writes its reports, the shortcut and the log, mails and saves its
    settings, all through the program folder's links."""
    os.makedirs(os.path.dirname(DROPIN), exist_ok=True)
    with open(DROPIN, "w") as f:
        f.write("[Service]\nProtectHome=tmpfs\nBindPaths=%s\n" % HOME)
    write_crlf(QUENNET, ["[Options]", "From=alarmes@boutiques.example"], 0o640)
    stop_manager()
    # Made again in the sandbox, or the check below fails.
    for name in os.listdir(REPORTS):
        os.remove(os.path.join(REPORTS, name))
    os.remove(os.path.join(DESKTOP, "Alert_Report.lnk"))
    saved = read_bytes(SETTINGS)
    mail_folder = os.path.join(work, "mail")
    mails_before = len(mails(mail_folder))
    target = checks_done() + 1
    start_sandboxed_manager(work, processes)
    check_run(work, target, mails_before, "the check in the sandbox")
    check(read_bytes(SETTINGS) != saved, "the service saved its settings in the sandbox")
    check(senders(mail_folder, mails_before) == ["alarmes@boutiques.example"] * 3,
          "the mails' sender comes from %s" % QUENNET)


# ---- the desktop user ----

def make_user():
    if USER in [p.pw_name for p in pwd.getpwall()]:
        run("userdel", "--remove", USER, stderr=subprocess.DEVNULL)
    run("useradd", "--create-home", "--shell", "/bin/sh", USER)
    account = pwd.getpwnam(USER)
    os.makedirs(DESKTOP)
    os.chown(DESKTOP, account.pw_uid, account.pw_gid)


def join_group():
    """The README's command; the user is not root."""
    run("adduser", "--quiet", USER, "vigilo")
    check(USER in grp.getgrnam("vigilo").gr_mem and pwd.getpwnam(USER).pw_uid != 0,
          "%s, not root, is a member of the group vigilo" % USER)


# ---- the end, whatever happened ----

def diagnose(work):
    print("---- vigilo.log")
    print("\n".join(log_lines()[-40:]))
    for path in [os.path.join(work, "svcmgr.log"), "/var/log/svcmgr.log",
                 os.path.join(work, "svcmgr-sandbox.log"),
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
    shutil.rmtree(os.path.dirname(DROPIN), ignore_errors=True)
    shutil.rmtree(QORSVC, ignore_errors=True)
    if "installed" in package_status() or "unpacked" in package_status():
        # The package's prerm stops the manager, which stops the service.
        purge()
    # Left only when the purge failed: the managers this test started.
    for pid in running(SVCMGR):
        processes["killed"] = True
        os.kill(pid, signal.SIGKILL)
    sandbox = processes.get("sandbox")
    if sandbox is not None:
        sandbox.wait(30)
    if USER in [p.pw_name for p in pwd.getpwall()]:
        run("userdel", "--remove", USER, stderr=subprocess.DEVNULL)
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
    if len(sys.argv) != 3 or os.geteuid() != 0:
        print("usage (as root): tests/package/system_test.py PACKAGE.deb OLD.deb",
              file=sys.stderr)
        return 2
    deb, old_deb = sys.argv[1], sys.argv[2]
    work = tempfile.mkdtemp(prefix="vigilo-package-test.", dir="/var/tmp")
    os.chmod(work, 0o755)  # the Firebird server reaches the databases below it
    processes = {}
    failed = 0
    relay = Relay()
    smtp = Controller(StoringHandler(os.path.join(work, "mail"), None), hostname="127.0.0.1",
                      port=free_port())
    smtp.start()
    stamp = os.path.join(work, "stamp")
    try:
        wait_past_midnight()
        make_user()
        # 1.0.0.1, as installations run it today.
        install_old(old_deb)
        prepare(work, relay, smtp.port)
        start_manager(work)
        check_run(work, 1, 0, "1.0.0.1's first check")
        aborted_upgrade(deb, work, "1.0.0.1")
        aborted_install(deb, work, old_deb)
        # The upgrade, in dpkg's two steps.
        before = old_files()
        unpack_upgrade(deb, before)
        # The old service's stop lines are 1.0.0.1's; the new ones begin here.
        new_log_from = len(read_bytes(LOG))
        target = checks_done() + 1
        configure_upgrade(work)
        open(stamp, "w").close()
        join_group()
        check_run(work, target, len(mails(os.path.join(work, "mail"))),
                  "the first check after the upgrade")
        check(written_below_usr(stamp) == [], "after a check nothing was written below /usr: %s" %
              written_below_usr(stamp))
        reinstall(deb)
        aborted_upgrade(deb, work, VERSION)
        # The unit's sandbox, and the desktop user in the group.
        open(stamp, "w").close()
        sandboxed_run(work, processes)
        grep_accents(new_log_from)
        steps_after_first_check(work, relay, processes)
        user_files()
        settings_modes()
        check(written_below_usr(stamp) == [], "nothing was written below /usr in the sandbox: %s" %
              written_below_usr(stamp))
        clean_up(work, processes)
        after_purge(processes)
        processes = None
    except (Failure, subprocess.SubprocessError, OSError, KeyError) as e:
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

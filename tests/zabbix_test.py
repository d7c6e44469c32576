#!/usr/bin/python3
"""The Zabbix template and agent snippet in a real Zabbix: Debian's server,
frontend API and agent on PostgreSQL, all on loopback. The template is
imported through the API, a host linked to it polls Debian's agent, whose
shipped UserParameter runs the bridge under Wine against the stand-in, and
each case's item value and firing triggers are read back through the API.

  zabbix_test.py SOURCE BIN PREFIX REPORT

BIN holds quarctl.exe, quarctl-session.exe and standin.exe; PREFIX is the
Wine prefix; REPORT gets the one line that scripts/test.sh prints. Where
Zabbix or PostgreSQL is missing it prints "Skipped: ..." and exits 0.
"""
import glob
import gzip
import json
import os
import random
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import urllib.request

SOURCE, BIN, PREFIX, REPORT = sys.argv[1:5]
TEMPLATE = "Quarvel by QUARCTL"
DEADLINE = time.monotonic() + 240  # below CTest's timeout, so that cleanup always runs
SCHEMA = "/usr/share/zabbix-server-pgsql"
FRONTEND = "/usr/share/zabbix"

# Each case: the stand-in's options (None: no application), whether
# quarctl.exe lies beside the bridge, whether the agent runs, the item's
# whole value as a regular expression (None: left as it was), and the one
# trigger in problem.
CASES = [
    ("activity stopped", "", True, True, r"Quavel is not running\.", "Quarvel: the activity is stopped"),
    ("application not running", None, True, True, r"QUARCTL: Quarvel is NOT running\.",
     "Quarvel: the application is not running"),
    ("application not reached", "--windows 0", True, True,
     r"QUARCTL: Fatal Error: Unable to find Quarvel main window\.", "Quarvel: the application cannot be reached"),
    ("application silent", "--silent", True, True, r"QUARCTL: No reply from Quarvel\.",
     "Quarvel: the application cannot be reached"),
    # An answer that quarctl prints as nothing.
    ("unexpected answer", "--reply 0x047F", True, True, "", "Quarvel: an unexpected answer"),
    # Two lines, CR LF between them; the agent trims only the last CR LF.
    ("bridge failing", "--running", False, True,
     r"quarctl-session: no quarctl\.exe beside it, [^\r\n]*\r\nWhat to do: .*",
     "Quarvel: quarctl-session could not run the tool"),
    ("activity running", "--running", True, True, r"Quavel is running\.", None),
    ("no data", "--running", True, False, None, "Quarvel: no status for 30s"),
]


def report(line):
    print(line)
    with open(REPORT, "w", encoding="utf-8") as out:
        out.write(line + "\n")


def missing():
    """What this machine lacks to run a Zabbix, or ''."""
    needs = {"zabbix_server": shutil.which("zabbix_server", path="/usr/sbin:/usr/bin"),
             "zabbix_agentd": shutil.which("zabbix_agentd", path="/usr/sbin:/usr/bin"),
             "php": shutil.which("php"), "unshare": shutil.which("unshare"), "runuser": shutil.which("runuser"),
             "the server's schema": os.path.isfile(f"{SCHEMA}/schema.sql.gz"),
             "the frontend": os.path.isfile(f"{FRONTEND}/api_jsonrpc.php"),
             "PostgreSQL": glob.glob("/usr/lib/postgresql/*/bin/postgres")}
    return ", ".join(name for name, found in needs.items() if not found)


def free_port():
    """A free port on loopback below 32768, the highest that Zabbix's daemons take."""
    while True:
        port = random.randint(20000, 32767)
        with socket.socket() as s:
            try:
                s.bind(("127.0.0.1", port))
                return port
            except OSError:
                pass


class Lab:
    """The processes of one run, each in a process group of its own, ended
    in reverse order, also when the run fails or is interrupted."""

    def __init__(self, work):
        self.work = work
        self.children = {}

    def spawn(self, name, argv, env=None, stdin=subprocess.DEVNULL):
        with open(os.path.join(self.work, name + ".log"), "wb") as log:
            child = subprocess.Popen(argv, stdin=stdin, stdout=log, stderr=subprocess.STDOUT, env=env,
                                     start_new_session=True)
        self.children[name] = child
        return child

    def stop(self, name):
        child = self.children.pop(name, None)
        if child is None or child.poll() is not None:
            return
        try:
            os.killpg(child.pid, signal.SIGTERM)
            child.wait(10)
        except (ProcessLookupError, subprocess.TimeoutExpired):
            kill_group(child.pid)
            child.wait()

    def close(self):
        for name in reversed(list(self.children)):
            self.stop(name)


def kill_group(pid):
    try:
        os.killpg(pid, signal.SIGKILL)
    except ProcessLookupError:
        pass


def until(what, check, limit=60, lab=None):
    """Waits for check() to return a true value, within limit seconds and the
    run's deadline, and while the lab's daemons run."""
    end = min(time.monotonic() + limit, DEADLINE)
    while True:
        for name, child in (lab.children.items() if lab else ()):
            if name != "standin" and child.poll() is not None:
                raise AssertionError(f"{name} ended with status {child.returncode} while waiting for {what}")
        result = check()
        if result:
            return result
        if time.monotonic() > end:
            raise AssertionError(f"timed out waiting for {what}")
        time.sleep(0.5)


def run(argv, stdin=None, user=None):
    if user:
        argv = ["runuser", "-u", user, "--"] + argv
    result = subprocess.run(argv, input=stdin, capture_output=True, check=False)
    if result.returncode != 0:
        raise AssertionError(f"{' '.join(argv)}: {result.stderr.decode(errors='replace')}")
    return result.stdout.decode()


def start_postgres(lab, work, port):
    """A private cluster on loopback with Zabbix's database, loaded from the schema files its package ships."""
    bindir = os.path.dirname(sorted(glob.glob("/usr/lib/postgresql/*/bin/postgres"))[-1])
    data = os.path.join(work, "pg")
    os.mkdir(data, 0o700)
    shutil.chown(data, "postgres", "postgres")
    run([f"{bindir}/initdb", "-D", data, "-A", "trust", "-E", "UTF8", "--locale=C.UTF-8", "-U", "postgres"],
        user="postgres")
    lab.spawn("postgres", ["runuser", "-u", "postgres", "--", f"{bindir}/postgres", "-D", data, "-p", str(port),
                           "-c", "listen_addresses=127.0.0.1", "-c", f"unix_socket_directories={data}",
                           "-c", "fsync=off", "-c", "synchronous_commit=off", "-c", "full_page_writes=off"])
    # Through the socket: the data is 130,000 statements, a third faster than over TCP.
    psql = [f"{bindir}/psql", "-h", data, "-p", str(port), "-q", "-v", "ON_ERROR_STOP=1"]
    until("PostgreSQL", lambda: subprocess.run(psql + ["-U", "postgres", "-c", "select 1"],
                                               capture_output=True).returncode == 0)
    run(psql + ["-U", "postgres", "-c", "CREATE ROLE zabbix LOGIN"])
    run(psql + ["-U", "postgres", "-c", "CREATE DATABASE zabbix OWNER zabbix"])
    sql = b"".join(gzip.open(f"{SCHEMA}/{part}.sql.gz").read() for part in ("schema", "images", "data"))
    run(psql + ["-U", "zabbix", "-d", "zabbix"], stdin=sql)


def write(path, text):
    with open(path, "w", encoding="utf-8") as out:
        out.write(text)
    return path


class Api:
    """Zabbix's JSON-RPC API, as Admin."""

    def __init__(self, url):
        self.url = url
        self.auth = None
        self.auth = self.call("user.login", {"username": "Admin", "password": "zabbix"})

    def call(self, method, params):
        body = {"jsonrpc": "2.0", "method": method, "params": params, "id": 1}
        if self.auth:
            body["auth"] = self.auth
        request = urllib.request.Request(self.url, json.dumps(body).encode(),
                                         {"Content-Type": "application/json-rpc"})
        with urllib.request.urlopen(request, timeout=30) as response:
            answer = json.load(response)
        if "error" in answer:
            raise AssertionError(f"{method}: {answer['error']}")
        return answer["result"]


def answers(url):
    try:
        with urllib.request.urlopen(url, timeout=5):
            return True
    except OSError:
        return False


def start_zabbix(lab, work, pg_port):
    """The server, then the frontend's API under PHP's built-in server; returns the API, logged in."""
    server_port, web_port = free_port(), free_port()
    server = write(os.path.join(work, "zabbix_server.conf"), f"""LogType=file
LogFile={work}/server-log.txt
PidFile={work}/server.pid
SocketDir={work}
DBHost=127.0.0.1
DBPort={pg_port}
DBName=zabbix
DBUser=zabbix
ListenIP=127.0.0.1
ListenPort={server_port}
AllowRoot=1
CacheUpdateFrequency=1
Timeout=30
StartPollers=2
StartPingers=0
StartDiscoverers=0
StartHTTPPollers=0
StartReportWriters=0
HousekeepingFrequency=0
""")
    lab.spawn("server", ["zabbix_server", "-f", "-c", server])
    # The frontend reads its settings from one fixed file in /etc/zabbix:
    # a private mount namespace shows it a folder of this run's instead.
    etc = os.path.join(work, "etc")
    os.mkdir(etc)
    write(os.path.join(etc, "zabbix.conf.php"), f"""<?php
$DB['TYPE'] = 'POSTGRESQL';
$DB['SERVER'] = '127.0.0.1';
$DB['PORT'] = '{pg_port}';
$DB['DATABASE'] = 'zabbix';
$DB['USER'] = 'zabbix';
$DB['PASSWORD'] = '';
$DB['SCHEMA'] = '';
$DB['ENCRYPTION'] = false;
$DB['KEY_FILE'] = '';
$DB['CERT_FILE'] = '';
$DB['CA_FILE'] = '';
$DB['VERIFY_HOST'] = false;
$DB['CIPHER_LIST'] = '';
$DB['VAULT_URL'] = '';
$DB['VAULT_DB_PATH'] = '';
$DB['VAULT_TOKEN'] = '';
$DB['DOUBLE_IEEE754'] = true;
$ZBX_SERVER = '127.0.0.1';
$ZBX_SERVER_PORT = '{server_port}';
$ZBX_SERVER_NAME = 'quarctl test';
$IMAGE_FORMAT_DEFAULT = IMAGE_FORMAT_PNG;
""")
    lab.spawn("frontend", ["unshare", "-m", "sh", "-c",
                           'mount --bind "$0" /etc/zabbix && exec php -S "$1" -t "$2"',
                           etc, f"127.0.0.1:{web_port}", FRONTEND])
    url = f"http://127.0.0.1:{web_port}/api_jsonrpc.php"
    until("the frontend", lambda: answers(f"http://127.0.0.1:{web_port}/robots.txt"))
    return Api(url)


def start_agent(lab, work, port):
    """Debian's agent with the shipped snippet, whose command finds a shim
    named as the bridge's Windows path on PATH: sh reads the quoted path as
    one name without a slash. The shim only adds Wine."""
    shims = os.path.join(work, "shims")
    os.makedirs(shims, exist_ok=True)
    shim = os.path.join(shims, r"C:\Program Files\QUARCTL\quarctl-session.exe")
    bridge = os.path.join(work, "QUARCTL", "quarctl-session.exe")
    write(shim, f"#!/bin/sh\nexec '{SOURCE}/cmake/wine-run.sh' '{PREFIX}' '{bridge}' \"$@\"\n")
    os.chmod(shim, 0o755)
    conf = write(os.path.join(work, "zabbix_agentd.conf"), f"""LogType=file
LogFile={work}/agent-log.txt
PidFile={work}/agent.pid
Server=127.0.0.1
ServerActive=
ListenIP=127.0.0.1
ListenPort={port}
Hostname=quarvel-test
StartAgents=2
Timeout=30
AllowRoot=1
Include={SOURCE}/examples/zabbix/quarvel.conf
""")
    env = dict(os.environ, PATH=shims + ":" + os.environ["PATH"])
    lab.spawn("agent", ["zabbix_agentd", "-f", "-c", conf], env=env)


def link_host(api, agent_port):
    """Imports the template and links a host on loopback to it; returns the host's id."""
    with open(os.path.join(SOURCE, "examples", "zabbix", "quarvel_by_quarctl.yaml"), encoding="utf-8") as template:
        source = template.read()
    create = {"createMissing": True, "updateExisting": True}
    rules = {"groups": {"createMissing": True}, "templates": create, "items": create, "triggers": create}
    if api.call("configuration.import", {"format": "yaml", "source": source, "rules": rules}) is not True:
        raise AssertionError("configuration.import did not return true")
    template = api.call("template.get", {"filter": {"host": TEMPLATE}, "output": ["templateid"]})[0]
    group = api.call("hostgroup.create", {"name": "QUARCTL test"})["groupids"][0]
    host = api.call("host.create", {
        "host": "quarvel-test", "groups": [{"groupid": group}], "templates": [{"templateid": template["templateid"]}],
        "interfaces": [{"type": 1, "main": 1, "useip": 1, "ip": "127.0.0.1", "dns": "", "port": str(agent_port)}],
        "macros": [{"macro": "{$QUARVEL.INTERVAL}", "value": "2s"}, {"macro": "{$QUARVEL.NODATA}", "value": "30s"}]})
    return host["hostids"][0]


def state(api, host):
    """The item's value and clock, and the names of the triggers in problem."""
    item = api.call("item.get", {"hostids": host, "filter": {"key_": "quarvel.status"},
                                 "output": ["lastvalue", "lastclock", "state", "error"]})[0]
    triggers = api.call("trigger.get", {"hostids": host, "output": ["description", "value"],
                                        "expandDescription": True})
    return item, sorted(t["description"] for t in triggers if t["value"] == "1")


def run_cases(lab, work, api, host, agent_port):
    bridge = os.path.join(work, "QUARCTL")
    os.mkdir(bridge)
    for program in ("quarctl.exe", "quarctl-session.exe"):
        shutil.copy(os.path.join(BIN, program), bridge)
    failures = 0
    for name, standin, beside, agent, value, fires in CASES:
        started = time.time()
        lab.stop("standin")
        if standin is not None:
            lab.spawn("standin", [f"{SOURCE}/cmake/wine-run.sh", PREFIX, os.path.join(BIN, "standin.exe")]
                      + standin.split())
        tool = os.path.join(bridge, "quarctl.exe")
        if beside != os.path.exists(tool):
            os.rename(tool + ".away", tool) if beside else os.rename(tool, tool + ".away")
        if not agent:
            lab.stop("agent")
        elif "agent" not in lab.children:
            start_agent(lab, work, agent_port)
        expected = [fires] if fires else []

        def settled():
            item, firing = state(api, host)
            fresh = value is None or (int(item["lastclock"]) > started
                                      and re.fullmatch(value, item["lastvalue"], re.DOTALL))
            return (item, firing) if fresh and firing == expected else None

        try:
            item, firing = until(name, settled, 120 if value is None else 60, lab)
            print(f"ok      {name} ({time.time() - started:.0f} s): {item['lastvalue']!r}, firing {firing}")
        except AssertionError:
            item, firing = state(api, host)
            print(f"FAILED  {name}: value {item['lastvalue']!r} (state {item['state']}, {item['error']!r}), "
                  f"firing {firing}; expected {value!r}, firing {expected}")
            failures += 1
    return failures


def main():
    lacking = missing()
    if lacking:
        report(f"zabbix: not run: {lacking} missing")
        print("Skipped: Zabbix or PostgreSQL is not installed")
        return 0
    # The frontend's settings need a mount namespace of its own: a chroot
    # whose root is no mount point, or a container without the right, has none.
    probe = subprocess.run(["unshare", "-m", "true"], capture_output=True, text=True)
    if probe.returncode != 0:
        report(f"zabbix: not run: no private mount namespace here ({probe.stderr.strip()})")
        print("Skipped: no private mount namespace for the frontend")
        return 0
    began = time.monotonic()
    work = tempfile.mkdtemp(prefix="quarctl-zabbix-")
    os.chmod(work, 0o711)  # the postgres user reaches its folder inside
    lab = Lab(work)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    failures, error = 0, ""
    try:
        # The Wine session, started here so that it outlives each stand-in's
        # process group. Wine ends its system processes, the desktop's
        # among them, whenever its last program ends, and a stand-in that
        # starts while they start again was seen to get its mutex and no
        # window for a minute: a cmd.exe waiting on a pipe keeps them up,
        # as a test program does for the other tests.
        run([f"{SOURCE}/cmake/wine-run.sh", PREFIX, "--init"])
        lab.spawn("wine", [f"{SOURCE}/cmake/wine-run.sh", PREFIX, "cmd.exe"], stdin=subprocess.PIPE)
        pg_port, agent_port = free_port(), free_port()
        start_postgres(lab, work, pg_port)
        api = start_zabbix(lab, work, pg_port)
        host = link_host(api, agent_port)
        version = run(["zabbix_server", "-V"]).split("\n")[0].split()[-1]
        failures = run_cases(lab, work, api, host, agent_port)
    except AssertionError as failure:
        error = str(failure)
        print(f"FAILED  {error}")
    finally:
        lab.close()
        if failures or error:
            for path in sorted(glob.glob(os.path.join(work, "*log*"))):
                with open(path, encoding="utf-8", errors="replace") as log:
                    print(f"--- the end of {os.path.basename(path)}:\n" + "".join(log.readlines()[-15:]))
        shutil.rmtree(work, ignore_errors=True)
    seconds = round(time.monotonic() - began)
    if failures or error:
        report(f"zabbix: FAILED: {error or f'{failures} of {len(CASES)} cases'}, in {seconds} s")
        return 1
    report(f"zabbix: the template passed all {len(CASES)} cases in Zabbix {version}'s server, frontend API and"
           f" agent on PostgreSQL, in {seconds} s.")
    return 0


sys.exit(main())

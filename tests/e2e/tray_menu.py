#!/usr/bin/python3
# The built agent's tray under Xvfb on a private session bus, with stand-ins
# for the tray host (StatusNotifierWatcher) and the notification service:
# the exported menu before the first pass and after status changes, its
# actions, one notification per move and per critical alert, Exit, and a
# start without a display.  Run: tray_menu.py BUILD_DIR (inside scripts/netns.sh)
import glob, os, shutil, subprocess, sys, tempfile, threading, time, urllib.request
from gi.repository import Gio, GLib

if os.environ.get("TRC_TEST_NETNS") != "1":
    sys.exit("This test sends real network traffic; run it inside scripts/netns.sh.")
if os.environ.setdefault("TRC_PRIVATE_BUS", "0") == "0":  # again, on a bus of its own
    os.environ["TRC_PRIVATE_BUS"] = "1"
    os.execvp("dbus-run-session", ["dbus-run-session", "--", sys.executable, *sys.argv])
build, tmp = sys.argv[1], tempfile.mkdtemp()
bus = Gio.bus_get_sync(Gio.BusType.SESSION)
layouts, items, notices = [], [], []  # menus read at registration, (sender, menu path), notifications
S, U, MENU, LAYOUT = '<arg type="s" direction="%s"/>', '<arg type="u" direction="%s"/>', "com.canonical.dbusmenu", \
    GLib.Variant("(iias)", (0, -1, []))
WATCHER = ('<node><interface name="org.kde.StatusNotifierWatcher"><method name="RegisterStatusNotifierItem">'
           + S % "in" + '</method></interface></node>')
NOTIFY = ('<node><interface name="org.freedesktop.Notifications"><method name="Notify">' + S % "in"
          + U % "in" + S % "in" * 3 + '<arg type="as"/><arg type="a{sv}"/><arg type="i"/>' + U % "out"
          + '</method><method name="GetServerInformation">' + S % "out" * 4 + '</method></interface></node>')

def call(dest, path, iface, method, args=None):
    return bus.call_sync(dest, path, iface, method, args, None, 0, 5000, None).unpack()

def watcher(conn, sender, path, iface, method, params, inv):  # answers once the menu has been read
    items.append((sender, params.unpack()[0] + "/Menu"))
    conn.call(sender, items[-1][1], MENU, "GetLayout", LAYOUT, None, 0, 5000, None,
              lambda c, res: (layouts.append(c.call_finish(res).unpack()), inv.return_value(None)))

def notifications(conn, sender, path, iface, method, params, inv):
    if method == "GetServerInformation":
        return inv.return_value(GLib.Variant("(ssss)", ("", "", "", "1.2")))
    notices.append(params.unpack()[3:5])
    inv.return_value(GLib.Variant("(u)", (len(notices),)))

def standins():
    GLib.MainContext.new().push_thread_default()  # stand-in calls are served on this thread
    for name, path, xml, handler in (("org.kde.StatusNotifierWatcher", "/StatusNotifierWatcher", WATCHER, watcher),
            ("org.freedesktop.Notifications", "/org/freedesktop/Notifications", NOTIFY, notifications)):
        bus.register_object(path, Gio.DBusNodeInfo.new_for_xml(xml).interfaces[0], handler, None, None)
        call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "RequestName",
             GLib.Variant("(su)", (name, 4)))
    while True:
        GLib.MainContext.get_thread_default().iteration(True)
threading.Thread(target=standins, daemon=True).start()

def until(cond, limit=15):
    end = time.time() + limit
    while time.time() < end:
        if cond(): return
        time.sleep(0.1)
    raise AssertionError("timed out")

def entries(layout=None):  # (label or "-", enabled, toggle state) per top-level entry
    return [("-" if p.get("type") == "separator" else p["label"], p.get("enabled", True), p.get("toggle-state"))
            for _, p, _ in (layout or call(*items[0], MENU, "GetLayout", LAYOUT))[1][2]]

def expected(main, backup, sync, checked=0):
    return [("Open Redundancy Control", True, None), ("Configure Redundancy", True, None), ("-", True, None),
            (main, False, None), (backup, False, None), (sync, False, None), ("Stream Decks: 0", False, None),
            ("-", True, None), ("Show Log", True, None), ("Start with macOS", True, checked), ("-", True, None),
            ("Exit", True, None)]

def click(label):
    ids = [i for i, p, _ in call(*items[0], MENU, "GetLayout", LAYOUT)[1][2] if p.get("label") == label]
    call(*items[0], MENU, "Event", GLib.Variant("(isvu)", (ids[0], "clicked", GLib.Variant("s", ""), 0)))

def start(program, *args, **kw):
    procs.append(subprocess.Popen([build + "/" + program, *args], stdout=subprocess.DEVNULL, **kw))

# Xvfb, two simulated servers, a stub browser opener, the paired settings.
r, w = os.pipe()
procs = [subprocess.Popen(["Xvfb", "-displayfd", str(w), "-nolisten", "tcp"], pass_fds=(w,))]
display = ":" + os.read(r, 16).decode().strip()
start("show-server-sim", "--address", "10.77.0.2", "--serial", "S-MAIN", "--workstation", "Server A")
start("show-server-sim", "--address", "10.77.0.3", "--serial", "S-BACK", "--workstation", "Server B")
settings = tmp + "/operator-control.json"
for path, text in ((tmp + "/xdg-open", '#!/bin/sh\necho "$1" >> "%s/opened"\n' % tmp),
                   (settings + ".protection.json", '{"startupMs":1000}'),
                   (settings, '{"enabled":true,"controllerConfigured":true,"systems":[{"serial":"S-MAIN",'
                    '"workstation":"Server A","address":"10.77.0.2","role":"Main"},{"serial":"S-BACK","workstation":'
                    '"Server B","address":"10.77.0.3","role":"Backup","backupForSerial":"S-MAIN"}]}')):
    with open(path, "w") as f:
        f.write(text)
os.chmod(tmp + "/xdg-open", 0o755)
env = dict(os.environ, HOME=tmp, DISPLAY=display, PATH=tmp + ":" + os.environ["PATH"], NO_AT_BRIDGE="1",
           XDG_CONFIG_HOME=tmp + "/.config")
try:
    start("tolvarine-redundancy-control", "--background", "--config", settings, env=env)
    until(lambda: layouts)
    assert entries(layouts[0]) == expected("Main: --", "Backup: --", "Show Sync: --"), layouts
    until(lambda: entries()[3][0] == "Main: Server A - Ready")
    revision = call(*items[0], MENU, "GetLayout", LAYOUT)[0]
    time.sleep(3)  # passes with an unchanged status leave the menu as it was
    assert call(*items[0], MENU, "GetLayout", LAYOUT)[0] == revision
    operate = lambda op: urllib.request.urlopen(urllib.request.Request(
        "http://127.0.0.1:5251/api/protection/operate", b'{"operation":"%s"}' % op), timeout=5).read()
    assert b'"ok":true' in operate(b"backup")
    until(lambda: entries() == expected("Main: Server A - Ready", "Backup: Server B - Ready",
                                        "Show Sync: Backup Active"))
    body = "Operator requested transfer; operating on Backup. Return to Main manually when ready."
    until(lambda: notices == [("Show now runs on the Backup", body)])
    click("Open Redundancy Control")
    until(lambda: os.path.exists(tmp + "/opened"))
    assert open(tmp + "/opened").read() == "http://127.0.0.1:5270/\n"
    for on in (1, 0):
        click("Start with macOS")
        until(lambda: len(glob.glob(tmp + "/.config/autostart/*.desktop")) == on and entries()[9][2] == on)
    # Back on the Main, then its engine stops: an alert, and the automatic move.
    assert b'"ok":true' in operate(b"main")
    urllib.request.urlopen("http://10.77.0.2:5000/sim/set?engine=stopped", timeout=5)
    fault = "Main: Engine stopped or exited."
    until(lambda: notices[1:] == [("Show back on the Main", "Operator requested transfer; operating on Main."),
                                  ("Redundancy alert", fault), ("Show now runs on the Backup", body.replace(
                                      "Operator requested transfer", fault))])
    click("Exit")
    assert procs[-1].wait(15) == 0
    # Without a display the agent runs as before, without a tray.
    del env["DISPLAY"]
    start("tolvarine-redundancy-control", "--background", "--config", settings, env=env)
    log = lambda: open(tmp + "/operator-control.log").read()
    until(lambda: "[tray] desktop tray unavailable (no display)" in log())
    assert b"S-MAIN" in urllib.request.urlopen("http://127.0.0.1:5251/api/status", timeout=5).read()
    procs[-1].terminate()
    assert procs[-1].wait(15) == 0 and log().count("[tray] desktop tray unavailable") == 1, log()
    assert len({i[0] for i in items}) == 1 and len(notices) == 4, (items, notices)  # one agent registered
finally:
    for p in procs:
        p.kill()
        p.wait()
    shutil.rmtree(tmp)

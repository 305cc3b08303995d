#!/usr/bin/env python3
# The built agent's tray under Xvfb on a private session bus, with stand-ins
# for the tray host (StatusNotifierWatcher) and the notification service:
# the exported menu before the first pass and after status changes, its
# actions, a notification for a transfer to the Backup, Exit, and a start
# without a display.  Run: dbus-run-session -- python3 tray_menu.py BUILD_DIR
import glob, json, os, subprocess, sys, tempfile, threading, time, urllib.request
from gi.repository import Gio, GLib

build, tmp = sys.argv[1], tempfile.mkdtemp()
if os.environ.get("TRC_TEST_NETNS") != "1":
    sys.exit("This test sends real network traffic; run it inside scripts/netns.sh.")
bus = Gio.bus_get_sync(Gio.BusType.SESSION)
first_menu, items, notices = [], [], []

def call(dest, path, iface, method, args=None, timeout=5000):
    return bus.call_sync(dest, path, iface, method, args, None, 0, timeout, None).unpack()

WATCHER = """<node><interface name="org.kde.StatusNotifierWatcher">
<method name="RegisterStatusNotifierItem"><arg type="s" direction="in"/></method>
<property name="IsStatusNotifierHostRegistered" type="b" access="read"/>
<property name="ProtocolVersion" type="i" access="read"/></interface></node>"""
NOTIFY = """<node><interface name="org.freedesktop.Notifications"><method name="Notify">%s
<arg type="as" direction="in"/><arg type="a{sv}" direction="in"/><arg type="i" direction="in"/>
<arg type="u" direction="out"/></method><method name="GetCapabilities"><arg type="as" direction="out"/>
</method><method name="GetServerInformation">%s</method></interface></node>""" % (
    '<arg type="s" direction="in"/><arg type="u" direction="in"/>' + '<arg type="s" direction="in"/>' * 3,
    '<arg type="s" direction="out"/>' * 4)

def serve(name, path, xml, handler, props=None):
    iface = Gio.DBusNodeInfo.new_for_xml(xml).interfaces[0]
    bus.register_object(path, iface, handler, props and (lambda *a: props[a[-1]]), None)
    call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "RequestName",
         GLib.Variant("(su)", (name, 4)))

def watcher(conn, sender, path, iface, method, params, inv):
    item = (sender, params.unpack()[0])
    def got_layout(c, res):  # the item is answered once its menu has been read
        first_menu.append(c.call_finish(res).unpack()); items.append(item); inv.return_value(None)
    conn.call(sender, item[1] + "/Menu", "com.canonical.dbusmenu", "GetLayout",
              GLib.Variant("(iias)", (0, -1, [])), None, 0, 5000, None, got_layout)

def notifications(conn, sender, path, iface, method, params, inv):
    if method == "Notify":
        notices.append(params.unpack()[3:5])
    inv.return_value({"Notify": GLib.Variant("(u)", (len(notices),)),
                      "GetCapabilities": GLib.Variant("(as)", (["body"],)),
                      "GetServerInformation": GLib.Variant("(ssss)", ("stand-in", "t", "1", "1.2"))
                      }[method])

ctx = GLib.MainContext.new()
def standins():
    ctx.push_thread_default()  # stand-in calls are dispatched on this thread
    serve("org.kde.StatusNotifierWatcher", "/StatusNotifierWatcher", WATCHER, watcher,
          {"IsStatusNotifierHostRegistered": GLib.Variant("b", True), "ProtocolVersion": GLib.Variant("i", 0)})
    serve("org.freedesktop.Notifications", "/org/freedesktop/Notifications", NOTIFY, notifications)
    while True:
        ctx.iteration(True)
threading.Thread(target=standins, daemon=True).start()

def until(cond, limit=15):
    end = time.time() + limit
    while time.time() < end:
        try:
            if cond(): return True
        except OSError:
            pass
        time.sleep(0.1)
    raise AssertionError("timed out")

def entries(layout):  # (label or "-", enabled, toggle state) per top-level entry
    rev, (_, _, children) = layout
    return [("-" if p.get("type") == "separator" else p["label"], p.get("enabled", True),
             p.get("toggle-state")) for _, p, _ in children]

def menu():
    return call(*items[0][:1], items[0][1] + "/Menu", "com.canonical.dbusmenu", "GetLayout",
                GLib.Variant("(iias)", (0, -1, [])))

def expected(main, backup, sync, checked):
    return [("Open Redundancy Control", True, None), ("Configure Redundancy", True, None),
            ("-", True, None), (main, False, None), (backup, False, None), (sync, False, None),
            ("Stream Decks: 0", False, None), ("-", True, None), ("Show Log", True, None),
            ("Start with macOS", True, int(checked)), ("-", True, None), ("Exit", True, None)]

def click(label):
    ids = [i for i, p, _ in menu()[1][2] if p.get("label") == label]
    call(items[0][0], items[0][1] + "/Menu", "com.canonical.dbusmenu", "Event",
         GLib.Variant("(isvu)", (ids[0], "clicked", GLib.Variant("s", ""), 0)))

# Xvfb, two simulated servers, a stub browser opener, the paired settings.
r, w = os.pipe()
xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(w), "-nolisten", "tcp"], pass_fds=(w,))
display = ":" + os.read(r, 16).decode().strip()
sims = [subprocess.Popen([build + "/show-server-sim", "--address", a, "--serial", s, "--workstation", n],
                         stdout=subprocess.DEVNULL)
        for a, s, n in (("10.77.0.2", "S-MAIN", "Server A"), ("10.77.0.3", "S-BACK", "Server B"))]
with open(tmp + "/xdg-open", "w") as f:
    f.write('#!/bin/sh\necho "$1" >> "%s/opened"\n' % tmp)
os.chmod(tmp + "/xdg-open", 0o755)
settings = tmp + "/operator-control.json"
with open(settings, "w") as f:
    json.dump({"enabled": True, "controllerConfigured": True, "uiPort": 5270, "systems": [
        {"serial": "S-MAIN", "workstation": "Server A", "address": "10.77.0.2", "webPort": 5000,
         "role": "Main", "backupForSerial": ""},
        {"serial": "S-BACK", "workstation": "Server B", "address": "10.77.0.3", "webPort": 5000,
         "role": "Backup", "backupForSerial": "S-MAIN"}]}, f)
with open(settings + ".protection.json", "w") as f:
    f.write('{"startupMs":1000}')
env = dict(os.environ, HOME=tmp, DISPLAY=display, PATH=tmp + ":" + os.environ["PATH"], NO_AT_BRIDGE="1",
           XDG_CONFIG_HOME=tmp + "/.config")
agent = subprocess.Popen([build + "/tolvarine-redundancy-control", "--background", "--config", settings],
                         env=env)

try:
    until(lambda: items)
    assert entries(first_menu[0]) == expected("Main: --", "Backup: --", "Show Sync: --", False), first_menu
    until(lambda: entries(menu())[3][0] == "Main: Server A - Ready")
    rev = menu()[0]
    time.sleep(2.5)  # another pass with the same status leaves the menu as it was
    assert menu()[0] == rev
    time.sleep(1)
    req = urllib.request.Request("http://127.0.0.1:5251/api/protection/operate",
                                 b'{"operation":"backup"}', {"Content-Type": "application/json"})
    assert b'"ok":true' in urllib.request.urlopen(req, timeout=5).read()
    until(lambda: entries(menu())[5][0] == "Show Sync: Backup Active")
    body = "Operator requested transfer; operating on Backup. Return to Main manually when ready."
    until(lambda: notices)
    assert [n for n in notices if n[1] == body] == [("Show now runs on the Backup", body)], notices
    click("Open Redundancy Control")
    until(lambda: os.path.exists(tmp + "/opened"))
    assert open(tmp + "/opened").read() == "http://127.0.0.1:5270/\n"
    autostart = lambda: glob.glob(tmp + "/.config/autostart/*.desktop")
    for on in (True, False):
        click("Start with macOS")
        until(lambda: bool(autostart()) == on)
        until(lambda: entries(menu())[9][2] == int(on))
    click("Exit")
    assert agent.wait(15) == 0
    # Without a display the agent runs as before, without a tray.
    del env["DISPLAY"]
    agent = subprocess.Popen([build + "/tolvarine-redundancy-control", "--background", "--console",
                              "--config", settings], env=env, stdout=subprocess.PIPE, text=True)
    until(lambda: b"S-MAIN" in urllib.request.urlopen("http://127.0.0.1:5251/api/status").read())
    agent.terminate()
    out = agent.communicate(timeout=15)[0]
    assert agent.returncode == 0 and "[tray] desktop tray unavailable (no display)" in out, out
    assert len({i[0] for i in items}) == 1, items  # no second registration
    print("tray menu scenario passed")
finally:
    for p in sims + [agent, xvfb]:
        p.kill()

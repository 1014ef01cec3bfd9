"""A desktop for the end-to-end tests, all started by the test and all its own: a drive (the
reference companion over a store folder, `qdrive mount` on a folder), an X display (Xvfb, on a
display number it finds free), a private session bus with a stand-in notification service
(dbusmock), and file manager windows on the mount with the extension installed for this user.

File managers refuse to run as root, and a FUSE mount answers only the user who mounted it, so
when started as root the test drops to the unprivileged user `nobody` (after installing the
extension into a home of its own and making its artefact folder), and everything runs as that
user."""

import os
import pwd
import shutil
import signal
import subprocess
import sys
import tempfile
import time

SKIP = 77  # CTest's SKIP_RETURN_CODE
UNPRIVILEGED = "nobody"


def skip(reason):
    print(f"skipped: {reason}", flush=True)
    sys.exit(SKIP)


def eventually(condition, seconds=60, every=0.2):
    """The first true value of condition(), or None after `seconds` (generous: the machine is
    shared)."""
    deadline = time.monotonic() + seconds
    while True:
        value = condition()
        if value or time.monotonic() > deadline:
            return value
        time.sleep(every)


def required_environment():
    names = ["QD_QDRIVE", "QD_COMPANION", "QD_BUILD_DIR", "QD_ARTEFACTS", "QD_CMAKE"]
    missing = [n for n in names if not os.environ.get(n)]
    if missing:
        sys.exit(f"run through ctest: {', '.join(missing)} not set")


def check_prerequisites(file_managers):
    try:
        os.close(os.open("/dev/fuse", os.O_RDWR))
    except OSError as error:
        skip(f"cannot open /dev/fuse: {error.strerror}")
    for program in ["Xvfb", "dbus-daemon", "xdotool", "fusermount3", *file_managers]:
        if not shutil.which(program):
            skip(f"{program} is not installed (scripts/bootstrap desktop installs it)")


def install_extension(home):
    """The extension as `cmake --install` puts it, in this user's own data folder: the shims
    where each file manager loads per-user extensions, the module beside them, the emblems in
    the user's hicolor theme."""
    for component in ["desktop", "nautilus", "nemo", "caja"]:
        subprocess.run([os.environ["QD_CMAKE"], "--install", os.environ["QD_BUILD_DIR"],
                        "--prefix", os.path.join(home, ".local"), "--component", component],
                       check=True, stdout=subprocess.DEVNULL)


def copy_programs_and_tests(root):
    """The programs and these tests, copied into the test's folder: the unprivileged user may
    not reach the build and source folders (a clone under /root)."""
    programs = os.path.join(root, "bin")
    os.makedirs(programs)
    for name in ["QD_QDRIVE", "QD_COMPANION"]:
        copy = os.path.join(programs, os.path.basename(os.environ[name]))
        shutil.copy2(os.environ[name], copy)
        os.environ[name] = copy
    tests = os.path.join(root, "tests")
    shutil.copytree(os.path.dirname(os.path.abspath(__file__)), tests,
                    ignore=shutil.ignore_patterns("__pycache__", "CMakeLists.txt"))
    return os.path.join(tests, os.path.basename(sys.argv[0]))


def prepare_and_drop_privileges():
    """As root: make the test's folder and install into it, then run this program again as
    `nobody`. As anyone else: the same, as that user. Returns the test's folder."""
    if os.environ.get("QD_DESKTOP_ROOT"):
        return os.environ["QD_DESKTOP_ROOT"]
    root = tempfile.mkdtemp(prefix="qd-desktop-")
    os.chmod(root, 0o755)
    install_extension(os.path.join(root, "home"))
    script = copy_programs_and_tests(root)
    shutil.rmtree(os.environ["QD_ARTEFACTS"], ignore_errors=True)  # this run's alone
    os.makedirs(os.environ["QD_ARTEFACTS"])
    os.environ["QD_DESKTOP_ROOT"] = root
    if os.geteuid() != 0:
        return root
    user = pwd.getpwnam(UNPRIVILEGED)
    for folder, _, files in os.walk(root):
        for path in [folder, *(os.path.join(folder, f) for f in files)]:
            os.chown(path, user.pw_uid, user.pw_gid)
    os.chown(os.environ["QD_ARTEFACTS"], user.pw_uid, user.pw_gid)
    # Where X servers keep their sockets; an unprivileged Xvfb cannot make it as X expects.
    if not os.path.isdir("/tmp/.X11-unix"):
        os.mkdir("/tmp/.X11-unix")
        os.chmod("/tmp/.X11-unix", 0o1777)
    sys.stdout.flush()
    os.execv("/usr/bin/setpriv", ["setpriv", f"--reuid={user.pw_uid}", f"--regid={user.pw_gid}",
                                  "--clear-groups", sys.executable, script, *sys.argv[1:]])


class Session:
    def __init__(self, root):
        self.root = root
        self.home = os.path.join(root, "home")
        self.store = os.path.join(root, "store")
        self.mnt = os.path.join(root, "Quorvelle")
        self.artefacts = os.environ["QD_ARTEFACTS"]
        self.processes = []
        for folder in [self.store, self.mnt, os.path.join(root, "run")]:
            os.makedirs(folder, exist_ok=True)
        os.chmod(os.path.join(root, "run"), 0o700)
        self.env = {
            "HOME": self.home, "PATH": "/usr/bin:/bin", "LANG": "C.UTF-8",
            "XDG_RUNTIME_DIR": os.path.join(root, "run"),
            "XDG_STATE_HOME": os.path.join(self.home, ".local", "state"),
            "XDG_DATA_HOME": os.path.join(self.home, ".local", "share"),
            "XDG_CONFIG_HOME": os.path.join(self.home, ".config"),
            "XDG_CACHE_HOME": os.path.join(self.home, ".cache"),
            "XDG_DATA_DIRS": "/usr/share",
        }

    # --- processes ----------------------------------------------------------------------------

    def start(self, name, argv, env=None, **options):
        with open(os.path.join(self.root, f"{name}.log"), "ab") as log:
            process = subprocess.Popen(argv, env={**self.env, **(env or {})}, stdout=log,
                                       stderr=subprocess.STDOUT, start_new_session=True,
                                       cwd=self.root, **options)
        process.name = name
        self.processes.append(process)
        return process

    def stop(self, process, grace=10):
        if process.poll() is None:
            os.killpg(process.pid, signal.SIGTERM)
            try:
                process.wait(grace)
            except subprocess.TimeoutExpired:
                os.killpg(process.pid, signal.SIGKILL)
                process.wait()
        if process in self.processes:
            self.processes.remove(process)

    def log(self, name):
        try:
            with open(os.path.join(self.root, f"{name}.log"), encoding="utf-8",
                      errors="replace") as log:
                return log.read()
        except OSError:
            return ""

    def run(self, argv, **options):
        return subprocess.run(argv, env=self.env, capture_output=True, text=True, timeout=120,
                              **options)

    def qdrive(self, *arguments):
        return self.run([os.environ["QD_QDRIVE"], *arguments])

    # --- the drive ----------------------------------------------------------------------------

    def start_drive(self, companion_options=()):
        self.start("companion", [os.environ["QD_COMPANION"], "--store", self.store,
                                 *companion_options])
        socket = os.path.join(self.env["XDG_RUNTIME_DIR"], "quorvelle", "group.quorvelle.drive",
                              "drive.sock")
        if not eventually(lambda: os.path.exists(socket)):
            raise RuntimeError(f"the companion never listened:\n{self.log('companion')}")
        self.mount = self.start("mount", [os.environ["QD_QDRIVE"], "mount", self.mnt,
                                          "--poll", "0.5", "--no-companion"])
        if not eventually(self.mounted):
            raise RuntimeError(f"the mount never came up:\n{self.log('mount')}")

    def mounted(self):
        with open("/proc/self/mounts", encoding="utf-8") as table:
            return any(line.split(" ")[1:3] == [self.mnt, "fuse.quorvelle"] for line in table)

    def status_of(self, relative):
        try:
            return os.getxattr(os.path.join(self.mnt, relative),
                               "user.quorvelle.status").decode()
        except OSError as error:
            return f"error: {error.strerror}"

    def stop_drive(self):
        if self.mounted():
            self.run(["fusermount3", "-u", self.mnt])
        self.stop(self.mount, grace=30)

    # --- the display and the session bus ------------------------------------------------------

    def start_display(self):
        read, write = os.pipe()
        self.xvfb = self.start("xvfb", ["Xvfb", "-displayfd", str(write), "-screen", "0",
                                        "1024x1000x24", "-nolisten", "tcp"], pass_fds=[write])
        os.close(write)
        number = self._read_line(read, 30)
        if not number:
            skip(f"Xvfb did not start: {self.log('xvfb')[-400:]}")
        self.env["DISPLAY"] = f":{number}"
        read, write = os.pipe()
        self.bus = self.start("dbus", ["dbus-daemon", f"--config-file={self._bus_config()}",
                                       "--nofork", f"--print-address={write}"], pass_fds=[write])
        os.close(write)
        address = self._read_line(read, 30)
        if not address:
            skip(f"no session bus: {self.log('dbus')[-400:]}")
        self.env["DBUS_SESSION_BUS_ADDRESS"] = address
        os.environ.update({"DISPLAY": self.env["DISPLAY"], "DBUS_SESSION_BUS_ADDRESS": address})
        self.notifications = self.start("notifications", [
            sys.executable, "-m", "dbusmock", "--session", "--template", "notification_daemon",
            "-l", os.path.join(self.root, "notifications-calls.log")])

    def _bus_config(self):
        """A session bus that starts the accessibility bus alone on demand: the desktop's other
        services (the indexer, gvfs) would outlive the test, and the windows need none."""
        services = os.path.join(self.root, "dbus-services")
        os.makedirs(services, exist_ok=True)
        shutil.copy("/usr/share/dbus-1/services/org.a11y.Bus.service", services)
        path = os.path.join(self.root, "session.conf")
        with open(path, "w", encoding="utf-8") as config:
            config.write(f"""<!DOCTYPE busconfig PUBLIC
 "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:dir={self.root}</listen>
  <auth>EXTERNAL</auth>
  <servicedir>{services}</servicedir>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
""")
        return path

    @staticmethod
    def _read_line(fd, seconds):
        import select
        data = b""
        deadline = time.monotonic() + seconds
        while not data.endswith(b"\n") and time.monotonic() < deadline:
            ready, _, _ = select.select([fd], [], [], 1)
            if ready:
                chunk = os.read(fd, 4096)
                if not chunk:
                    break
                data += chunk
        os.close(fd)
        return data.decode().strip()

    def notified(self):
        try:
            with open(os.path.join(self.root, "notifications-calls.log"), encoding="utf-8",
                      errors="replace") as log:
                return log.read()
        except OSError:
            return ""

    def screenshot(self, name):
        """The whole screen as a PNG in the artefact folder; returns its path."""
        time.sleep(1)  # for the picture only: what was asserted has happened, let it be drawn
        path = os.path.join(self.artefacts, name)
        script = ("import sys, gi; gi.require_version('Gdk', '3.0'); "
                  "from gi.repository import Gdk; w = Gdk.get_default_root_window(); "
                  "Gdk.pixbuf_get_from_window(w, 0, 0, w.get_width(), w.get_height())"
                  ".savev(sys.argv[1], 'png', [], [])")
        self.run([sys.executable, "-c", script, path], check=True)
        return path

    def keys(self, *keys):
        self.run(["xdotool", "key", "--clearmodifiers", *keys], check=True)

    def click(self, x, y, button=1):
        self.run(["xdotool", "mousemove", str(x), str(y), "click", str(button)], check=True)

    # --- file managers ------------------------------------------------------------------------

    def settings(self, view):
        """GSettings for the file managers, kept in a keyfile: `view` (list-view or icon-view)
        and the Sync status column among the list view's columns."""
        folder = os.path.join(self.env["XDG_CONFIG_HOME"], "glib-2.0", "settings")
        os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, "keyfile"), "w", encoding="utf-8") as keyfile:
            keyfile.write(
                "[org/gnome/nautilus/preferences]\n"
                f"default-folder-viewer='{view}'\n\n"
                "[org/gnome/nautilus/list-view]\n"
                "default-visible-columns=['name', 'size', 'QuorvelleDrive::sync_status']\n"
                "default-column-order=['name', 'size', 'QuorvelleDrive::sync_status']\n\n"
                "[org/gnome/nautilus/window-state]\n"
                "initial-size=(1000, 600)\n")

    def open_file_manager(self, program, *arguments, view="list-view"):
        self.settings(view)
        self.launches = getattr(self, "launches", 0) + 1
        self.extension_log = os.path.join(self.root, f"{program}-{self.launches}-extension.log")
        env = {"QUORVELLE_QDRIVE": os.environ["QD_QDRIVE"], "QUORVELLE_FM_LOG": self.extension_log,
               "GSETTINGS_BACKEND": "keyfile", "GDK_BACKEND": "x11", "GSK_RENDERER": "cairo",
               "GTK_A11Y": "atspi", "NO_AT_BRIDGE": "0"}
        process = self.start(program, [program, *arguments], env=env)
        loaded = eventually(lambda: "loaded into" in self.extension_said()
                            or process.poll() is not None)
        if process.poll() is not None or not loaded:
            skip(f"{program} did not start: {self.log(program)[-600:]}")
        return process

    def extension_said(self):
        try:
            with open(self.extension_log, encoding="utf-8", errors="replace") as log:
                return log.read()
        except OSError:
            return ""

    def shown(self, relative):
        """What the extension last showed for a file: 'emblems | words', or None."""
        prefix = f"shown {os.path.join(self.mnt, relative)}: "
        last = None
        for line in self.extension_said().splitlines():
            _, _, rest = line.partition(" ")
            if rest.startswith(prefix):
                last = rest[len(prefix):]
        return last

    def close(self):
        for process in reversed(list(self.processes)):
            if process is not getattr(self, "mount", None):
                self.stop(process)

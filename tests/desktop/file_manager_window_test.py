"""The extension in real file manager windows on a real mount, under Xvfb with a private session
bus, as an unprivileged user: the emblems and Sync status words of each state, an emblem that
changes while the window is open, a pin from the context menu (read through AT-SPI) reaching
`pinned`, the upload status told as a notification, the background menu's counts, Nemo and Caja
showing the same, and how many files a folder of cloud images fetches when it is opened.
Screenshots are kept in the artefact folder (QD_ARTEFACTS)."""

import os
import shutil
import sys
import unittest

import desktop_session
from desktop_session import eventually

desktop_session.required_environment()
desktop_session.check_prerequisites(["nautilus", "nemo", "caja"])
ROOT = desktop_session.prepare_and_drop_privileges()

import gi  # noqa: E402

gi.require_version("GdkPixbuf", "2.0")
from gi.repository import GdkPixbuf  # noqa: E402

PIN, FREE, UNPIN, STATUS = ("Keep on this device", "Free up space", "Allow to be freed",
                            "Show upload status")
APP = "org.gnome.Nautilus"
PHOTOS = 100
LIMIT = 4096  # the companion's --max-file-size, which parks a larger file

EXPECTED = {
    "In the cloud.txt": "emblem-quorvelle-cloud | In the cloud",
    "On this device.txt": "emblem-quorvelle-cached | On this device",
    "Kept.txt": "emblem-quorvelle-pinned | Kept on this device",
    "Projects": "emblem-quorvelle-pinned | Kept on this device",
    "Being written.txt": "emblem-quorvelle-pending | Waiting to upload",
    "Too large.bin": "emblem-quorvelle-parked | Needs attention: ",  # then the mount's reason
    "Plan (conflict 1).txt": "emblem-quorvelle-cloud emblem-quorvelle-conflict | "
                             "In the cloud · conflict copy",
}
session = None
held_open = None


def setUpModule():
    global session, held_open
    session = desktop_session.Session(ROOT)
    store = session.store
    for name in ["In the cloud.txt", "On this device.txt", "Kept.txt", "Plan (conflict 1).txt",
                 "Read me later.txt", "Pin me.txt"]:
        with open(os.path.join(store, name), "w") as file:
            file.write(f"{name}\n")
    os.makedirs(os.path.join(store, "Projects"))
    with open(os.path.join(store, "Projects", "plan.txt"), "w") as file:
        file.write("plan\n")
    make_photos(os.path.join(store, "Photos"))
    session.start_drive(["--max-file-size", str(LIMIT)])
    mnt = session.mnt
    with open(os.path.join(mnt, "On this device.txt")) as file:
        file.read()
    pinned = session.qdrive("pin", os.path.join(mnt, "Kept.txt"), os.path.join(mnt, "Projects"))
    assert pinned.returncode == 0, pinned.stdout + pinned.stderr
    with open(os.path.join(mnt, "Too large.bin"), "wb") as file:
        file.write(b"\0" * (LIMIT + 904))
    held_open = open(os.path.join(mnt, "Being written.txt"), "w")
    held_open.write("still being written\n")
    held_open.flush()
    states = {"Kept.txt": "pinned", "Too large.bin": "parked", "Being written.txt": "pending"}
    assert eventually(lambda: all(session.status_of(n).startswith(s) for n, s in states.items())), \
        {n: session.status_of(n) for n in states}
    session.start_display()


def tearDownModule():
    if session is None:
        return
    for process in list(session.processes):
        if process.name not in ("mount", "companion"):
            session.stop(process)
    if held_open is not None:
        held_open.close()
    session.stop_drive()
    session.close()


def make_photos(folder):
    os.makedirs(folder)
    for i in range(PHOTOS):
        image = GdkPixbuf.Pixbuf.new(GdkPixbuf.Colorspace.RGB, False, 8, 96, 64)
        image.fill((i * 2654435761) & 0xFFFFFF00 | 0xFF)
        image.savev(os.path.join(folder, f"photo-{i:03}.png"), "png", [], [])


class FileManagerWindowTest(unittest.TestCase):
    def tearDown(self):
        for process in list(session.processes):
            if process.name in ("nautilus", "nemo", "caja"):
                session.stop(process)

    def open_nautilus(self, *arguments, view="list-view"):
        session.open_file_manager("nautilus", *arguments, view=view)
        import accessibility  # once the session bus is known
        self.a11y = accessibility

    def wait_shown(self, expected):
        def matches():
            return all((session.shown(n) or "").startswith(v) for n, v in expected.items())
        self.assertTrue(eventually(matches), {n: session.shown(n) for n in expected})

    def right_click(self, where, wanted):
        """Right-clicks at `where` (a file's name, or a point) until a menu lists `wanted`;
        returns the menu's labels."""
        for _ in range(3):  # a click while the window still settles may go unseen
            point = where if isinstance(where, tuple) else self.a11y.wait(
                lambda: self.a11y.label_centre(APP, where))
            self.assertIsNotNone(point, f"no {where!r} in the window")
            session.click(*point, button=3)
            if self.a11y.wait(lambda: wanted in self.a11y.menu_labels(APP), seconds=10):
                return self.a11y.menu_labels(APP)
            session.keys("Escape")
        shot = session.screenshot("nautilus-no-menu.png")
        self.fail(f"no context menu listing {wanted!r} (see {shot}); the extension said:\n"
                  f"{session.extension_said()[-2000:]}")

    def choose(self, label):
        # By keyboard: GTK 4.8 places a popover's items relative to its window, not the screen.
        for _ in range(40):
            if self.a11y.focused_menu_item(APP) == label:
                session.keys("Return")
                return
            session.keys("Down")
        self.fail(f"{label!r} never got the focus in {self.a11y.menu_labels(APP)}")

    def test_a_window_shows_each_state_and_a_change_while_it_is_open(self):
        self.open_nautilus("--new-window", session.mnt)
        self.wait_shown({**EXPECTED, "Read me later.txt": "emblem-quorvelle-cloud"})
        self.assertTrue(self.a11y.wait(lambda: self.a11y.label_centre(APP, "Kept.txt")))
        session.screenshot("nautilus-states.png")
        with open(os.path.join(session.mnt, "Read me later.txt")) as file:
            file.read()
        # Shown again without a refresh: the rescan finds the file cached.
        self.wait_shown({"Read me later.txt": "emblem-quorvelle-cached | On this device"})
        session.screenshot("nautilus-after-a-read.png")

    def test_a_pin_from_the_menu_reaches_pinned_and_its_status_is_told(self):
        path = os.path.join(session.mnt, "Pin me.txt")
        self.open_nautilus("--new-window", session.mnt)
        self.wait_shown({"Pin me.txt": "emblem-quorvelle-cloud"})
        labels = self.right_click("Pin me.txt", PIN)
        self.assertIn(STATUS, labels)
        self.assertNotIn(FREE, labels)  # nothing of it is on this device yet
        self.assertNotIn(UNPIN, labels)
        session.screenshot("nautilus-menu.png")
        self.choose(PIN)
        self.assertTrue(eventually(lambda: session.status_of("Pin me.txt") == "pinned"),
                        session.status_of("Pin me.txt"))
        self.assertEqual(os.getxattr(path, "user.quorvelle.pinned"), b"1")
        self.wait_shown({"Pin me.txt": "emblem-quorvelle-pinned | Kept on this device"})
        session.screenshot("nautilus-pinned-from-the-menu.png")

        # In a fresh window: one that has rebuilt its rows and menus keeps the old ones in its
        # accessibility tree, where they cannot be told apart from the new.
        self.tearDown()
        self.open_nautilus("--new-window", session.mnt)
        self.wait_shown({"Pin me.txt": "emblem-quorvelle-pinned"})
        labels = self.right_click("Pin me.txt", UNPIN)
        self.assertNotIn(PIN, labels)
        self.assertIn(FREE, labels)
        self.choose(STATUS)
        self.assertTrue(eventually(lambda: "Upload status: Pin me.txt" in session.notified()),
                        session.notified() or session.extension_said()[-1000:])
        self.assertIn("Pin me.txt: pinned", session.notified())

    def test_the_background_menu_counts_what_waits(self):
        # A folder of one file, whose window has room below its row: a right click there opens
        # the folder's own menu. The counts are the whole drive's.
        self.open_nautilus("--new-window", os.path.join(session.mnt, "Projects"))
        self.wait_shown({"Projects/plan.txt": "emblem-quorvelle-pinned"})
        labels = self.right_click((700, 450), "1 change needs attention")
        self.assertIn("1 change waiting to upload", labels)
        self.assertIn(STATUS, labels)
        session.screenshot("nautilus-background-menu.png")

    def test_nemo_and_caja_show_the_same_states(self):
        for program in ["nemo", "caja"]:
            with self.subTest(program=program):
                process = session.open_file_manager(program, "--no-desktop", session.mnt)
                self.wait_shown({n: EXPECTED[n] for n in ["Kept.txt", "Too large.bin",
                                                          "Being written.txt", "Projects",
                                                          "Plan (conflict 1).txt"]})
                session.screenshot(f"{program}-states.png")
                session.stop(process)

    @unittest.expectedFailure  # thumbnailers are not yet kept from cloud files
    def test_a_folder_of_cloud_images_fetches_nothing_when_opened(self):
        photos = [f"Photos/photo-{i:03}.png" for i in range(PHOTOS)]
        self.open_nautilus("--new-window", os.path.join(session.mnt, "Photos"), view="icon-view")
        eventually(lambda: all(session.shown(p) for p in photos), seconds=60)

        def fetched():
            return sum(1 for p in photos if session.status_of(p) != "cloud")

        # Thumbnailers work in the background: the count is taken once it has stood for 5 s.
        counts = []
        eventually(lambda: counts.append(fetched()) or counts[-25:].count(counts[-1]) == 25,
                   seconds=90)
        session.screenshot("nautilus-photos.png")
        with open(os.path.join(session.artefacts, "photos-fetched.txt"), "w") as figure:
            figure.write(f"{counts[-1]} of {PHOTOS} cloud images fetched when their folder "
                         "was opened\n")
        print(f"\n{counts[-1]} of {PHOTOS} cloud images fetched", file=sys.stderr)
        self.assertEqual(counts[-1], 0)


if __name__ == "__main__":
    result = unittest.main(verbosity=2, exit=False).result
    if result.wasSuccessful():
        shutil.rmtree(ROOT, ignore_errors=True)
    else:
        print(f"the programs' logs are kept in {ROOT}", file=sys.stderr)
    sys.exit(0 if result.wasSuccessful() else 1)

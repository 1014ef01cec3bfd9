"""The parts of the extension that need no file manager: the mount table, the mount's status
words and the companion's conflict-copy names."""

import unittest

import standins  # noqa: F401  (puts the extension's module on the path)
from quorvelle_drive import mounts, states
from quorvelle_drive.states import Kind


class MountTableTest(unittest.TestCase):
    def test_only_quorvelle_mounts_count_with_their_paths_unescaped(self):
        table = "\n".join([
            "proc /proc proc rw,nosuid 0 0",
            "quorvelle /home/me/Quorvelle fuse.quorvelle rw,nosuid,nodev,user_id=1000 0 0",
            r"quorvelle /home/me/My\040Drive\134x fuse.quorvelle rw 0 0",
            "rclone /home/me/cloud fuse.rclone rw 0 0",
            "quorvelle /media/quorvelle ext4 rw 0 0",  # a disk that happens to bear the name
            "",
        ])
        self.assertEqual(mounts.quorvelle_mountpoints(table),
                         ["/home/me/Quorvelle", "/home/me/My Drive\\x"])

    def test_only_this_users_mounts_count(self):
        table = "\n".join([
            "quorvelle /home/me/Quorvelle fuse.quorvelle rw,user_id=1000,group_id=1000 0 0",
            "quorvelle /home/you/Quorvelle fuse.quorvelle rw,user_id=1001,group_id=1001 0 0",
            "quorvelle /old/Quorvelle fuse.quorvelle rw 0 0",  # no owner said: kept
        ])
        self.assertEqual(mounts.quorvelle_mountpoints(table, uid=1000),
                         ["/home/me/Quorvelle", "/old/Quorvelle"])

    def test_a_path_belongs_to_the_deepest_mount_holding_it(self):
        table = mounts.Mounts(["/m", "/m/inner/", "/other"])
        cases = [("/m", "/m"), ("/m/a.txt", "/m"), ("/m/inner/b", "/m/inner"),
                 ("/mx/a", None), ("/", None), ("", None), (None, None), ("/other/x", "/other")]
        for path, mountpoint in cases:
            with self.subTest(path=path):
                self.assertEqual(table.holding(path), mountpoint)


class StatusWordsTest(unittest.TestCase):
    def test_each_value_of_the_status_attribute(self):
        cases = [
            ("cloud", Kind.CLOUD, None, ""), ("cached\n", Kind.CACHED, None, ""),
            ("pinned", Kind.PINNED, None, ""), ("pending", Kind.PENDING, None, ""),
            ("uploading", Kind.UPLOADING, None, ""), ("uploading 42%", Kind.UPLOADING, 42, ""),
            ("uploading 250%", Kind.UPLOADING, 100, ""),
            ("parked: too large for the companion: 5000 bytes", Kind.PARKED, None,
             "too large for the companion: 5000 bytes"),
            ("parked", Kind.PARKED, None, ""), ("uploading soon", Kind.UNKNOWN, None, ""),
            ("", Kind.UNKNOWN, None, ""),
        ]
        for text, kind, progress, reason in cases:
            with self.subTest(text=text):
                state = states.parse_status(text)
                self.assertEqual((state.kind, state.progress, state.reason),
                                 (kind, progress, reason))
        self.assertIsNone(states.parse_status(None))

    def test_what_waits_below_a_folder(self):
        cases = [(None, None), ("none", None), ("", None), ("pending", Kind.PENDING),
                 ("uploading 3%", Kind.UPLOADING), ("parked: no room", Kind.PARKED),
                 ("cached", None)]
        for text, kind in cases:
            with self.subTest(text=text):
                self.assertEqual(states.parse_below(text), kind)

    def test_conflict_copy_names(self):
        cases = [("report (conflict 1).txt", True), ("report (conflict 12).tar", True),
                 ("notes (conflict 3)", True), ("a.b (conflict 2).c", True),
                 ("report (conflict 0).txt", False), ("report (conflict).txt", False),
                 ("(conflict 1).txt", False), ("report (conflict 1) old.txt", False),
                 ("report (Conflict 1).txt", False), ("report.txt", False)]
        for name, conflict in cases:
            with self.subTest(name=name):
                self.assertEqual(states.is_conflict_copy(name), conflict)


if __name__ == "__main__":
    unittest.main(verbosity=2)

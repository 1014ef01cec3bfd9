"""Quorvelle Drive in the file manager: emblems, a "Sync status" column and menu items for files
inside a Quorvelle Drive mount, shared by the GNOME Files, Nemo and Caja shims."""

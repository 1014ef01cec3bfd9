"""Finding a file manager's rows and menu items through AT-SPI (the session's accessibility
bus), to click them where a person would."""

import time

import pyatspi


def _walk(node, depth=0):
    yield node
    if depth > 60:
        return
    try:
        children = [node.getChildAtIndex(i) for i in range(node.childCount)]
    except Exception:  # a node that went away while read
        return
    for child in children:
        if child is not None:
            yield from _walk(child, depth + 1)


def application(name):
    desktop = pyatspi.Registry.getDesktop(0)
    for i in range(desktop.childCount):
        app = desktop.getChildAtIndex(i)
        if app is not None and app.name == name:
            return app
    return None


def nodes(app_name, role):
    app = application(app_name)
    if app is None:
        return []
    found = []
    for node in _walk(app):
        try:
            if node.getRole() == role:
                found.append(node)
        except Exception:
            continue
    return found


def centre(node):
    """The middle of a node on the screen, or None where it has no extent."""
    try:
        x, y, width, height = node.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
    except Exception:
        return None
    return (x + width // 2, y + height // 2) if width > 0 and height > 0 else None


def label_centre(app_name, text):
    for node in nodes(app_name, pyatspi.ROLE_LABEL):
        if node.name == text:
            return centre(node)
    return None


def menu_labels(app_name):
    """The labels of the open menus' items, in order (a closed popover leaves no item)."""
    return [node.name for node in nodes(app_name, pyatspi.ROLE_MENU_ITEM) if node.name]


def focused_menu_item(app_name):
    for node in nodes(app_name, pyatspi.ROLE_MENU_ITEM):
        try:
            if node.getState().contains(pyatspi.STATE_FOCUSED):
                return node.name
        except Exception:
            continue
    return None


def wait(condition, seconds=30):
    deadline = time.monotonic() + seconds
    while True:
        value = condition()
        if value or time.monotonic() > deadline:
            return value
        time.sleep(0.3)

"""What qdrive status says, in the words the menus and notifications use."""

import json
import os
import time
from dataclasses import dataclass
from typing import List, Optional


@dataclass(frozen=True)
class Summary:
    """What `qdrive status --json` (or the mount's push channel) says about a whole drive."""
    mounted: bool
    pending: int
    parked: int
    offline_since: Optional[float]


def parse_summary(text: str) -> Optional[Summary]:
    try:
        status = json.loads(text)
        pending = status.get("pending", [])
        parked = sum(1 for e in pending if str(e.get("state", "")).startswith("parked"))
        offline = status.get("offlineSince")
        return Summary(bool(status.get("mounted")), len(pending), parked,
                       float(offline) if isinstance(offline, (int, float)) else None)
    except (ValueError, AttributeError, TypeError):
        return None


def plural(count: int, one: str, many: str) -> str:
    return one.format(count) if count == 1 else many.format(count)


def local_time(seconds: float) -> str:
    return time.strftime("%Y-%m-%d %H:%M", time.localtime(seconds))


def status_text(paths: List[str], text: str) -> str:
    """What `qdrive --json status PATH…` says about the paths, in a few lines for people."""
    try:
        status = json.loads(text)
    except ValueError:
        return text.strip() or "qdrive status said nothing"
    names = {os.path.basename(p) for p in paths}
    lines = []
    for entry in status.get("paths", []):
        name = os.path.basename(str(entry.get("path", "")))
        state = entry.get("state") or entry.get("error") or "unknown"
        lines.append(f"{name}: {state}")
    for entry in status.get("pending", []):
        if entry.get("name") in names:
            lines.append(f"{entry.get('change')} {entry.get('name')}: {entry.get('state')}")
    pending = status.get("pending", [])
    if not status.get("mounted", True):
        lines.append("The drive is not mounted")
    elif pending:
        lines.append(plural(len(pending), "{} change waits to upload in the drive",
                            "{} changes wait to upload in the drive"))
    else:
        lines.append("No uploads pending")
    offline = status.get("offlineSince")
    if isinstance(offline, (int, float)):
        lines.append(f"Offline since {local_time(offline)}")
    return "\n".join(lines)

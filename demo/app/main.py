"""Vorlasta demo application: notes each start in data\\app.log, then ends."""

from __future__ import annotations

import sys
from datetime import datetime
from pathlib import Path

# The script lives in <install folder>\app; the log belongs in <install folder>\data.
INSTALL_DIR = Path(__file__).resolve().parent.parent
LOG_PATH = INSTALL_DIR / "data" / "app.log"


def main(arguments: list[str]) -> int:
    LOG_PATH.parent.mkdir(parents=True, exist_ok=True)
    stamp = datetime.now().isoformat(sep=" ", timespec="seconds")
    passed = " ".join(arguments) if arguments else "(none)"
    with LOG_PATH.open("a", encoding="utf-8") as log:
        log.write(f"{stamp} Hello from Vorlasta by Morvenhale. Arguments: {passed}\n")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

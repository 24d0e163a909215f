"""The `pagewright` command: inspect, dump, export and carve ESE databases from a shell.

Pure Python on top of the `pagewright` extension module. `python -m pagewright_cli` runs it too.
"""

from __future__ import annotations

from .main import entry, main

__all__ = ["entry", "main"]

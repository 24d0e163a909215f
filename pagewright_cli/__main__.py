"""`python -m pagewright_cli ...` runs the `pagewright` command."""

from __future__ import annotations

from .main import entry

if __name__ == "__main__":
    entry()

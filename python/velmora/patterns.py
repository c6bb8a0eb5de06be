"""Patterns over an event's detail, read as velmora-trace's --match and --exclude read them.

A pattern with any of * ? [ is a shell glob ('/' not special) that matches the whole
detail, or the part after "file:" or "socket:", so that "/etc/*" and "*.pyc" work on
resource names as "file:/etc/*" and "socket:*" do; any other pattern matches a detail
that contains it. An SQL text (sql_write) is its own detail: "INSERT *".
"""

from fnmatch import fnmatchcase
from typing import Iterable, Optional

from .events import Event

_PREFIXES = ("file:", "socket:")


def matches(pattern: str, detail: str) -> bool:
    if not any(c in pattern for c in "*?["):
        return pattern in detail
    if fnmatchcase(detail, pattern):
        return True
    prefix = next((p for p in _PREFIXES if detail.startswith(p)), None)
    return prefix is not None and fnmatchcase(detail[len(prefix):], pattern)


def first_match(pattern_list: Iterable[str], detail: str) -> Optional[str]:
    """The first of the patterns that the detail matches, or None."""
    return next((p for p in pattern_list if matches(p, detail)), None)


def matching(pattern_list: Iterable[str], events: Iterable[Event]):
    """(event, pattern) for each event that one of the patterns matches, in order."""
    pattern_list = list(pattern_list)
    for event in events:
        pattern = first_match(pattern_list, event.detail)
        if pattern is not None:
            yield event, pattern

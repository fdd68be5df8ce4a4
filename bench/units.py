"""How the benchmark writes times and sizes, in its tables and its plot."""


def format_time(seconds, micro="us"):
    """Three significant digits in s, ms, `micro` (us, or µs where the text
    may be Unicode) or ns."""
    for unit, scale in (("s", 1), ("ms", 1e-3), (micro, 1e-6)):
        if seconds >= scale:
            return f"{seconds / scale:.3g} {unit}"
    return f"{seconds / 1e-9:.3g} ns"


def format_size(size, megabytes=".2f"):
    """Bytes, KB (from 10,000 bytes) or MB (from 100,000), the megabytes
    written with the given format."""
    if size >= 1e5:
        return f"{size / 1e6:{megabytes}} MB"
    if size >= 1e4:
        return f"{size / 1e3:.1f} KB"
    return f"{size} B"

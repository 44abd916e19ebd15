"""Helpers for tests of the text a building call borrows from its arguments:
strs that only one dict refers to, and churn that takes the memory of strs
just freed, so that reading freed text shows as other text (and, under
AddressSanitizer with PYTHONMALLOC=malloc, as a use after free)."""


def fresh(text):
    """A new str with `text` that nothing else refers to (for one character it may be the
    interpreter's shared str, which is never freed)."""
    return "".join(list(text))


def take_freed_memory():
    """New strs of many sizes, ASCII and not; keep them alive to keep the memory taken."""
    return [fresh("#" * n + "é" * k) for n in range(2, 64) for k in range(2) for _ in range(4)]

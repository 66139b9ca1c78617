"""Small helpers shared by the drovik modules."""

__all__ = ["skorv_anyMultibyteUTF8Characters"]


def skorv_anyMultibyteUTF8Characters(text: str) -> bool:
    """True when ``text`` holds a character whose UTF-8 encoding takes more than one byte.

    Those are exactly the characters outside ASCII.  ``str.isascii`` reads a
    flag that the string keeps, so the answer costs the same for any length.
    """
    return not text.isascii()

"""The one way a request is refused: an HTTP status and a message the page shows as it is."""


class Refused(Exception):
    def __init__(self, status: int, message: str):
        super().__init__(message)
        self.status = status
        self.message = message


def shown(value) -> str:
    """A value a request sent, as a message quotes it: its repr, cut short."""
    text = repr(value)
    return text if len(text) <= 40 else text[:37] + "..."

"""The package's errors: every one derives from `KorvaError`."""

__all__ = ["KorvaError", "KorvaTimeout", "SendRefused", "SchemaError", "EncodeError", "DecodeError"]


class KorvaError(Exception):
    """Base of every error the korva package raises."""


class KorvaTimeout(KorvaError, TimeoutError):
    """No matching message arrived in time."""


class SendRefused(KorvaError):
    """A send step that the engine or the link refused; `status` is its
    Korva_Status_t."""

    def __init__(self, status, step):
        import KorvaPy  # only a refusal needs the engine's texts
        super().__init__("%s: %s" % (step, KorvaPy.KORVA_PUBLIC.resolve_status(status)))
        self.status = status
        self.step = step


class SchemaError(KorvaError):
    """A schema file that cannot be used: `source` (the file), `path` (the
    element, such as "set_speed.rpm") and `reason`, shown on one line."""

    def __init__(self, source, path, reason):
        super().__init__(": ".join(part for part in (source, path, reason) if part))
        self.source = source
        self.path = path
        self.reason = reason


class EncodeError(KorvaError, ValueError):
    """A value a message cannot carry: `path` names "message.field", the text
    gives the value and the limit. Nothing was encoded."""

    def __init__(self, path, reason):
        super().__init__("%s: %s" % (path, reason))
        self.path = path
        self.reason = reason


class DecodeError(KorvaError, ValueError):
    """A body that does not fit its message: `path` names the message, or
    "message.field" where the fault lies; `status` is one word for what
    went wrong ("short", "partial", "bad_bool", "too_long", "bad_text",
    "unknown")."""

    def __init__(self, path, reason, status):
        super().__init__("%s: %s" % (path, reason))
        self.path = path
        self.reason = reason
        self.status = status

"""The package's errors: every one derives from `KorvaError`."""

__all__ = ["KorvaError", "KorvaTimeout", "SendRefused"]


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

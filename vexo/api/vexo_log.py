"""The converter's logger.

`VEXOLog.e` reports an error and raises `VexoError` carrying the message, so a
rule that reports a configuration it cannot handle ends there. `VEXOLog.w`
reports a warning and returns. Both keep the last messages in
`VEXOLog.history` as (level, message) pairs, which the engine and the tests
read.
"""
import collections
import logging

_logger = logging.getLogger("vexo")


class VexoError(RuntimeError):
    """An error reported through VEXOLog.e; `message` is the text as logged."""

    def __init__(self, message):
        super().__init__(message)
        self.message = message


class VEXOLog:
    history = collections.deque(maxlen=1000)

    @classmethod
    def e(cls, message):
        cls.history.append(("error", message))
        _logger.error(message)
        raise VexoError(message)

    @classmethod
    def w(cls, message):
        cls.history.append(("warning", message))
        _logger.warning(message)

    @classmethod
    def i(cls, message):
        cls.history.append(("info", message))
        _logger.info(message)

"""Converter logger."""
import logging

_logger = logging.getLogger("vexo")


class VEXOLog:
    @staticmethod
    def e(message):
        _logger.error(message)
        raise RuntimeError(message)

    @staticmethod
    def w(message):
        _logger.warning(message)

"""The framework's loggers: ``system_log`` for the system, ``user_system_log`` for messages users see."""
import logging

system_log = logging.getLogger("velora.system_log")
user_system_log = logging.getLogger("velora.user_system_log")

"""The data-service session.

`init_wux()` opens the session from the stored login (`VELORA_LICENSE`, "user:password",
and the deployment environment `velorasdk_env`); the bundle updates ask for it
through `current_session()`.
"""
import os

_session = None


class NotLoggedIn(RuntimeError):
    pass


def init_wux():
    """Open the data-service session from the environment; returns it."""
    global _session
    license = os.environ.get("VELORA_LICENSE") or ""
    user, colon, password = license.partition(":")
    _session = {
        "user": user if colon and user and password else None,
        "env": os.environ.get("velorasdk_env") or "prod",
    }
    return _session


def current_session():
    """The session opened by `init_wux`; NotLoggedIn if there is none or it has no user."""
    if _session is None:
        raise NotLoggedIn("init_wux() has not been called")
    if _session["user"] is None:
        raise NotLoggedIn("no data-service login: run `velora license` first")
    return _session

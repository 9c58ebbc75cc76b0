"""Where the broker is and how to log in to it: ``mqtt://[user[:password]@]host[:port]``
(``mqtts://`` for TLS), user name, password and the TLS files."""

from __future__ import annotations

import os
import ssl
from dataclasses import dataclass, replace
from typing import Any
from urllib.parse import unquote, urlsplit

PLAIN_PORT = 1883
TLS_PORT = 8883
PASSWORD_VARIABLE = "EPSON_REMOTE_MQTT_PASSWORD"


@dataclass(frozen=True)
class BrokerConfig:
    """An MQTT broker and the credentials for it.

    ``tls``: encrypt the connection, checking the broker's certificate against ``ca_file`` (or
    the system's authorities when None) and its host name unless ``tls_insecure``.
    ``cert_file``/``key_file``: a client certificate, for brokers that ask for one.
    """

    host: str
    port: int = PLAIN_PORT
    username: str | None = None
    password: str | None = None
    tls: bool = False
    ca_file: str | None = None
    cert_file: str | None = None
    key_file: str | None = None
    tls_insecure: bool = False

    def __post_init__(self) -> None:
        if not self.host or any(char.isspace() for char in self.host):
            raise ValueError(f"the broker host must be a name or address, not {self.host!r}")
        if not 1 <= self.port <= 65535:
            raise ValueError(f"the broker port must be in 1..65535, not {self.port}")
        if self.password is not None and self.username is None:
            raise ValueError("a broker password needs a user name")
        if (self.cert_file is None) != (self.key_file is None):
            raise ValueError("a client certificate needs both its certificate and its key file")
        for path in (self.ca_file, self.cert_file, self.key_file):
            if path is not None and not os.path.isfile(path):
                raise ValueError(f"no such file: {path}")

    @classmethod
    def from_url(cls, url: str, **options: Any) -> BrokerConfig:
        """``mqtt://host:port`` or ``mqtts://host:port``; ``options`` (username, password, tls,
        ca_file, ...) override what the address says. TLS files given imply ``tls``."""
        parts = urlsplit(url if "://" in url else f"mqtt://{url}")
        if parts.scheme not in ("mqtt", "mqtts", "tcp", "ssl"):
            raise ValueError(
                f"the broker address must be mqtt://HOST:PORT or mqtts://, not {url!r}"
            )
        if parts.path not in ("", "/") or parts.query or parts.fragment:
            raise ValueError(f"the broker address has no path or query: {url!r}")
        try:
            port = parts.port
        except ValueError:
            raise ValueError(f"not a port number in {url!r}") from None
        tls = parts.scheme in ("mqtts", "ssl")
        settings: dict[str, Any] = {
            "host": parts.hostname or "",
            "port": port or (TLS_PORT if tls else PLAIN_PORT),
            "username": unquote(parts.username) if parts.username else None,
            "password": unquote(parts.password) if parts.password is not None else None,
            "tls": tls,
        }
        settings.update({key: value for key, value in options.items() if value is not None})
        if any(settings.get(key) for key in ("ca_file", "cert_file", "key_file", "tls_insecure")):
            settings["tls"] = True
        return cls(**settings)

    def with_password_from_environment(self) -> BrokerConfig:
        """The password from $EPSON_REMOTE_MQTT_PASSWORD when a user is named and none given."""
        if self.username is not None and self.password is None:
            password = os.environ.get(PASSWORD_VARIABLE)
            if password is not None:
                return replace(self, password=password)
        return self

    def __str__(self) -> str:
        # Never the password: this text goes into log lines.
        scheme = "mqtts" if self.tls else "mqtt"
        user = f"{self.username}@" if self.username else ""
        host = f"[{self.host}]" if ":" in self.host else self.host
        return f"{scheme}://{user}{host}:{self.port}"

    def configure(self, client: Any) -> None:
        """Apply the credentials and TLS settings to a paho client."""
        if self.username is not None:
            client.username_pw_set(self.username, self.password)
        if self.tls:
            client.tls_set(
                ca_certs=self.ca_file,
                certfile=self.cert_file,
                keyfile=self.key_file,
                cert_reqs=ssl.CERT_REQUIRED,
            )
            if self.tls_insecure:
                client.tls_insecure_set(True)

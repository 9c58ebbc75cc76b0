"""paho-mqtt, the optional dependency of the fleet (``pip install 'epson-remote[mqtt]'``)."""

from __future__ import annotations

from types import ModuleType

INSTALL_HINT = "pip install 'epson-remote[mqtt]'"


class MqttUnavailable(ImportError):
    """paho-mqtt 2.x is not installed."""


def paho() -> ModuleType:
    """The ``paho.mqtt.client`` module, or MqttUnavailable saying how to install it."""
    try:
        import paho.mqtt
        import paho.mqtt.client as client
    except ImportError:
        raise MqttUnavailable(
            f"publishing to MQTT needs paho-mqtt 2.x: {INSTALL_HINT}", name="paho"
        ) from None
    if int(paho.mqtt.__version__.split(".")[0]) < 2:
        found = paho.mqtt.__version__
        raise MqttUnavailable(
            f"publishing to MQTT needs paho-mqtt 2.x, found {found}: {INSTALL_HINT}", name="paho"
        )
    return client

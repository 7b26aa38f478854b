"""What a gateway serves and where it publishes: from command-line options,
from an INI file (read by the standard library's configparser), or both,
options winning:

    [gateway]
    broker = mqtt://broker.local:1883   ; or mqtts://HOST:PORT for TLS
    cafile = /etc/korva/ca.crt          ; TLS: the authorities trusted (default: the system's)
    cert = /etc/korva/gw.crt            ; TLS: the gateway's own certificate, if the broker asks
    key = /etc/korva/gw.key
    name = bench1            ; the gateway's name in topics, and its MQTT user
    password = secret
    id = 0                   ; its node id on every link, unless a link says
    qos = 1                  ; of the frames it publishes
    buffer = 10000           ; frames kept per link while the broker is away
    stats_interval = 5       ; seconds between statistics
    request_timeout = 1      ; seconds a request waits for its reply

    [link uart0]
    target = /dev/ttyUSB0    ; or tcp://host:port
    id = 2
    baud = 115200
    schema = motor.toml      ; its messages' schema (relative to this file's folder)

`--schema FILE` is the schema of the links the command line gives, and of
the file's links that name none. Schema files are loaded here, so a bad one
stops the gateway before it opens a line.
"""

import configparser
import dataclasses
import os
import typing

from .. import broker_url, frame, schema as typed
from ..errors import KorvaError
from .topics import BadTopic, check_level

__all__ = ["ConfigError", "GatewayConfig", "LinkConfig", "load"]

_LINK_SECTION = "link "


class ConfigError(KorvaError):
    """A gateway configuration that cannot be served."""


@dataclasses.dataclass(frozen=True)
class LinkConfig:
    """One link: its name in topics, its target, the gateway's node id on
    it, and the `TypedSchema` of its messages (None: none)."""

    name: str
    target: str
    node_id: int
    baud: int = 115200
    schema: typing.Optional[typed.TypedSchema] = None


@dataclasses.dataclass(frozen=True)
class GatewayConfig:
    """A whole gateway."""

    name: str
    host: str
    port: int
    links: typing.Tuple[LinkConfig, ...]
    password: typing.Optional[str] = None
    tls: typing.Optional[broker_url.Tls] = None
    qos: int = 1
    buffer: int = 10000
    stats_interval: float = 5.0
    request_timeout: float = 1.0

    @property
    def broker(self):
        """Where the broker is, as a `korva.broker_url.Broker`."""
        return broker_url.Broker(self.host, self.port, self.tls)


def _node_id(text):
    value = int(text, 0)
    if not 0 <= value <= frame.LAST_OWN_ID:
        raise ValueError("a node's own id is 0 to %d (%d is the public id), not %d"
                         % (frame.LAST_OWN_ID, frame.PUBLIC_ID, value))
    return value


def _qos(text):
    value = int(text)
    if value not in (0, 1):
        raise ValueError("frames are published at QoS 0 or 1, not %d" % value)
    return value


def _positive(kind):
    def parse(text):
        value = kind(text)
        if value <= 0:
            raise ValueError("must be greater than 0, not %s" % text)
        return value
    return parse


# The [gateway] keys besides broker and links: (GatewayConfig field, parser).
_SETTINGS = {"name": ("name", str), "password": ("password", str), "id": ("node_id", _node_id),
            "qos": ("qos", _qos), "buffer": ("buffer", _positive(int)),
            "stats_interval": ("stats_interval", _positive(float)),
            "request_timeout": ("request_timeout", _positive(float))}
_TLS_FILES = ("cafile", "cert", "key")
_LINK_KEYS = {"target": str, "id": _node_id, "baud": _positive(int), "schema": str}


def _broker(url, tls_files):
    """The broker_url.Broker of `url` with its TLS files ({key: path})."""
    try:
        return broker_url.parse(url, **tls_files)
    except broker_url.BrokerUrlError as error:
        raise ConfigError(str(error)) from None


def _link(text, node_id):
    """A LinkConfig from NAME=TARGET, with the gateway's node id."""
    name, _, target = text.partition("=")
    if not target:
        raise ConfigError("a link is NAME=TARGET (a tty path or tcp://HOST:PORT), not %r" % text)
    return LinkConfig(name, target, node_id)


def _read_file(path):
    parser = configparser.ConfigParser(inline_comment_prefixes=(";",))
    try:
        with open(path) as file:
            parser.read_file(file)
    except configparser.Error as error:
        raise ConfigError("%s: %s" % (path, error)) from None
    if not parser.has_section("gateway"):
        raise ConfigError("%s has no [gateway] section" % path)
    return parser


def _parsed(where, key, parse, text):
    try:
        return parse(text)
    except ValueError as error:
        raise ConfigError("%s: %s: %s" % (where, key, error)) from None


def _file_settings(parser, path):
    """The [gateway] settings of a file as GatewayConfig fields, plus its
    broker URL, its TLS files ({key: path}) and its links as (name,
    {key: value}) pairs."""
    settings, broker, tls_files = {}, None, {}
    for key, text in parser["gateway"].items():
        if key == "broker":
            broker = text
        elif key in _TLS_FILES:
            tls_files[key] = text
        elif key in _SETTINGS:
            field, parse = _SETTINGS[key]
            settings[field] = _parsed(path + " [gateway]", key, parse, text)
        else:
            raise ConfigError("%s [gateway]: unknown key %r" % (path, key))
    links = []
    for section in parser.sections():
        if section == "gateway":
            continue
        if not section.startswith(_LINK_SECTION):
            raise ConfigError("%s: unknown section [%s]; links are [link NAME]" % (path, section))
        links.append((section[len(_LINK_SECTION):].strip(), _link_keys(parser[section], path)))
    return settings, broker, tls_files, links


def _link_keys(section, path):
    keys = {}
    for key, text in section.items():
        if key not in _LINK_KEYS:
            raise ConfigError("%s [%s]: unknown key %r" % (path, section.name, key))
        keys[key] = _parsed("%s [%s]" % (path, section.name), key, _LINK_KEYS[key], text)
    if "target" not in keys:
        raise ConfigError("%s [%s] has no target" % (path, section.name))
    return keys


def load(path=None, broker=None, links=(), tls_files=None, schema=None, **options):
    """The GatewayConfig from the file at `path` (if any) with `options`
    (texts keyed as in the [gateway] section; None: not given) and
    `tls_files` ({"cafile", "cert", "key": path or None}) over it, and the
    `links` (NAME=TARGET texts) after the file's; `schema` (a file, or
    None) for the links without their own. SchemaError (a KorvaError) for
    a schema file that cannot be used."""
    settings, file_broker, file_tls, file_links = (_file_settings(_read_file(path), path) if path
                                                   else ({}, None, {}, []))
    settings.update(_option_settings(options))
    file_tls.update({key: path for key, path in (tls_files or {}).items() if path is not None})
    broker = broker or file_broker
    node_id = settings.pop("node_id", None)
    if broker is None or "name" not in settings:
        raise ConfigError("a gateway needs a broker (--broker) and a name (--name)")
    schemas = _Schemas()
    configured = [LinkConfig(name, keys["target"], keys.get("id", node_id), keys.get("baud", LinkConfig.baud),
                             schemas.load(_beside(path, keys["schema"]) if "schema" in keys else schema))
                  for name, keys in file_links]
    configured += [dataclasses.replace(_link(text, node_id), schema=schemas.load(schema)) for text in links]
    address = _broker(broker, file_tls)
    _checked_name("gateway", settings["name"])
    return GatewayConfig(host=address.host, port=address.port, tls=address.tls, links=_checked_links(configured),
                         **settings)


class _Schemas:
    """Schema files loaded once each, however many links share them."""

    def __init__(self):
        self._loaded = {}

    def load(self, path):
        """The TypedSchema in the file at `path`; None for None."""
        if path is None:
            return None
        if path not in self._loaded:
            self._loaded[path] = typed.load(path)
        return self._loaded[path]


def _beside(config_path, path):
    """A path a configuration file gives, relative to the file's folder."""
    return os.path.join(os.path.dirname(config_path), path)


def _option_settings(options):
    settings = {}
    for key, text in options.items():
        if text is not None:
            field, parse = _SETTINGS[key]
            settings[field] = _parsed("option", "--" + key.replace("_", "-"), parse, text)
    return settings


def _checked_name(kind, name):
    try:
        return check_level(kind, name)
    except BadTopic as error:
        raise ConfigError(str(error)) from None


def _checked_links(links):
    if not links:
        raise ConfigError("a gateway needs at least one link (--link NAME=TARGET)")
    names = set()
    for link in links:
        _checked_name("link", link.name)
        if link.name in names:
            raise ConfigError("two links are named %r" % link.name)
        if link.node_id is None:
            raise ConfigError("link %r has no node id: give the gateway one (--id) or the link (id =)" % link.name)
        names.add(link.name)
    return tuple(links)


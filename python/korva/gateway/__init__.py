"""`korva gateway`: the links of one host served to an MQTT broker.

- `bridge`: the gateway itself, one `Gateway` serving every configured link;
- `config`: its settings, from the command line or an INI file;
- `topics`: the topic tree; `payloads`: what its messages carry;
- `commands`: commands from the broker to a line, and their answers;
- `stream`, `buffer`: frames numbered and kept while the broker is away;
- `session`: one link's MQTT v5 connection.

Nothing is imported here, so that reading a configuration (or the topic
tree) does not load the MQTT client.
"""

"""JSON texts read by node's strict `JSON.parse`, for tests that check what a
browser or Node-RED would see: every number comes back as its IEEE-754 bits
(so -0.0 and the last digit count), every other value as it is."""

import json
import shutil
import struct
import subprocess

__all__ = ["NODE", "parse_in_node", "bits_of"]

NODE = shutil.which("node")
_TIMEOUT = 60  # seconds node may take on a loaded machine

# Reads a JSON array of texts on stdin, parses each with JSON.parse and writes
# them back with every number replaced by {"f64": "<16 hex digits>"}.
_SCRIPT = r"""
const texts = JSON.parse(require('fs').readFileSync(0, 'utf8'));
const bits = (value) => {
  if (typeof value === 'number') {
    const view = new DataView(new ArrayBuffer(8));
    view.setFloat64(0, value);
    return {f64: [...new Uint8Array(view.buffer)].map((b) => b.toString(16).padStart(2, '0')).join('')};
  }
  if (Array.isArray(value)) return value.map(bits);
  if (value !== null && typeof value === 'object') {
    return Object.fromEntries(Object.entries(value).map(([k, v]) => [k, bits(v)]));
  }
  return value;
};
process.stdout.write(JSON.stringify(texts.map((text) => {
  try { return {ok: bits(JSON.parse(text))}; } catch (e) { return {error: String(e)}; }
})));
"""


def bits_of(value):
    """`value` (parsed by Python) in the form `parse_in_node` gives."""
    if isinstance(value, bool) or value is None or isinstance(value, str):
        return value
    if isinstance(value, (int, float)):
        return {"f64": struct.pack(">d", float(value)).hex()}
    if isinstance(value, list):
        return [bits_of(item) for item in value]
    return {key: bits_of(item) for key, item in value.items()}


def parse_in_node(texts):
    """What node's JSON.parse makes of each text (str or bytes): {"ok":
    value} with numbers as bits (see `bits_of`), or {"error": message}."""
    texts = [text.decode() if isinstance(text, bytes) else text for text in texts]
    done = subprocess.run([NODE, "-e", _SCRIPT], input=json.dumps(texts), capture_output=True, text=True,
                          timeout=_TIMEOUT, check=True)
    return json.loads(done.stdout)

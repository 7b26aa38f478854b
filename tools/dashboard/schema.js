// A link's schema as its gateway publishes it (the canonical JSON of
// korva.schema, keys at their defaults left out), and what the page makes
// of it: decoded fields as compact text, the numbers a plot can follow, and
// the inputs of a send form. The page never encodes a body: a send carries
// `fields` in the gateway's JSON mapping and the gateway's codec encodes it.

const INTEGER_RANGES = {
  u8: [0, 2 ** 8 - 1], i8: [-(2 ** 7), 2 ** 7 - 1], u16: [0, 2 ** 16 - 1], i16: [-(2 ** 15), 2 ** 15 - 1],
  u32: [0, 2 ** 32 - 1], i32: [-(2 ** 31), 2 ** 31 - 1],
};
// 64-bit integers travel as decimal strings: a JavaScript number loses digits past 2^53.
const WIDE_RANGES = {
  u64: ['0', '18446744073709551615'], i64: ['-9223372036854775808', '9223372036854775807'],
};
const FLOATS = new Set(['f32', 'f64']);
const PRECISION = 15; // significant digits of a scaled range: what a double holds exactly
const NON_FINITE = { NaN: NaN, Infinity: Infinity, '-Infinity': -Infinity };

// The schema text of a link's retained topic as
// {name, revision, enums: {name: [member names]}, messages: [...]}; null
// for an empty payload (the link has none) or one that is not a schema.
export function parseSchema(text) {
  let data;
  try {
    data = JSON.parse(text);
  } catch {
    return null;
  }
  if (typeof data !== 'object' || data === null || Array.isArray(data) || !Array.isArray(data.messages ?? [])) {
    return null;
  }
  const enums = Object.fromEntries(Object.entries(data.enums ?? {}).map(([name, members]) => [name,
    Object.entries(members).map(([member, value]) => [member, typeof value === 'object' ? value.value : value])
      .sort((a, b) => a[1] - b[1]).map(([member]) => member)]));
  return { name: data.name, revision: data.revision, enums, messages: data.messages ?? [] };
}

// The schema's message for a frame's type name and id, or undefined.
export function messageFor(schema, type, id) {
  return schema?.messages.find((message) => message.type === type && message.id === id);
}

// A frame's decoded part as text: `set_speed{rpm=-1200, mode=run}`, the
// codec's reason the body did not decode (with the message's name, which
// the reason mostly starts with), or '' for a frame the schema does not name.
export function messageText(frame) {
  if (!frame.message) return '';
  if (frame.decodeError) {
    return frame.decodeError.startsWith(frame.message) ? frame.decodeError : `${frame.message}: ${frame.decodeError}`;
  }
  const extra = frame.extra ? ` +${frame.extra} bytes` : '';
  return `${frame.message}{${compact(frame.fields ?? {})}}${extra}`;
}

function compact(fields) {
  return Object.entries(fields).map(([name, value]) => `${name}=${valueText(value)}`).join(', ');
}

function valueText(value) {
  if (Array.isArray(value)) return `[${value.map(valueText).join(', ')}]`;
  if (typeof value === 'object' && value !== null) return `{${compact(value)}}`;
  if (typeof value === 'string') return /^[\w.+-]*$/.test(value) && value !== '' ? value : JSON.stringify(value);
  return String(value);
}

// The numbers of a message a plot can follow: [{label, path, unit}], where
// path leads into a frame's `fields` (a name, then an array index or a bit
// name). Enums are names, not numbers, and text is not plotted.
export function plottable(message) {
  const series = [];
  for (const field of message.fields ?? []) {
    if (field.bits) {
      for (const bit of field.bits) {
        if (!bit.enum) series.push({ label: `${field.name}.${bit.name}`, path: [field.name, bit.name] });
      }
    } else if (!field.enum && isNumeric(field.type)) {
      const unit = field.unit ?? '';
      if (field.count) {
        for (let at = 0; at < field.count; at++) {
          series.push({ label: `${field.name}[${at}]`, path: [field.name, at], unit });
        }
      } else {
        series.push({ label: field.name, path: [field.name], unit });
      }
    }
  }
  return series;
}

function isNumeric(type) {
  return type in INTEGER_RANGES || type in WIDE_RANGES || FLOATS.has(type) || type === 'bool';
}

// The number at `path` in a frame's fields; null where there is none (the
// invalid sentinel, a field left out) or it is not finite.
export function valueAt(fields, path) {
  let value = fields;
  for (const step of path) {
    if (value === null || typeof value !== 'object') return null;
    value = value[step];
  }
  if (typeof value === 'boolean') return value ? 1 : 0;
  const number = typeof value === 'string' && /^-?\d+$/.test(value) ? Number(value) : value;
  return typeof number === 'number' && Number.isFinite(number) ? number : null;
}

// The inputs of a send form for `message`: one per value the message
// carries, as {label, path, kind, unit, ...}: kind 'integer' (min, max),
// 'wide' (64-bit; min and max as text), 'float' (min, max; scaled integers
// too), 'choice' (options), 'flag', 'text' (maxBytes) or 'hex' (maxBytes);
// `value` the schema's default as the input shows it, '' for none.
export function formInputs(schema, message) {
  return (message.fields ?? []).flatMap((field) => fieldInputs(schema, field));
}

function fieldInputs(schema, field) {
  if (field.bits) return field.bits.map((bit) => bitInput(schema, field, bit));
  const count = field.count ?? 0;
  const one = (path, label, value) => ({ ...valueInput(schema, field), label, path, value: defaultText(value) });
  if (!count) return [one([field.name], field.name, field.default)];
  return Array.from({ length: count }, (_, at) => one([field.name, at], `${field.name}[${at}]`,
    Array.isArray(field.default) ? field.default[at] : field.default));
}

function bitInput(schema, field, bit) {
  const width = bit.width ?? 1;
  const path = [field.name, bit.name];
  const label = `${field.name}.${bit.name}`;
  if (bit.enum) return { label, path, kind: 'choice', options: schema.enums[bit.enum] ?? [], value: '' };
  if (width === 1) return { label, path, kind: 'flag', value: false };
  return { label, path, kind: 'integer', min: 0, max: 2 ** width - 1, value: '' };
}

function valueInput(schema, field) {
  const unit = field.unit ?? '';
  if (field.enum) return { kind: 'choice', options: schema.enums[field.enum] ?? [] };
  if (field.type === 'bool') return { kind: 'flag' };
  if (field.type === 'string') return { kind: 'text', maxBytes: field.max };
  if (field.type === 'bytes') return { kind: 'hex', maxBytes: field.max };
  if (FLOATS.has(field.type)) return { kind: 'float', min: field.min, max: field.max, unit };
  if (field.type in WIDE_RANGES && !field.scale && !field.offset) {
    const [low, high] = WIDE_RANGES[field.type];
    return { kind: 'wide', min: field.min ?? low, max: field.max ?? high, unit };
  }
  const scale = field.scale ?? 1;
  const offset = field.offset ?? 0;
  const [low, high] = INTEGER_RANGES[field.type] ?? WIDE_RANGES[field.type].map(Number);
  const physical = [low, high].map((raw) => readable(raw * scale + offset)).sort((a, b) => a - b);
  if (scale === 1 && offset === 0) return { kind: 'integer', min: field.min ?? low, max: field.max ?? high, unit };
  return { kind: 'float', min: field.min ?? physical[0], max: field.max ?? physical[1], unit };
}

// 32767 x 0.1 as 3276.7, not 3276.7000000000003: the codec rounds to the
// scale anyway, and a range is read by people.
function readable(number) {
  return Number(number.toPrecision(PRECISION));
}

function defaultText(value) {
  if (value === undefined || value === null) return '';
  return typeof value === 'boolean' ? value : String(value);
}

// The `fields` object of a send from what the inputs hold (`values[i]` the
// text, or for a flag the boolean, of `inputs[i]`), in the gateway's JSON
// mapping. An empty input leaves its field out (the gateway's codec takes
// the default, or answers which field is missing); text that is not a
// number where one belongs is an Error naming the input.
export function collectFields(inputs, values) {
  const fields = {};
  inputs.forEach((input, at) => {
    const value = inputValue(input, values[at]);
    if (value === undefined) return;
    const [name, inner] = input.path;
    if (input.path.length === 1) fields[name] = value;
    else {
      fields[name] ??= typeof inner === 'number' ? [] : {};
      fields[name][inner] = value;
    }
  });
  for (const [name, value] of Object.entries(fields)) {
    if (Array.isArray(value) && value.filter((element) => element !== undefined).length !== value.length) {
      throw new Error(`${name}: give every element or none`);
    }
  }
  return fields;
}

function inputValue(input, raw) {
  if (input.kind === 'flag') return Boolean(raw);
  const text = String(raw ?? '').trim();
  if (text === '') return undefined;
  if (input.kind === 'text') return String(raw);
  if (input.kind === 'choice') return text;
  if (input.kind === 'hex') return hexText(input, text);
  if (input.kind === 'wide') {
    if (!/^-?\d+$/.test(text)) throw new Error(`${input.label}: a whole number, not "${text}"`);
    return text;
  }
  if (input.kind === 'float' && text in NON_FINITE) return text;
  const number = Number(text);
  if (!Number.isFinite(number) || (input.kind === 'integer' && !Number.isInteger(number))) {
    throw new Error(`${input.label}: ${input.kind === 'integer' ? 'a whole number' : 'a number'}, not "${text}"`);
  }
  return number;
}

function hexText(input, text) {
  const hex = text.replace(/\s+/g, '').toLowerCase();
  if (!/^([0-9a-f]{2})*$/.test(hex)) throw new Error(`${input.label}: hex bytes such as "01 02 ff", not "${text}"`);
  return hex;
}

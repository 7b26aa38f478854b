// The send form's inputs for one message of a link's schema: an input per
// value (schema.js says which), with the schema's ranges and defaults, and
// their values read back for collectFields(). The inputs are the reader's
// to fill: reading what was typed is the one thing read from the page.

export class FieldInputs {
  constructor(container) {
    this.container = container;
    this.inputs = []; // formInputs() of the message shown
    this.elements = [];
  }

  show(inputs) {
    this.inputs = inputs;
    this.elements = inputs.map(makeInput);
    this.container.replaceChildren(...inputs.map((input, at) => {
      const label = document.createElement('label');
      label.append(`${input.label} `, this.elements[at]);
      if (input.unit) label.append(` ${input.unit}`);
      return label;
    }));
  }

  values() {
    return this.elements.map((element) => (element.type === 'checkbox' ? element.checked : element.value));
  }
}

function makeInput(input) {
  if (input.kind === 'choice') {
    const select = document.createElement('select');
    select.append(...input.options.map((name) => new Option(name, name)));
    if (input.value !== '') select.value = input.value;
    return dressed(select, input);
  }
  const element = document.createElement('input');
  if (input.kind === 'flag') {
    element.type = 'checkbox';
    element.checked = input.value === true || input.value === 'true';
    return dressed(element, input);
  }
  element.value = input.value ?? '';
  element.size = 8;
  if (input.kind === 'integer' || input.kind === 'float') {
    element.type = 'number';
    // A scaled field's step would be counted from its minimum in binary
    // floating point, refusing values the codec takes: the codec rounds.
    element.step = input.kind === 'integer' ? '1' : 'any';
    if (input.min !== undefined) element.min = String(input.min);
    if (input.max !== undefined) element.max = String(input.max);
  } else if (input.kind === 'wide') {
    element.inputMode = 'numeric';
    element.placeholder = `${input.min} to ${input.max}`;
  } else {
    element.size = 24;
    element.placeholder = input.kind === 'hex' ? 'hex bytes' : 'text';
  }
  if (input.maxBytes !== undefined) element.title = `at most ${input.maxBytes} bytes`;
  return dressed(element, input);
}

function dressed(element, input) {
  element.name = input.label;
  element.dataset.field = input.label;
  return element;
}

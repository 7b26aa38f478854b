// Drawing the fleet table and the link cards. Rows and cards are made once
// and written only where something changed: a link's change count says
// whether to look at it at all.

import { LINK_UP } from './gateway.js';
import { isoTime, spacedHex } from './log.js';
import { makeFieldPlot, makePlot } from './plots.js';
import { KeyedRows, Row, Text, placeChildren } from './rows.js';
import { plottable } from './schema.js';

// "4 s ago" from two times in seconds since the epoch; "never" for null.
export function agoText(when, now) {
  if (when === null) return 'never';
  const seconds = Math.max(0, Math.round(now - when));
  if (seconds < 120) return `${seconds} s ago`;
  if (seconds < 7200) return `${Math.round(seconds / 60)} min ago`;
  return `${Math.round(seconds / 3600)} h ago`;
}

// What the page says once its connection to `broker` closed; `reached`:
// whether it was ever connected. A browser does not tell a page why a
// websocket failed; over wss:// the likeliest reason is named.
export function closedText(broker, reached) {
  if (reached) return `disconnected from ${broker}`;
  const hint = broker.startsWith('wss:') ? ': is its certificate one this browser trusts?' : '';
  return `cannot reach ${broker}${hint}`;
}

// The fleet table's columns: gateway, link, status, last seen, frames,
// damaged, seq gaps, node, target, engine, schema.
const LINK_CELLS = ['', '', 'status', 'last-seen', 'number frames', 'number damaged', 'number gaps', 'number', '',
  'number', 'schema'];
const GATEWAY_CELLS = LINK_CELLS.map((className) => (className === 'last-seen' ? className : ''));

export class FleetTable {
  constructor(tbody) {
    this.tbody = tbody;
    this.gatewayRows = new Map();
    this.linkRows = new Map();
    this.layout = -1; // the fleet's layout the rows are placed for
  }

  render(fleet, now) {
    if (this.layout !== fleet.layout) this.place(fleet);
    for (const [gateway, links] of fleet.gateways) {
      let up = 0;
      for (const link of links.values()) {
        if (link.status === LINK_UP) up += 1;
        this.showLink(link, now);
      }
      this.gatewayRows.get(gateway).show([gateway, `${up} of ${links.size} links up`, '',
        agoText(fleet.lastSeen(gateway), now)]);
    }
  }

  place(fleet) {
    const rows = [];
    for (const [gateway, links] of fleet.gateways) {
      if (!this.gatewayRows.has(gateway)) {
        this.gatewayRows.set(gateway, new Row(GATEWAY_CELLS, { class: 'gateway', 'data-gateway': gateway }));
      }
      rows.push(this.gatewayRows.get(gateway).element);
      for (const link of links.values()) {
        if (!this.linkRows.has(link.key)) this.linkRows.set(link.key, new Row(LINK_CELLS, { 'data-link': link.key }));
        rows.push(this.linkRows.get(link.key).element);
      }
    }
    placeChildren(this.tbody, rows);
    this.layout = fleet.layout;
  }

  showLink(link, now) {
    const row = this.linkRows.get(link.key);
    const info = link.info || {};
    row.classify(2, `status status-${link.status}`);
    row.show(['', link.name, link.status, agoText(link.lastSeen, now), link.frames, link.damaged, link.gaps,
      info.node_id, info.target, info.engine_version, schemaText(info.schema)]);
  }
}

// "motor r2 30a151b0": a link's schema as its info names it.
function schemaText(schema) {
  return schema ? `${schema.name} r${schema.revision} ${schema.fingerprint}` : '';
}

// The numbers of a schema's messages a card offers to plot, each as
// {key, message, label, path}.
export function fieldChoices(schema) {
  return (schema?.messages ?? []).flatMap((message) => plottable(message).map((series) => ({
    key: `${message.name}.${series.label}`, message: message.name, path: series.path,
    label: `${message.name}.${series.label}${series.unit ? ` (${series.unit})` : ''}`,
  })));
}

// A card per link: its nodes, its plots and its statistics; made on first
// sight. Each plot is drawn at most once a second, and only while it is on
// screen. With a schema, the card offers its numbers to plot over time:
// `onWatch(link, choice)` follows the one chosen (null: none).
export class LinkCards {
  constructor(container, onWatch) {
    this.container = container;
    this.onWatch = onWatch;
    this.cards = new Map();
    this.layout = -1;
    this.watcher = new IntersectionObserver((seen) => {
      for (const { target, isIntersecting } of seen) {
        const card = this.cards.get(target.dataset.link);
        card.visible = isIntersecting;
        if (isIntersecting) card.plotted = null;
      }
    });
  }

  render(fleet, now) {
    if (this.layout !== fleet.layout) {
      placeChildren(this.container, fleet.links().map((link) => this.card(link, now).element));
      this.layout = fleet.layout;
    }
    const second = Math.floor(now);
    for (const link of fleet.links()) {
      const card = this.cards.get(link.key);
      if (card.changes !== link.changes) {
        card.nodes.place(nodeKeys(link));
        for (const node of link.nodes.values()) card.nodes.get(node.id).show(nodeCells(link, node));
        const stats = flatten(link.stats || {});
        card.stats.place(stats.map(([name]) => name));
        for (const [name, value] of stats) card.stats.get(name).show([name, value]);
        if (card.schema !== link.schema) this.offerFields(card, link);
        card.changes = link.changes;
      }
      if (card.visible && card.plotted !== second) {
        card.plot.setData(link.rates.columns(now));
        this.plotField(card, link);
        card.plotted = second;
      }
    }
  }

  offerFields(card, link) {
    card.schema = link.schema;
    card.choices = fieldChoices(link.schema);
    const chosen = link.series ? card.choices.findIndex((choice) => choice.message === link.series.message
      && choice.path.join('.') === link.series.path.join('.')) : -1;
    card.choice.replaceChildren(new Option('plot a field…', ''),
      ...card.choices.map((choice, at) => new Option(choice.label, String(at))));
    card.choice.value = chosen < 0 ? '' : String(chosen);
    card.choice.hidden = card.choices.length === 0;
    if (chosen < 0 && link.series) this.onWatch(link, null);
  }

  choose(card, link) {
    const choice = card.choice.value === '' ? null : card.choices[Number(card.choice.value)];
    card.fieldPlot?.destroy();
    card.fieldPlot = choice && makeFieldPlot(card.fieldBox, choice.label, [[], []]);
    card.fieldCaption.show('');
    card.seriesChanges = -1;
    card.plotted = null;
    this.onWatch(link, choice);
  }

  plotField(card, link) {
    const series = link.series;
    if (!series || !card.fieldPlot || card.seriesChanges === series.changes) return;
    card.fieldPlot.setData(series.columns());
    card.seriesChanges = series.changes;
    card.fieldCaption.show(`${series.values.length} points, last ${series.values.at(-1) ?? 'none'}`);
  }

  card(link, now) {
    if (!this.cards.has(link.key)) this.cards.set(link.key, this.make(link, now));
    return this.cards.get(link.key);
  }

  make(link, now) {
    const element = document.createElement('div');
    element.className = 'link-card';
    element.dataset.link = link.key;
    const title = document.createElement('h3');
    title.textContent = link.key;
    const table = document.createElement('table');
    table.className = 'nodes';
    table.createTHead().append(headerRow(['node', 'frames', 'last message', 'engine']));
    const plotBox = document.createElement('div');
    const stats = document.createElement('details');
    stats.className = 'stats';
    const summary = document.createElement('summary');
    summary.textContent = 'link statistics';
    const statsTable = document.createElement('table');
    stats.append(summary, statsTable);
    const choice = document.createElement('select');
    choice.className = 'field-choice';
    choice.hidden = true;
    const fieldBox = document.createElement('div');
    fieldBox.className = 'field-plot';
    const fieldCaption = document.createElement('p');
    fieldCaption.className = 'field-caption';
    element.append(title, table, plotBox, choice, fieldBox, fieldCaption, stats);
    this.watcher.observe(element);
    const card = {
      element,
      choice,
      choices: [],
      schema: null, // the schema whose fields the choice offers
      fieldBox,
      fieldPlot: null,
      fieldCaption: new Text(fieldCaption),
      seriesChanges: -1,
      nodes: new KeyedRows(table.createTBody(),
        (id) => new Row(NODE_CELLS, { 'data-node': `${link.key}/${id}` })),
      stats: new KeyedRows(statsTable.createTBody(), () => new Row(['', 'number'])),
      plot: makePlot(plotBox, link.rates.columns(now)),
      changes: -1,
      visible: false,
      plotted: null, // the second the plots were last drawn for
    };
    choice.addEventListener('change', () => this.choose(card, link));
    return card;
  }
}

// Nested counters as [dotted name, value] pairs, in the order they came.
export function flatten(object, prefix = '') {
  return Object.entries(object).flatMap(([name, value]) => (typeof value === 'object' && value !== null
    ? flatten(value, `${prefix}${name}.`) : [[prefix + name, value]]));
}

function headerRow(texts) {
  const tr = document.createElement('tr');
  for (const text of texts) {
    const th = document.createElement('th');
    th.textContent = text;
    tr.append(th);
  }
  return tr;
}

const NODE_CELLS = ['number', 'number frames', '', 'version'];

function nodeKeys(link) {
  return [...link.nodes.keys()].sort((a, b) => a - b);
}

function nodeCells(link, node) {
  const own = link.ownNode();
  const version = node.version ?? (own && own.id === node.id ? own.version : undefined);
  return [node.id, node.frames, lastMessageText(node.last), version ?? 'unknown'];
}

function lastMessageText(frame) {
  const clock = isoTime(frame.ts).slice(11, 23);
  return `${clock} ${frame.type} id ${frame.id} to ${frame.rx} ${spacedHex(frame.data)}`.trim();
}

// Drawing the fleet, the link cards and the frame log into the page. Every
// text goes in as textContent: names and bodies come from the broker.

import { isoTime, printable, spacedHex } from './log.js';
import { makePlot } from './plots.js';

// "4 s ago" from two times in seconds since the epoch; "never" for null.
export function agoText(when, now) {
  if (when === null) return 'never';
  const seconds = Math.max(0, Math.round(now - when));
  if (seconds < 120) return `${seconds} s ago`;
  if (seconds < 7200) return `${Math.round(seconds / 60)} min ago`;
  return `${Math.round(seconds / 3600)} h ago`;
}

function cell(text, className) {
  const td = document.createElement('td');
  td.textContent = text === undefined || text === null ? '' : String(text);
  if (className) td.className = className;
  return td;
}

function row(cells, attributes = {}) {
  const tr = document.createElement('tr');
  for (const [name, value] of Object.entries(attributes)) tr.setAttribute(name, value);
  tr.append(...cells);
  return tr;
}

export function renderFleet(tbody, fleet, now) {
  const columns = tbody.parentElement.tHead.rows[0].cells.length;
  const rows = [];
  for (const [gateway, links] of fleet.gateways) {
    const up = [...links.values()].filter((link) => link.status === 'up').length;
    const summary = [cell(gateway), cell(`${up} of ${links.size} links up`), cell(''),
      cell(agoText(fleet.lastSeen(gateway), now), 'last-seen')];
    const blanks = Array.from({ length: columns - summary.length }, () => cell(''));
    rows.push(row([...summary, ...blanks], { class: 'gateway', 'data-gateway': gateway }));
    for (const link of links.values()) rows.push(linkRow(link, now));
  }
  tbody.replaceChildren(...rows);
}

function linkRow(link, now) {
  const info = link.info || {};
  return row([
    cell(''), cell(link.name), cell(link.status, `status status-${link.status}`),
    cell(agoText(link.lastSeen, now), 'last-seen'),
    cell(link.frames, 'number frames'), cell(link.damaged, 'number damaged'), cell(link.gaps, 'number gaps'),
    cell(info.node_id, 'number'), cell(info.target), cell(info.engine_version, 'number'),
  ], { 'data-link': link.key });
}

// A card per link: its nodes and its plot; made on first sight.
export class LinkCards {
  constructor(container) {
    this.container = container;
    this.cards = new Map();
  }

  render(fleet, now) {
    for (const link of fleet.links()) {
      const card = this.cards.get(link.key) || this.add(link, now);
      card.nodes.replaceChildren(...nodeRows(link));
      card.plot.setData(link.rates.columns(now));
      card.stats.replaceChildren(...flatten(link.stats || {}).map(([name, value]) => row([cell(name),
        cell(value, 'number')])));
    }
  }

  add(link, now) {
    const section = document.createElement('div');
    section.className = 'link-card';
    section.dataset.link = link.key;
    const title = document.createElement('h3');
    title.textContent = link.key;
    const table = document.createElement('table');
    table.className = 'nodes';
    table.createTHead().append(row(['node', 'frames', 'last message', 'engine'].map(header)));
    const plotBox = document.createElement('div');
    const stats = document.createElement('details');
    stats.className = 'stats';
    const summary = document.createElement('summary');
    summary.textContent = 'link statistics';
    const statsTable = document.createElement('table');
    stats.append(summary, statsTable);
    section.append(title, table, plotBox, stats);
    this.container.append(section);
    const card = { nodes: table.createTBody(), plot: makePlot(plotBox, link.rates.columns(now)),
      stats: statsTable.createTBody() };
    this.cards.set(link.key, card);
    return card;
  }
}

// Nested counters as [dotted name, value] pairs, in the order they came.
export function flatten(object, prefix = '') {
  return Object.entries(object).flatMap(([name, value]) => (typeof value === 'object' && value !== null
    ? flatten(value, `${prefix}${name}.`) : [[prefix + name, value]]));
}

function header(text) {
  const th = document.createElement('th');
  th.textContent = text;
  return th;
}

function nodeRows(link) {
  const nodes = new Map([...link.nodes].sort(([a], [b]) => a - b));
  const own = link.ownNode();
  return [...nodes.values()].map((node) => {
    const version = node.version ?? (own && own.id === node.id ? own.version : undefined);
    return row([cell(node.id, 'number'), cell(node.frames, 'number frames'), cell(lastMessageText(node.last)),
      cell(version ?? 'unknown', 'version')], { 'data-node': `${link.key}/${node.id}` });
  });
}

function lastMessageText(frame) {
  const clock = isoTime(frame.ts).slice(11, 23);
  return `${clock} ${frame.type} id ${frame.id} to ${frame.rx} ${spacedHex(frame.data)}`.trim();
}

export function renderLog(tbody, entries) {
  tbody.replaceChildren(...entries.map((entry) => row([
    cell(isoTime(entry.ts).slice(11, 23)), cell(`${entry.gateway}/${entry.link}`), cell(entry.seq, 'number'),
    cell(`${entry.tx} → ${entry.rx}`), cell(entry.type), cell(entry.id, 'number'),
    cell(spacedHex(entry.data), 'hex'), cell(printable(entry.data), 'text'), cell(entry.status, 'status'),
  ], entry.status === 'ok' ? {} : { class: 'damaged' })));
}

// The page: connects to the broker over MQTT-over-websockets, feeds the
// fleet and the frame log from the gateways' topics, redraws on a timer and
// sends commands from the form. mqtt.js comes from its browser build as the
// global `mqtt`. What the page shows is drawn from the state kept here,
// never read back from it.

import { Fleet } from './fleet.js';
import { FrameLog, parseFilter } from './log.js';
import {
  NO_REPLY, REQUEST_TIMEOUT, Requests, parseCommand, parseReply, sendBody, typedCommand,
} from './commands.js';
import { REPLY_OK, REQUEST, SUBSCRIPTIONS, isReplyTopic, replyTopic, sendTopic } from './gateway.js';
import { LogView } from './logview.js';
import { Text } from './rows.js';
import { collectFields, formInputs } from './schema.js';
import { FieldInputs } from './sendform.js';
import { FleetTable, LinkCards, closedText } from './view.js';

const REDRAW_PERIOD = 250; // ms between redraws of tables and plots
const RECONNECT_PERIOD = 2000; // ms
const CONNECT_TIMEOUT = 5000; // ms
const REFUSED_LOGIN = new Set([4, 5, 134, 135]); // bad credentials or not authorised: retrying cannot help

const fleet = new Fleet();
const log = new FrameLog();
const requests = new Requests();
const clientId = 'korva-dashboard-' + Math.random().toString(16).slice(2, 10);
let client = null;
let user = '';
let connectionState = 'idle';
let reached = false; // the current client was connected at least once
let passes = () => true;
let refiltered = false; // the filter changed since the log was last drawn
let linkChoices = -1; // the fleet layout the send form's links were listed for
let formSchema = null; // the schema the send form's messages were listed from
let formMessages = []; // those messages, as the form lists them
let fieldInputs = null;
let fleetTable = null;
let cards = null;
let logView = null;
let logCount = null;

const $ = (id) => document.getElementById(id);
const now = () => Date.now() / 1000;

function showConnection(state, text) {
  connectionState = state;
  $('connection').dataset.state = state;
  $('connection').textContent = text;
}

function showResult(state, text) {
  $('send-result').dataset.state = state;
  $('send-result').textContent = text;
}

function connect(broker, username, password) {
  if (client !== null) client.end(true);
  user = username;
  showConnection('connecting', `connecting to ${broker}`);
  client = window.mqtt.connect(broker, {
    protocolVersion: 5, clientId, username: username || undefined, password: password || undefined,
    reconnectPeriod: RECONNECT_PERIOD, connectTimeout: CONNECT_TIMEOUT, clean: true,
  });
  reached = false;
  client.on('connect', () => {
    reached = true;
    subscribe(broker);
  });
  client.on('message', receive);
  client.on('close', () => {
    if (connectionState !== 'error') showConnection('closed', closedText(broker, reached));
  });
  client.on('error', (error) => {
    showConnection('error', `broker: ${error.message}`);
    if (REFUSED_LOGIN.has(error.code)) client.end(true);
  });
}

function subscribe(broker) {
  const topics = [...SUBSCRIPTIONS, replyTopic(user, clientId)];
  client.subscribe(topics, { qos: 1 }, (error, granted) => {
    const refused = (granted || []).filter((grant) => grant.qos >= 0x80).map((grant) => grant.topic);
    if (error || refused.length) {
      showConnection('error', `subscription refused: ${error ? error.message : refused.join(', ')}`);
      return;
    }
    showConnection('connected', `connected to ${broker}${user ? ' as ' + user : ''}`);
  });
}

function receive(topic, payload, packet) {
  const text = new TextDecoder().decode(payload);
  if (isReplyTopic(topic)) {
    settleReply(text, packet.properties);
    return;
  }
  const taken = fleet.take(topic, text, packet.retain, now());
  if (taken && taken.frame) log.add(taken.frame);
}

function settleReply(text, properties) {
  const correlation = properties && properties.correlationData
    ? new TextDecoder().decode(properties.correlationData) : '';
  requests.settle(correlation, parseReply(text, properties));
}

// A typed send asks for an answer whatever its type: the gateway's codec,
// not the page, says whether its fields fit the message.
function sendCommand(event) {
  event.preventDefault();
  if (client === null || !client.connected) {
    showResult('error', 'not connected to a broker');
    return;
  }
  let command;
  const message = chosenMessage();
  try {
    const fields = message && collectFields(fieldInputs.inputs, fieldInputs.values());
    command = message ? typedCommand($('send-rx').value, message, fields)
      : parseCommand({ rx: $('send-rx').value, type: $('send-type').value, id: $('send-id').value,
        data: $('send-data').value });
  } catch (error) {
    showResult('error', error.message);
    return;
  }
  const [gateway, link] = $('send-link').value.split('/');
  if (command.type === REQUEST || message) request(gateway, link, command);
  else publish(gateway, link, command);
}

// The schema message the form sends, or undefined for raw bytes.
function chosenMessage() {
  const choice = $('send-message').value;
  return choice === '' ? undefined : formMessages[Number(choice)];
}

function chosenLink() {
  const [gateway, name] = $('send-link').value.split('/');
  return fleet.gateways.get(gateway)?.get(name) ?? null;
}

// The chosen link's schema messages in the form, keeping the one chosen
// if the new schema still has it.
function offerMessages() {
  const schema = chosenLink()?.schema ?? null;
  if (schema === formSchema) return;
  const chosen = chosenMessage()?.name;
  formSchema = schema;
  formMessages = schema?.messages ?? [];
  $('send-message').replaceChildren(new Option('raw bytes', ''),
    ...formMessages.map((message, at) => new Option(`${message.name} (${message.type} ${message.id})`, String(at))));
  const still = formMessages.findIndex((message) => message.name === chosen);
  $('send-message').value = still < 0 ? '' : String(still);
  showMessageForm();
}

function showMessageForm() {
  const message = chosenMessage();
  $('send-type').disabled = Boolean(message);
  $('send-id').disabled = Boolean(message);
  $('send-data-label').hidden = Boolean(message);
  if (message) {
    $('send-type').value = message.type;
    $('send-id').value = String(message.id);
  }
  fieldInputs.show(message ? formInputs(formSchema, message) : []);
}

function publish(gateway, link, command) {
  showResult('waiting', 'sending…');
  client.publish(sendTopic(gateway, link, command), sendBody(command), { qos: 1 }, (error) => {
    if (error) showRefusal(error);
    else showResult('sent', `${command.type} accepted by the broker`);
  });
}

function request(gateway, link, command) {
  const { correlation, reply } = requests.open(clientId);
  const properties = { responseTopic: replyTopic(user, clientId), correlationData: correlation,
    messageExpiryInterval: REQUEST_TIMEOUT };
  showResult('waiting', 'request sent, waiting for the reply…');
  client.publish(sendTopic(gateway, link, command), sendBody(command), { qos: 1, properties }, (error) => {
    if (error) {
      requests.settle(correlation, null);
      showRefusal(error);
    }
  });
  reply.then((answer) => {
    if (answer !== null) showReply(answer);
  });
}

// The broker's reason code and text, as its PUBACK gave them.
function showRefusal(error) {
  const code = error.code === undefined ? '' : ` (reason code ${error.code})`;
  showResult('refused', `refused by the broker: ${error.message.replace(/^Publish error: /, '')}${code}`);
}

function showReply(answer) {
  if (answer.status === NO_REPLY) {
    showResult('error', `no reply within ${REQUEST_TIMEOUT} s`);
    return;
  }
  if (answer.data === null && answer.status === REPLY_OK) {
    showResult('sent', 'sent: the frame went out');
    return;
  }
  if (answer.data === null) {
    const why = answer.body && answer.body.error ? answer.body.error : JSON.stringify(answer.body);
    showResult('error', `reply: ${answer.status}: ${why}`);
    return;
  }
  const data = answer.data.match(/../g)?.join(' ') ?? '(empty)';
  const decoded = answer.decoded ? `, ${answer.decoded}` : '';
  showResult(answer.status === REPLY_OK ? 'replied' : 'error', `reply: ${answer.status}${decoded}, data ${data}`);
}

// Shown at once: the next redraw is up to a period away.
function applyFilter() {
  try {
    passes = parseFilter($('filter').value);
    $('filter-error').textContent = '';
  } catch (error) {
    $('filter-error').textContent = error.message;
  }
  refiltered = true;
  renderFrames();
}

function exportCsv() {
  const blob = new Blob([log.csv(passes)], { type: 'text/csv' });
  const anchor = document.createElement('a');
  anchor.href = URL.createObjectURL(blob);
  anchor.download = `korva-frames-${new Date().toISOString().replace(/[:.]/g, '-')}.csv`;
  anchor.click();
  URL.revokeObjectURL(anchor.href);
}

function redraw() {
  const at = now();
  fleetTable.render(fleet, at);
  cards.render(fleet, at);
  renderFrames();
  updateLinkChoices();
  offerMessages();
}

function renderFrames() {
  logView.render(log, passes, refiltered);
  refiltered = false;
  logCount.show(`${log.entries.length} frames kept`);
}

function updateLinkChoices() {
  if (linkChoices === fleet.layout) return;
  const select = $('send-link');
  const chosen = select.value;
  const keys = fleet.links().map((link) => link.key);
  select.replaceChildren(...keys.map((key) => new Option(key, key)));
  if (keys.includes(chosen)) select.value = chosen;
  linkChoices = fleet.layout;
}

function start() {
  fleetTable = new FleetTable($('fleet').tBodies[0]);
  cards = new LinkCards($('links'), (link, choice) => link.watch(choice?.message ?? null, choice?.path, log.entries));
  fieldInputs = new FieldInputs($('send-fields'));
  logView = new LogView($('log').tBodies[0], $('log-held'));
  logCount = new Text($('log-count'));
  const query = new URLSearchParams(window.location.search);
  $('broker').value = query.get('broker') || '';
  $('login').addEventListener('submit', (event) => {
    event.preventDefault();
    connect($('broker').value, $('user').value, $('password').value);
  });
  $('send').addEventListener('submit', sendCommand);
  $('send-link').addEventListener('change', offerMessages);
  $('send-message').addEventListener('change', showMessageForm);
  $('filter').addEventListener('input', applyFilter);
  $('export').addEventListener('click', exportCsv);
  setInterval(redraw, REDRAW_PERIOD);
}

start();

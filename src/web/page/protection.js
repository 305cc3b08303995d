'use strict';
// Protection: health badges, sync chip, header operations, alert sound and
// the protection dialog. Runs after page.js and uses its helpers.

const MODE_NAMES = ['Ignore', 'Alert only', 'Alert + failover'];
const CONDITIONS = [
  ['server', 'Server communication lost'],
  ['engine', 'Engine stopped or crashed'],
  ['responsive', 'Engine unresponsive'],
  ['frames', 'Engine channel frame progress stalled'],
  ['sync', 'Backup show / asset synchronization (failover setting gates Backup readiness)'],
  ['clock', 'Engaged external clock lost / unlocked'],
  ['resources', 'Sustained resource pressure (warning only)'],
];
const NUMBER_FIELDS = [['lossMs', 'kelLossMs'], ['stallMs', 'kelStallMs'],
  ['outputMs', 'kelOutputMs'], ['startupMs', 'kelStartupMs']];
const OPERATIONS = {
  main: 'Return to Main', backup: 'Take Backup', arm: 'Arm automatic failover',
  disarm: 'Disarm automatic failover', acknowledge: 'Acknowledge alerts',
};

let kelDraft = null;      // edited copy of the saved policy while the dialog is open
let audioContext = null;
let lastSoundAt = 0;

function protection() { return (state && state.protection) || null; }
function policy() { const p = protection(); return (p && p.policy) || {}; }

function healthOf(sys) {
  const p = protection();
  return ((p && p.systems) || []).find((h) => h.serial === sys.serial) || null;
}

// The first fault of a side's health, as a key shared by the badge and the
// dialog's summary.
function healthFault(sys) {
  const h = healthOf(sys);
  if (!h || h.ageMs < 0) return 'waiting';
  if (h.ageMs >= policy().lossMs) return 'lost';
  if (!h.supported) return 'unsupported';
  if (!h.engineRunning) return 'stopped';
  if (!h.engineResponsive) return 'unresponsive';
  if (h.frameStalled) return 'stalled';
  if (!h.telemetryAvailable) return 'telemetry';
  return '';
}

// A protected output (mode 2) of this side that is missing or unavailable.
function outputFault(sys, side) {
  const outputs = (healthOf(sys) || {}).outputs || [];
  return (policy().outputRules || []).some((rule) => {
    const id = side === 'Main' ? rule.mainId : rule.backupId;
    return rule.mode === 2 && id &&
      !outputs.some((o) => o.id === id && o.available === true && o.known !== false);
  });
}

const HEALTH_LABELS = {
  waiting: 'WAITING', lost: 'OFFLINE', unsupported: 'HEALTH UNKNOWN', stopped: 'ENGINE STOPPED',
  unresponsive: 'ENGINE UNRESPONSIVE', stalled: 'FRAME STALL', telemetry: 'TELEMETRY UNKNOWN',
};

function healthLabel(sys, side) {
  if (!connected) return 'STATUS OFFLINE';
  const fault = healthFault(sys);
  if (fault) return HEALTH_LABELS[fault];
  return outputFault(sys, side) ? 'PROTECTED OUTPUT FAULT' : 'READY';
}

function activeAlerts() {
  const p = protection();
  return ((p && p.alerts) || []).filter((a) => a.active && a.severity !== 'notice');
}

function renderProtection() {
  const sides = { Main: mainSystem(), Backup: backupSystem() };
  const labels = {};
  for (const [side, sys] of Object.entries(sides)) {
    const prefix = side === 'Main' ? 'main' : 'backup';
    $(prefix + 'Badge').hidden = !sys;
    if (!sys) continue;
    const label = labels[side] = healthLabel(sys, side);
    $(prefix + 'Status').textContent = side[0] + ': ' + label;
    $(prefix + 'Badge').title = [side, serverLabel(sys), label, serverDetail(sys)].join(' / ');
    setDot(prefix + 'Dot', label === 'READY' ? 'on' : connected && label !== 'OFFLINE' ? 'warn' : 'off');
  }
  renderSync(sides.Main, sides.Backup);
  renderControls(sides, labels);
  playAlertSound();
  if (kelDraft) renderProtectionLive();
}

function renderSync(main, backup) {
  let text, dot, tip = '';
  if (!connected) {
    [text, dot] = ['Status offline', 'off'];
  } else if (!state.enabled) {
    [text, dot] = ['Disabled', 'off'];
  } else if (!state.policySynchronized) {
    [text, dot] = ['Pair pending', 'warn'];
    tip = state.policySyncMessage || 'Waiting for Main to accept the pairing.';
  } else if (!main || !backup || !main.uiReady || !backup.uiReady) {
    [text, dot] = ['Sync unavailable', 'warn'];
  } else if (backup.replicationLastError) {
    [text, dot, tip] = ['Sync error', 'warn', backup.replicationLastError];
  } else if (main.replicationRevision > 0 &&
             backup.replicationAppliedRevision === main.replicationRevision &&
             !backup.replicationPendingMedia) {
    [text, dot] = ['In sync - R' + main.replicationRevision, 'on'];
  } else {
    text = 'Sync ' + backup.replicationAppliedRevision + '/' + main.replicationRevision;
    if (backup.replicationPendingMedia) text += ' - media ' + backup.replicationPendingMedia;
    dot = 'warn';
  }
  $('syncStatus').textContent = text;
  $('syncBadge').title = tip || text;
  setDot('syncDot', dot);
}

function setButton(id, disabled, style, next) {
  const button = $(id);
  button.disabled = disabled;
  button.className = (style || '') + (next ? ' next' : '');
}

function renderControls(sides, labels) {
  const p = protection();
  const usable = connected && !!p && !!state.enabled && !!sides.Main && !!sides.Backup;
  const busy = operationPending || !!(p && p.actionsBusy);
  const shown = displayedSystem();
  for (const [side, id, style] of [['Main', 'kelMainButton', 'good'], ['Backup', 'kelBackupButton', 'amber']]) {
    const displayed = !!shown && !!sides[side] && shown.serial === sides[side].serial;
    setButton(id, !usable || busy || displayed, displayed ? style : '',
      usable && !busy && !displayed && labels[side] === 'READY');
  }
  const armed = !!(p && p.armed);
  $('kelArmButton').textContent = armed ? 'Failover Armed' : 'Failover Disarmed';
  setButton('kelArmButton', !connected || operationPending || !usable, armed ? 'good' : 'amber');

  const alerts = activeAlerts();
  const unacknowledged = alerts.some((a) => !a.acknowledged);
  $('kelAlertCount').textContent = String(alerts.length);
  setButton('kelAckButton', !connected || !unacknowledged,
    unacknowledged ? 'amber' : alerts.length ? 'good' : '');
  setButton('kelProtectionButton', !connected, alerts.length ? 'amber' : '');
}

// --- sound ----------------------------------------------------------------

// Browsers allow sound only after a user gesture; every caller of this is one.
function enableAudio() {
  if (!audioContext && window.AudioContext) audioContext = new AudioContext();
  if (audioContext && audioContext.state === 'suspended') audioContext.resume().catch(() => {});
}

function playAlertSound() {
  if (!audioContext || !policy().audible || !connected) return;
  if (!activeAlerts().some((a) => !a.acknowledged) || Date.now() - lastSoundAt <= 10000) return;
  lastSoundAt = Date.now();
  const now = audioContext.currentTime;
  const tone = audioContext.createOscillator();
  const gain = audioContext.createGain();
  tone.frequency.value = 740;
  gain.gain.setValueAtTime(0.08, now);
  gain.gain.exponentialRampToValueAtTime(0.001, now + 0.25);
  tone.connect(gain).connect(audioContext.destination);
  tone.start(now);
  tone.stop(now + 0.25);
}

// --- header operations ----------------------------------------------------

async function operate(operation) {
  if (operationPending || !connected) return;
  enableAudio();
  const description = OPERATIONS[operation];
  operationPending = true;
  render();
  showNotice(description + ': working...', '');
  try {
    await postAction('/api/protection/operate', { operation });
    showNotice(operation === 'acknowledge'
      ? 'Current alerts acknowledged. Unresolved faults remain active.'
      : description + ': accepted.', 'good');
  } catch (e) {
    showNotice(description + ': ' + e.message, 'error');
  } finally {
    operationPending = false;
    render();
  }
}

// --- protection dialog ----------------------------------------------------

function modeSelect(options, value) {
  const select = el('select');
  for (const [mode, text] of options) select.append(el('option', { value: String(mode), textContent: text }));
  select.value = String(value);
  return select;
}

function conditionOptions(key) {
  const options = MODE_NAMES.map((name, mode) => [mode, name]);
  if (key === 'sync') options[2] = [2, 'Require for Backup takeover'];
  return key === 'resources' ? options.slice(0, 2) : options;
}

function outputSelect(sys, saved) {
  const select = el('select', {}, el('option', { value: '', textContent: 'Select output...' }));
  const outputs = (sys && (healthOf(sys) || {}).outputs) || [];
  for (const o of outputs) {
    const text = (o.name || o.id) + (o.available ? '' : ' (unavailable)');
    select.append(el('option', { value: o.id, textContent: text }));
  }
  if (saved && !outputs.some((o) => o.id === saved)) {
    select.append(el('option', { value: saved, textContent: saved + ' (unavailable)' }));
  }
  select.value = saved || '';
  return select;
}

function field(label, input) {
  return el('label', {}, label, input);
}

function numberInput(value) {
  return el('input', { type: 'number', value: String(value) });
}

function buildRules() {
  const list = $('kelOutputRules');
  list.replaceChildren();
  kelDraft.outputRules.forEach((rule, i) => {
    const remove = el('button', { type: 'button', textContent: 'Remove' });
    remove.onclick = () => editList(() => kelDraft.outputRules.splice(i, 1));
    list.append(el('div', { className: 'item rule' },
      field('Main output', outputSelect(mainSystem(), rule.mainId)),
      field('Backup output', outputSelect(backupSystem(), rule.backupId)),
      field('Response', modeSelect(MODE_NAMES.map((n, m) => [m, n]), rule.mode)),
      remove));
  });
}

function buildActions() {
  const list = $('kelActionList');
  list.replaceChildren();
  const count = kelDraft.actions.length;
  kelDraft.actions.forEach((a, i) => {
    const tool = (text, disabled, onclick) => {
      const button = el('button', { type: 'button', textContent: text, disabled });
      button.onclick = onclick;
      return button;
    };
    const swap = (j) => editList(() => {
      [kelDraft.actions[i], kelDraft.actions[j]] = [kelDraft.actions[j], kelDraft.actions[i]];
    });
    list.append(el('div', { className: 'item action' },
      el('label', { className: 'check wide' },
        el('input', { type: 'checkbox', checked: !!a.enabled }), ' Enable action ' + (i + 1)),
      field('Name', el('input', { value: a.name || '' })),
      field('Destination host', el('input', { value: a.host || '' })),
      field('Port', numberInput(a.port || 0)),
      field('Event', modeSelect([['backup', 'Transfer to Backup'], ['main', 'Return to Main']], a.event || 'backup')),
      field('Transport', modeSelect([['TCP', 'TCP'], ['UDP', 'UDP']], a.transport === 'UDP' ? 'UDP' : 'TCP')),
      field('Delay before step (ms)', numberInput(a.delayMs || 0)),
      field('Connect/send timeout (ms)', numberInput(a.timeoutMs === undefined ? 1000 : a.timeoutMs)),
      field('Retries (0-3)', numberInput(a.retries || 0)),
      el('label', { className: 'wide' }, 'Command string', el('input', { value: a.payload || '' })),
      el('div', { className: 'tools' },
        tool('Move Up', i === 0, () => swap(i - 1)),
        tool('Move Down', i === count - 1, () => swap(i + 1)),
        tool('Remove', false, () => editList(() => kelDraft.actions.splice(i, 1))),
        tool('Test Saved Action', false, () => testAction(i)))));
  });
}

// Reads every editor field back into the draft.
function collectDraft() {
  for (const [key] of CONDITIONS) kelDraft[key] = Number($('kelMode-' + key).value);
  for (const [key, id] of NUMBER_FIELDS) kelDraft[key] = Number($(id).value);
  kelDraft.audible = $('kelAudible').checked;
  kelDraft.outputRules = [...$('kelOutputRules').children].map((item) => {
    const [main, backup, mode] = item.querySelectorAll('select');
    return { mainId: main.value, backupId: backup.value, mode: Number(mode.value) };
  });
  kelDraft.actions = [...$('kelActionList').children].map((item) => {
    const [enabled, name, host, port, delay, timeout, retries, payload] = item.querySelectorAll('input');
    const [event, transport] = item.querySelectorAll('select');
    return {
      name: name.value, event: event.value, host: host.value, port: Number(port.value),
      transport: transport.value, payload: payload.value, delayMs: Number(delay.value),
      timeoutMs: Number(timeout.value), retries: Number(retries.value), enabled: enabled.checked,
    };
  });
}

// Applies a change to the draft's lists without losing edits in other fields.
function editList(change) {
  collectDraft();
  change();
  buildRules();
  buildActions();
}

function addRule() {
  editList(() => kelDraft.outputRules.push({ mainId: '', backupId: '', mode: 1 }));
}

function addAction() {
  editList(() => kelDraft.actions.push({
    name: 'Action ' + (kelDraft.actions.length + 1), event: 'backup', host: '', port: 0,
    transport: 'TCP', payload: '', delayMs: 0, timeoutMs: 1000, retries: 0, enabled: false,
  }));
}

function setProtectionMessage(text, kind) {
  $('kelProtectionMessage').textContent = text;
  $('kelProtectionMessage').className = 'status' + (kind ? ' ' + kind : '');
}

function actionsKey(actions) {
  return JSON.stringify((actions || []).map((a) => [a.name, a.event, a.host, a.port,
    a.transport === 'UDP' ? 'UDP' : 'TCP', a.payload, a.delayMs, a.timeoutMs, a.retries, !!a.enabled]));
}

async function testAction(index) {
  collectDraft();
  if (actionsKey(kelDraft.actions) !== actionsKey(policy().actions)) {
    setProtectionMessage('Save action edits before testing.', 'error');
    return;
  }
  try {
    await postAction('/api/protection/test', { index });
    setProtectionMessage('Saved action queued for delivery.', 'good');
  } catch (e) {
    setProtectionMessage(e.message, 'error');
  }
}

async function saveProtection() {
  enableAudio();
  collectDraft();
  const d = kelDraft;
  // Scalars first, then the lists: the admin API reads each key at its first
  // occurrence in the text.
  const body = {
    armed: !!(protection() && protection().armed), audible: d.audible, lossMs: d.lossMs,
    stallMs: d.stallMs, outputMs: d.outputMs, startupMs: d.startupMs,
  };
  for (const [key] of CONDITIONS) body[key] = d[key];
  body.outputRules = d.outputRules;
  body.actions = d.actions;
  try {
    await postAction('/api/protection', body);
    setProtectionMessage('Protection settings saved.', 'good');
  } catch (e) {
    setProtectionMessage(e.message, 'error');
  }
}

function openProtection() {
  if (!protection()) return;
  kelDraft = JSON.parse(JSON.stringify(policy()));
  kelDraft.outputRules = kelDraft.outputRules || [];
  kelDraft.actions = kelDraft.actions || [];
  const modes = $('kelModes');
  modes.replaceChildren();
  for (const [key, label] of CONDITIONS) {
    const select = modeSelect(conditionOptions(key), kelDraft[key] || 0);
    select.id = 'kelMode-' + key;
    modes.append(el('span', { textContent: label }), select);
  }
  for (const [key, id] of NUMBER_FIELDS) $(id).value = kelDraft[key];
  $('kelAudible').checked = !!kelDraft.audible;
  buildRules();
  buildActions();
  setProtectionMessage('', '');
  renderProtectionLive();
  $('kelProtectionBg').hidden = false;
}

function closeProtection() {
  kelDraft = null;
  $('kelProtectionBg').hidden = true;
}

const SUMMARY_TEXTS = {
  waiting: 'Waiting for health', lost: 'Communication lost', unsupported: 'Health endpoint unavailable',
  stopped: 'Engine stopped', unresponsive: 'Engine unresponsive', stalled: 'Frame progress stalled',
  telemetry: 'Engine responding; frame telemetry unavailable',
};

function formatTime(ms) {
  return new Date(ms).toLocaleString();
}

function renderProtectionLive() {
  const p = protection() || {};
  const lines = [];
  for (const [side, sys] of [['Main', mainSystem()], ['Backup', backupSystem()]]) {
    if (sys) lines.push(side + ': ' + (SUMMARY_TEXTS[healthFault(sys)] || 'Engine responding; frames advancing'));
  }
  if (p.heldOnBackup) lines.push('Held on Backup. Use Return to Main in the KEL header when Main is ready.');
  $('kelHealthSummary').replaceChildren(...lines.map((line) => el('div', { textContent: line })));

  $('kelLastAction').textContent = (p.actionsBusy ? 'Outbound sequence running. ' : '') +
    (p.lastAction || 'No external actions have run.');

  const alerts = [...(p.alerts || [])].sort((a, b) => b.started - a.started);
  if (!alerts.length) {
    $('kelAlertList').replaceChildren(el('p', { className: 'hint',
      textContent: 'No alerts in this KEL session. Fault/recovery history is also retained in the workstation log.' }));
    return;
  }
  $('kelAlertList').replaceChildren(...alerts.map((a) => {
    const status = !a.active ? 'RECOVERED' : a.acknowledged ? 'ACTIVE / ACKNOWLEDGED' : 'ACTIVE';
    const kind = !a.active ? ' recovered' : a.acknowledged ? ' acknowledged' : '';
    let when = formatTime(a.started);
    if (!a.active && a.recovered) when += ' - recovered ' + formatTime(a.recovered);
    return el('div', { className: 'alert' + kind },
      el('strong', { textContent: status }), ' ', el('span', { textContent: a.message }),
      el('div', { className: 'when', textContent: when }));
  }));
}

function buildProtection() {
  $('kelMainButton').onclick = () => operate('main');
  $('kelBackupButton').onclick = () => operate('backup');
  $('kelArmButton').onclick = () => operate(protection() && protection().armed ? 'disarm' : 'arm');
  $('kelAckButton').onclick = () => operate('acknowledge');
  $('kelProtectionButton').onclick = openProtection;
  $('kelProtectionClose').onclick = closeProtection;
  $('kelProtectionCancel').onclick = closeProtection;
  $('kelProtectionBg').onclick = (event) => { if (event.target === $('kelProtectionBg')) closeProtection(); };
  $('kelProtectionSave').onclick = saveProtection;
  $('kelAddOutputRule').onclick = addRule;
  $('kelAddAction').onclick = addAction;
  $('kelAudible').onchange = () => { if ($('kelAudible').checked) enableAudio(); };
}

document.addEventListener('DOMContentLoaded', buildProtection);

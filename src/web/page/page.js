'use strict';
// Operator page: status polling, header, server frame, standby card, setup
// dialog and the browser hand-off. Every text that comes from a server is
// inserted with textContent, never as markup.

const API = 'http://127.0.0.1:5251';
const POLL_MS = 500;
const STATUS_TIMEOUT_MS = 2000;
const HANDOFF_TIMEOUT_MS = 1500;
const COMMANDS = [
  [1, 'Velmark Load Deck'], [2, 'Velmark Play Column'], [3, 'Velmark Stop'],
  [4, 'Velmark Next'], [5, 'Velmark Previous'], [6, 'Load Timeline'],
  [7, 'Start Timeline'], [8, 'Pause Timeline'], [9, 'Stop Timeline'],
  [10, 'Timeline GOTO 60'], [11, 'Timeline GOTO 30'], [12, 'Timeline GOTO 10'],
  [13, 'Next Placemark'], [14, 'Previous Placemark'], [15, 'Mute Lumafield'],
  [16, 'Mute Track'], [17, 'Hide Track'], [24, 'Timeline Breakout'],
  [25, 'Play Background'], [26, 'Clear Background'], [27, 'Toggle Background Audio'],
  [28, 'Hide / Restore Screens'], [29, 'Clear All Layers'],
];

let state = null;             // last /api/status answer
let frameKey = '';            // serial|address|webPort|active of the server in the frame
let configureOnLaunch = false;
let configureOpened = false;
let connected = false;
let operationPending = false;
let handoffBusy = false;
let noticeTimer = 0;
let statusRequest = null;     // the one status read in flight
let statusFollowUp = null;    // a read queued behind it

const $ = (id) => document.getElementById(id);

// Builds an element; children are nodes or plain strings (inserted as text).
function el(tag, props, ...children) {
  const node = document.createElement(tag);
  Object.assign(node, props || {});
  for (const child of children) node.append(child);
  return node;
}

function setDot(id, kind) {
  $(id).className = 'dot' + (kind ? ' ' + kind : '');
}

// --- admin API ------------------------------------------------------------

async function apiPost(path, body) {
  const response = await fetch(API + path, {
    method: 'POST',
    headers: { 'Content-Type': 'text/plain' },
    body: body === undefined ? '' : JSON.stringify(body),
    cache: 'no-store',
  });
  let answer = {};
  try { answer = await response.json(); } catch (e) { answer = {}; }
  return { ok: response.ok, answer };
}

// The shared POST helper: fails unless the status and `ok` say success, and
// refreshes the status before returning.
async function postAction(path, body) {
  let result;
  try {
    result = await apiPost(path, body);
  } catch (e) {
    throw new Error('Request failed.');
  }
  if (!result.ok || result.answer.ok !== true) {
    throw new Error(result.answer.error || 'Request failed.');
  }
  await refresh();
  return result.answer;
}

async function readStatus() {
  const response = await fetch(API + '/api/status', {
    cache: 'no-store', signal: AbortSignal.timeout(STATUS_TIMEOUT_MS),
  });
  if (!response.ok) throw new Error('status ' + response.status);
  return response.json();
}

async function refreshOnce() {
  try {
    state = await readStatus();
    connected = true;
  } catch (e) {
    connected = false;
  }
  render();
  if (connected && configureOnLaunch && !configureOpened) {
    configureOpened = true;
    openSetup();
  }
}

// At most one status read is in flight; a refresh asked for meanwhile runs
// once after it, so an action always sees a status read after it finished.
function refresh() {
  if (!statusRequest) {
    statusRequest = refreshOnce().finally(() => { statusRequest = null; });
    return statusRequest;
  }
  if (!statusFollowUp) {
    statusFollowUp = statusRequest.then(() => { statusFollowUp = null; return refresh(); });
  }
  return statusFollowUp;
}

async function statusLoop() {
  const started = Date.now();
  await refresh();
  setTimeout(statusLoop, Math.max(0, POLL_MS - (Date.now() - started)));
}

// --- servers --------------------------------------------------------------

function systems() { return (state && state.systems) || []; }
function systemByRole(role) { return systems().find((s) => s.role === role) || null; }
function mainSystem() { return systemByRole('Main'); }
function backupSystem() { return systemByRole('Backup'); }
function activeSystem() {
  const serial = state && state.activeSerial;
  return serial ? systems().find((s) => s.serial === serial) || null : null;
}

function serverLabel(sys) {
  if (!sys) return 'Not configured';
  return sys.workstation || sys.serial || 'Tolvarine';
}

function serverDetail(sys) {
  if (!sys) return '';
  const readiness = sys.uiReady ? 'Ready' : sys.online ? 'Starting' : 'Offline';
  return sys.address ? sys.address + ':' + sys.webPort + ' - ' + readiness : readiness;
}

function validAddress(text) {
  const parts = /^(\d{1,3})\.(\d{1,3})\.(\d{1,3})\.(\d{1,3})$/.exec(String(text || ''));
  return !!parts && parts.slice(1).every((p) => Number(p) <= 255);
}

function validPort(value) {
  return Number.isInteger(value) && value >= 1 && value <= 65535;
}

// The server's own web interface, or '' when its address or port do not
// parse as such.
function frameAddress(sys, active) {
  if (!validAddress(sys.address) || !validPort(sys.webPort)) return '';
  return 'http://' + sys.address + ':' + sys.webPort + '/?operatorControl=1&operatorControlRole=' +
    encodeURIComponent(active || 'independent') + '&t=' + Date.now();
}

// The server shown in the frame, or null when the standby card is shown.
function displayedSystem() {
  const active = state && state.active;
  const sys = activeSystem();
  if (!sys || !['main', 'backup', 'independent'].includes(active)) return null;
  return frameAddress(sys, active) ? sys : null;
}

// --- rendering ------------------------------------------------------------

function render() {
  renderDecks();
  renderStandbyAndFrame();
  renderUiChip();
  if (typeof renderProtection === 'function') renderProtection();
}

function renderDecks() {
  const count = (state && state.streamDeckCount) || 0;
  $('deckStatus').textContent = String(count);
  $('deckBadge').title = count === 1
    ? '1 physical Stream Deck console is connected and owned by Tolvarine-Redundancy-Control.'
    : count + ' physical Stream Deck consoles are connected and owned by Tolvarine-Redundancy-Control.';
}

function standbyTexts() {
  const main = mainSystem();
  const backup = backupSystem();
  if (!state || !state.controllerConfigured) {
    return ['Tolvarine-Redundancy-Control is ready',
      'Discover the Tolvarine systems and choose a Main and Backup.'];
  }
  if (state.enabled && main && backup && !main.uiReady && !backup.uiReady) {
    return ['Waiting for Tolvarine',
      'The configured systems have been discovered, but neither web application has passed its identity check yet.'];
  }
  if (!state.enabled) {
    return ['Redundancy is disabled',
      'The saved system pairing is retained. Enable live Main / Backup operation when needed.'];
  }
  return ['Tolvarine-Redundancy-Control is ready',
    'Waiting for an Tolvarine system to become available.'];
}

function renderStandbyAndFrame() {
  const main = mainSystem();
  const backup = backupSystem();
  $('standbyMain').textContent = serverLabel(main);
  $('standbyMainAddr').textContent = serverDetail(main);
  $('standbyBackup').textContent = serverLabel(backup);
  $('standbyBackupAddr').textContent = serverDetail(backup);

  const frame = $('tolvarineUi');
  const sys = displayedSystem();
  if (sys) {
    $('standby').hidden = true;
    frame.hidden = false;
    const key = [sys.serial, sys.address, sys.webPort, state.active].join('|');
    if (key !== frameKey || !frame.getAttribute('src')) {
      frameKey = key;
      frame.src = frameAddress(sys, state.active);
    }
    return;
  }
  frameKey = '';
  frame.hidden = true;
  $('standby').hidden = false;
  const [title, text] = standbyTexts();
  $('standbyTitle').textContent = title;
  $('standbyText').textContent = text;
}

function renderUiChip() {
  const sys = displayedSystem();
  const chip = $('kelUiBadge');
  if (!sys) {
    $('kelUiStatus').textContent = 'No server UI';
    chip.className = 'chip stale';
    chip.title = 'No server UI is shown';
    return;
  }
  const active = state.active;
  const held = active === 'backup' && state.protection && state.protection.heldOnBackup;
  let text = active === 'main' ? 'MAIN' : active === 'backup' ? 'BACKUP' : 'SERVER';
  if (held) text += ' HELD';
  text += ' - ' + serverLabel(sys);
  if (!connected) text += ' - status offline';
  $('kelUiStatus').textContent = text;
  chip.title = text;
  chip.className = 'chip ' + (!connected || active === 'independent' ? 'stale' : active);
}

// --- header notice --------------------------------------------------------

// kind: '' (ordinary), 'good', 'warn' or 'error'. Errors stay until dismissed.
function showNotice(text, kind) {
  clearTimeout(noticeTimer);
  const box = $('kelHeaderNotice');
  $('kelHeaderNoticeText').textContent = text;
  box.className = 'notice' + (kind ? ' ' + kind : '');
  box.hidden = false;
  if (kind !== 'error') noticeTimer = setTimeout(hideNotice, 8000);
  const line = $('kelProtectionMessage');
  if (line) {
    line.textContent = text;
    line.className = 'status' + (kind ? ' ' + kind : '');
  }
}

function hideNotice() {
  clearTimeout(noticeTimer);
  $('kelHeaderNotice').hidden = true;
}

// --- setup dialog ---------------------------------------------------------

function systemOption(sys) {
  let text = serverLabel(sys) + ' - ' + (sys.online ? 'Online' : 'Offline');
  if (sys.address) text += ' (' + sys.address + ')';
  return el('option', { value: sys.serial, textContent: text });
}

function fillSystemList(select, exclude, selected) {
  select.replaceChildren(el('option', { value: '', textContent: 'Select system...' }));
  for (const sys of systems()) {
    if (sys.serial && sys.serial !== exclude) select.append(systemOption(sys));
  }
  select.value = [...select.options].some((o) => o.value === selected) ? selected : '';
}

function fillBackupList(selected) {
  fillSystemList($('backupSelect'), $('mainSelect').value, selected);
}

function setCommands(ids) {
  for (const box of $('commands').querySelectorAll('input')) box.checked = ids.has(Number(box.value));
}

function setSetupStatus(text, kind) {
  $('setupStatus').textContent = text;
  $('setupStatus').className = 'status' + (kind ? ' ' + kind : '');
}

async function openSetup() {
  if (!state) await refresh();
  const s = state || {};
  $('enabled').checked = !!s.enabled;
  $('uiPort').value = s.uiPort || 5270;
  const main = mainSystem();
  const backup = backupSystem();
  fillSystemList($('mainSelect'), '', main ? main.serial : '');
  fillBackupList(backup ? backup.serial : '');
  const shared = Array.isArray(s.sharedFunctionIds) ? s.sharedFunctionIds : COMMANDS.map((c) => c[0]);
  setCommands(new Set(shared));
  $('configPath').textContent = 'Workstation configuration: ' + (s.configPath || 'operator-control.json');
  setSetupStatus(s.policySyncMessage || '', '');
  $('setupBg').hidden = false;
}

function closeSetup() {
  $('setupBg').hidden = true;
}

function setupError() {
  const port = Number($('uiPort').value);
  const main = $('mainSelect').value;
  const backup = $('backupSelect').value;
  if (!(port >= 1024 && port <= 65535)) return 'Control UI port must be between 1024 and 65535.';
  if ($('enabled').checked && (!main || !backup)) return 'Choose both a Main and a Backup.';
  if (main && main === backup) return 'Main and Backup must be different systems.';
  return '';
}

async function saveSetup() {
  const error = setupError();
  if (error) {
    setSetupStatus(error, 'error');
    return;
  }
  setSetupStatus('Saving configuration...', '');
  const body = {
    enabled: $('enabled').checked,
    mainSerial: $('mainSelect').value,
    backupSerial: $('backupSelect').value,
    uiPort: Number($('uiPort').value),
    sharedFunctionIds: [...$('commands').querySelectorAll('input:checked')].map((b) => Number(b.value)),
  };
  let result;
  try {
    result = await apiPost('/api/configure', body);
  } catch (e) {
    result = { ok: false, answer: {} };
  }
  const answer = result.answer;
  if (!result.ok || answer.ok !== true) {
    setSetupStatus('Unable to save configuration: ' + (answer.error || 'Save failed'), 'error');
    return;
  }
  if (answer.uiPortChanged) {
    await followUiPort(answer.uiPort);
    return;
  }
  setSetupStatus(answer.message || 'Configuration saved.', answer.serverUpdated ? 'good' : 'warn');
  await refresh();
  setTimeout(closeSetup, answer.serverUpdated ? 700 : 1500);
}

// The program moves its UI server to the new port on its next loop; the page
// follows once the new port is live.
async function followUiPort(port) {
  setSetupStatus('Configuration saved. Switching Redundancy Control to port ' + port + '...', '');
  for (let attempt = 0; attempt < 30; attempt++) {
    await new Promise((resolve) => setTimeout(resolve, 200));
    let status;
    try { status = await readStatus(); } catch (e) { continue; }
    if (status.runtimeUiPort === port) {
      location.replace('http://127.0.0.1:' + port + '/');
      return;
    }
    if (status.uiPort !== port) break;
  }
  setSetupStatus('Port saved, but the browser could not reconnect automatically. ' +
    'Reopen Redundancy Control from the tray/menu-bar icon.', 'warn');
}

async function rediscover() {
  setSetupStatus('Discovering systems...', '');
  try { await apiPost('/api/discover'); } catch (e) { /* the refresh shows what is known */ }
  setTimeout(async () => {
    await refresh();
    fillSystemList($('mainSelect'), '', $('mainSelect').value);
    fillBackupList($('backupSelect').value);
    setSetupStatus('', '');
  }, 250);
}

function buildSetup() {
  for (const [id, label] of COMMANDS) {
    $('commands').append(el('label', { className: 'check' },
      el('input', { type: 'checkbox', value: String(id) }), ' ' + label));
  }
  const all = new Set(COMMANDS.map((c) => c[0]));
  $('commandsRecommended').onclick = () => setCommands(all);
  $('commandsAll').onclick = () => setCommands(all);
  $('commandsNone').onclick = () => setCommands(new Set());
  $('mainSelect').onchange = () => fillBackupList($('backupSelect').value);
  $('rediscover').onclick = rediscover;
  $('setupSave').onclick = saveSetup;
  $('setupClose').onclick = closeSetup;
  $('setupCancel').onclick = closeSetup;
  $('setupBg').onclick = (event) => { if (event.target === $('setupBg')) closeSetup(); };
  $('setupButton').onclick = openSetup;
  $('standbyConfigure').onclick = openSetup;
}

// --- browser hand-off -----------------------------------------------------

// Another start of the program asks an open tab to show itself instead of
// opening a new one; errors are ignored so the tab reconnects after a restart.
async function handoffPoll() {
  if (handoffBusy) return;
  handoffBusy = true;
  try {
    const poll = await fetch('/kel/browser/poll', {
      cache: 'no-store', signal: AbortSignal.timeout(HANDOFF_TIMEOUT_MS),
    }).then((r) => r.json());
    if (poll.request) {
      const ack = await fetch('/kel/browser/ack?request=' + encodeURIComponent(poll.request), {
        method: 'POST', cache: 'no-store', signal: AbortSignal.timeout(HANDOFF_TIMEOUT_MS),
      }).then((r) => r.json());
      if (ack.ok === true) {
        window.focus();
        const url = new URL(location.href);
        if (ack.configure) url.searchParams.set('configure', '1');
        else url.searchParams.delete('configure');
        location.replace(url.toString());
      }
    }
  } catch (e) {
    // the UI server is away; the next poll tries again
  } finally {
    handoffBusy = false;
  }
}

// --- start ----------------------------------------------------------------

function toggleFullscreen() {
  if (document.fullscreenElement) document.exitFullscreen().catch(() => {});
  else document.documentElement.requestFullscreen().catch(() => {});
}

function start() {
  configureOnLaunch = new URLSearchParams(location.search).get('configure') === '1';
  buildSetup();
  $('kelHeaderNoticeClose').onclick = hideNotice;
  $('shellFullscreenButton').onclick = toggleFullscreen;
  statusLoop();
  handoffPoll();
  setInterval(handoffPoll, POLL_MS);
  document.addEventListener('visibilitychange', () => {
    if (document.visibilityState === 'visible') handoffPoll();
  });
}

document.addEventListener('DOMContentLoaded', start);

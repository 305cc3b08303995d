// Operator page scenarios in headless Chromium against the built program and
// two simulated show servers, inside the private test network.
//   node page_test.mjs <scenario> <build dir>
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { mkdirSync, mkdtempSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { chromium } from 'playwright-core';

const [scenario, buildDir] = process.argv.slice(2);
const API = 'http://127.0.0.1:5251';
const HOSTILE = '<img src=x onerror=window.pwned=1>';
const MAIN = { address: '10.77.0.2', serial: 'S-MAIN', name: 'Server A' };
const BACKUP = { address: '10.77.0.3', serial: 'S-BACKUP', name: HOSTILE };
const shots = `${buildDir}/page-screenshots`;
const home = mkdtempSync(`${tmpdir()}/trc-page-`);
const children = new Set();
let agent = null;

function launch(program, args) {
  const child = spawn(program, args, { env: { ...process.env, HOME: home }, stdio: ['ignore', 'ignore', 'inherit'] });
  children.add(child);  // killed at the end
  return child;
}

async function until(check, what, ms = 15000) {
  const deadline = Date.now() + ms;
  for (;;) {
    const value = await Promise.resolve().then(check).catch(() => undefined);
    if (value) return value;
    if (Date.now() > deadline) throw new Error('timed out waiting for ' + what);
    await new Promise((resolve) => setTimeout(resolve, 100));
  }
}

const status = () => fetch(API + '/api/status').then((r) => r.json());
const post = (path, body) => fetch(API + path, { method: 'POST', body: JSON.stringify(body ?? {}) }).then((r) => r.json());
const sim = (server, query) => fetch(`http://${server.address}:5001/sim/set?${query}`);

async function startAgent() {
  agent = launch(`${buildDir}/tolvarine-redundancy-control`,
    ['--console', '--background', '--config', `${home}/operator-control.json`]);
  await until(() => status(), 'the admin API');
}

async function pairServers() {
  await post('/api/discover');
  assert.equal((await post('/api/configure', { enabled: true, mainSerial: MAIN.serial, backupSerial: BACKUP.serial })).ok, true);
}

// Waits until an element's text equals `expected` (or matches a RegExp).
async function text(page, id, expected, ms = 15000) {
  try {
    await page.waitForFunction(([id, source, flags]) => {
      const t = document.getElementById(id).textContent.trim();
      return flags === null ? t === source : new RegExp(source, flags).test(t);
    }, [id, expected.source ?? expected, expected.flags ?? null], { timeout: ms });
  } catch (e) {
    const actual = await page.evaluate((id) => document.getElementById(id).textContent.trim(), id);
    throw new Error(`#${id}: wanted ${expected}, found "${actual}"`);
  }
}

// Waits for each element's text in turn: { id: expected, ... }.
const texts = async (page, expected) => { for (const [id, t] of Object.entries(expected)) await text(page, id, t); };
const disabled = (page, id) => page.evaluate((id) => document.getElementById(id).disabled, id);
const shot = (page, name) => page.screenshot({ path: `${shots}/${name}.png` });

const scenarios = {
  // Standby texts, the frame of the active server and a failover to the Backup.
  async standby_and_failover(page) {
    // The simulators start silent and without a web application.
    await texts(page, { standbyTitle: 'Tolvarine-Redundancy-Control is ready',
      standbyText: 'Discover the Tolvarine systems and choose a Main and Backup.', kelUiStatus: 'No server UI' });
    await shot(page, 'standby');
    for (const server of [MAIN, BACKUP]) await sim(server, 'discovery=on&http=refuse');
    await post('/api/discover');
    await post('/api/configure', { enabled: false, mainSerial: MAIN.serial, backupSerial: BACKUP.serial });
    await texts(page, { standbyTitle: 'Redundancy is disabled', syncStatus: 'Disabled', standbyBackup: HOSTILE });
    await pairServers();
    await text(page, 'standbyTitle', 'Waiting for Tolvarine');
    for (const server of [MAIN, BACKUP]) await sim(server, 'http=normal');

    await text(page, 'kelUiStatus', 'MAIN - Server A');
    const frame = () => page.getAttribute('#tolvarineUi', 'src');
    const first = await frame();
    assert.match(first, /^http:\/\/10\.77\.0\.2:5000\/\?operatorControl=1&operatorControlRole=main&t=\d+$/);
    assert.equal(await page.isVisible('#standby'), false);
    await texts(page, { mainStatus: 'M: READY', backupStatus: 'B: READY', syncStatus: 'In sync - R7' });
    assert.equal(await disabled(page, 'kelMainButton'), true);
    await page.waitForTimeout(1500);
    assert.equal(await frame(), first, 'the refresh must not reload the frame');
    await shot(page, 'main-active');

    await sim(MAIN, 'engine=stopped');
    await text(page, 'kelUiStatus', `BACKUP HELD - ${HOSTILE}`, 30000);
    assert.match(await frame(), /^http:\/\/10\.77\.0\.3:5000\/\?operatorControl=1&operatorControlRole=backup&/);
    await text(page, 'mainStatus', 'M: ENGINE STOPPED');
    assert.equal(await disabled(page, 'kelBackupButton'), true);
    assert.equal(await page.getAttribute('#kelBackupButton', 'class'), 'amber');
    assert.equal(await page.evaluate(() => window.pwned), undefined);
    assert.equal(await page.locator('img').count(), 0);
    await shot(page, 'backup-held');
  },

  // Header operations and alerts; the admin API hanging and coming back.
  async header_operations(page) {
    await pairServers();
    await text(page, 'backupStatus', 'B: READY');
    await until(() => disabled(page, 'kelBackupButton').then((d) => !d), 'Take Backup enabled');
    assert.match(await page.getAttribute('#kelBackupButton', 'class'), /next/);
    await page.click('#kelBackupButton');
    // The transfer's notice alert does not count.
    await texts(page, { kelHeaderNoticeText: 'Take Backup: accepted.', kelUiStatus: `BACKUP HELD - ${HOSTILE}`,
      kelAlertCount: '0' });
    assert.equal(await disabled(page, 'kelAckButton'), true);
    await page.click('#kelMainButton');
    await texts(page, { kelHeaderNoticeText: 'Return to Main: accepted.', kelUiStatus: 'MAIN - Server A' });
    await page.click('#kelArmButton');
    await texts(page, { kelHeaderNoticeText: 'Disarm automatic failover: accepted.', kelArmButton: 'Failover Disarmed' });

    await sim(BACKUP, 'clock=fault');
    await text(page, 'kelAlertCount', '1', 20000);
    assert.equal(await page.getAttribute('#kelAckButton', 'class'), 'amber');
    await page.click('#kelAckButton');
    await text(page, 'kelHeaderNoticeText', 'Current alerts acknowledged. Unresolved faults remain active.');
    await until(() => disabled(page, 'kelAckButton'), 'acknowledge disabled');
    await text(page, 'kelAlertCount', '1');

    // A stopped admin API: status reads time out one at a time.
    let inFlight = 0, most = 0;
    const counted = (r) => r.url().endsWith('/api/status');
    page.on('request', (r) => { if (counted(r)) most = Math.max(most, ++inFlight); });
    for (const event of ['requestfinished', 'requestfailed']) page.on(event, (r) => { if (counted(r)) inFlight--; });
    agent.kill('SIGSTOP');
    await text(page, 'syncStatus', 'Status offline', 8000);
    await texts(page, { mainStatus: 'M: STATUS OFFLINE', kelUiStatus: 'MAIN - Server A - status offline' });
    for (const id of ['kelMainButton', 'kelBackupButton', 'kelArmButton', 'kelAckButton', 'kelProtectionButton']) {
      assert.equal(await disabled(page, id), true, id);
    }
    await page.waitForTimeout(3000);
    agent.kill('SIGCONT');
    await text(page, 'mainStatus', 'M: READY');
    assert.equal(most, 1, 'status reads must not overlap');
    assert.equal(await disabled(page, 'kelProtectionButton'), false);
  },

  // The setup dialog from ?configure=1, validation, saving and the port move.
  async setup_dialog(page) {
    await until(() => page.isVisible('#setupBg'), 'the setup dialog on launch');
    await text(page, 'configPath', `Workstation configuration: ${home}/operator-control.json`);
    await page.fill('#uiPort', '80');
    await page.click('#setupSave');
    await text(page, 'setupStatus', 'Control UI port must be between 1024 and 65535.');
    await page.fill('#uiPort', '5270');
    await page.check('#enabled');
    await page.click('#setupSave');
    await text(page, 'setupStatus', 'Choose both a Main and a Backup.');
    await page.click('#rediscover');
    await until(() => page.locator('#mainSelect option').count().then((n) => n === 3), 'two systems listed');
    await page.selectOption('#mainSelect', MAIN.serial);
    assert.deepEqual(await page.locator('#backupSelect option').allTextContents(),
      ['Select system...', `${HOSTILE} - Online (10.77.0.3)`]);
    await page.selectOption('#backupSelect', BACKUP.serial);
    await text(page, 'setupStatus', '');
    await page.click('#commandsNone');
    await page.check('#commands input[value="7"]');
    await shot(page, 'setup-dialog');
    await page.click('#setupSave');
    await until(() => page.isHidden('#setupBg'), 'the dialog to close after saving');
    const saved = await status();
    assert.deepEqual([saved.enabled, saved.sharedFunctionIds], [true, [7]]);
    await page.waitForTimeout(1200);
    assert.equal(await page.isHidden('#setupBg'), true, 'configure=1 opens the dialog once');

    // A hand-off without configure mode drops the parameter.
    const reuse = await fetch('http://127.0.0.1:5270/kel/browser/reuse', { method: 'POST' }).then((r) => r.json());
    assert.deepEqual(reuse, { reused: true, open: false });
    await until(() => page.url() === 'http://127.0.0.1:5270/', 'the page address without configure');

    await page.click('#setupButton');
    await page.fill('#uiPort', '5280');
    await page.click('#setupSave');
    await until(() => page.url() === 'http://127.0.0.1:5280/', 'the page on the new port');
    await text(page, 'kelUiStatus', 'MAIN - Server A');
  },

  // Protection settings edited, saved and read back.
  async protection_dialog(page) {
    await pairServers();
    await text(page, 'backupStatus', 'B: READY');
    await page.click('#kelProtectionButton');
    assert.deepEqual(await page.locator('#kelMode-resources option').allTextContents(), ['Ignore', 'Alert only']);
    assert.equal(await page.locator('#kelMode-sync option').nth(2).textContent(), 'Require for Backup takeover');
    await page.selectOption('#kelMode-clock', '2');
    await page.fill('#kelStallMs', '2500');
    await page.click('#kelAddOutputRule');
    await page.click('#kelAddOutputRule');
    await page.selectOption('#kelOutputRules .item:nth-child(1) select >> nth=0', 'out-2');
    await page.selectOption('#kelOutputRules .item:nth-child(1) select >> nth=1', 'out-1');
    await page.click('#kelOutputRules .item:nth-child(2) button');
    for (let i = 0; i < 3; i++) await page.click('#kelAddAction');
    const action = (n) => `#kelActionList .item:nth-child(${n})`;
    // Inputs of the third action: 1 name, 2 host, 3 port, 7 payload; 0 enabled.
    for (const [n, value] of [[1, 'Lights'], [2, MAIN.address], [3, '1256'], [7, 'GO\\r\\n']]) {
      await page.fill(`${action(3)} input >> nth=${n}`, value);
    }
    await page.check(`${action(3)} input >> nth=0`);
    await page.selectOption(`${action(3)} select >> nth=1`, 'UDP');
    await page.click(`${action(3)} button:text("Move Up")`);
    await page.click(`${action(1)} button:text("Remove")`);
    assert.equal(await page.locator(`${action(2)} button:text("Move Down")`).isDisabled(), true);
    await page.click(`${action(1)} button:text("Test Saved Action")`);
    await text(page, 'kelProtectionMessage', 'Save action edits before testing.');
    await page.$eval('#kelProtectionBg', (bg) => { bg.scrollTop = 0; });
    await shot(page, 'protection-dialog');
    await page.click('#kelProtectionSave');
    await text(page, 'kelProtectionMessage', 'Protection settings saved.');

    const policy = (await status()).protection.policy;
    assert.equal(policy.clock, 2);
    assert.equal(policy.stallMs, 2500);
    assert.deepEqual(policy.outputRules, [{ mainId: 'out-2', backupId: 'out-1', mode: 1 }]);
    assert.deepEqual(policy.actions.map((a) => [a.name, a.payload]), [['Lights', 'GO\\r\\n'], ['Action 2', '']]);
    await page.click('#kelProtectionClose');
    await page.click('#kelProtectionButton');
    assert.equal(await page.inputValue('#kelStallMs'), '2500');
    assert.equal(await page.inputValue(`${action(1)} input >> nth=1`), 'Lights');
    await page.click(`${action(1)} button:text("Test Saved Action")`);
    await text(page, 'kelProtectionMessage', 'Saved action queued for delivery.');
    await until(() => fetch(`http://${MAIN.address}:5000/sim/udp`).then((r) => r.text())
      .then((t) => t.includes('GO\\r\\n')), 'the tested command at the server');
  },
};

async function main() {
  if (process.env.TRC_TEST_NETNS !== '1') throw new Error('run inside scripts/netns.sh');
  mkdirSync(shots, { recursive: true });
  for (const s of [MAIN, BACKUP]) {
    launch(`${buildDir}/show-server-sim`,
      ['--address', s.address, '--serial', s.serial, '--workstation', s.name, '--control-port', '5001',
        ...(scenario === 'standby_and_failover' ? ['--set', 'discovery=off'] : [])]);
    await until(() => fetch(`http://${s.address}:5001/sim/state`).then((r) => r.ok), `simulator ${s.address}`);
  }
  await startAgent();
  const context = await chromium.launchPersistentContext(`${home}/browser`, {
    executablePath: '/usr/bin/chromium', headless: true, viewport: { width: 1600, height: 900 },
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
      '--disable-component-update', '--disable-sync'],
  });
  try {
    const page = context.pages()[0] || await context.newPage();
    const errors = [];
    page.on('pageerror', (e) => errors.push(e.message));
    await page.goto('http://127.0.0.1:5270/' + (scenario === 'setup_dialog' ? '?configure=1' : ''));
    await scenarios[scenario](page);
    assert.deepEqual(errors, [], 'script errors in the page');
  } finally {
    await context.close();
  }
}

main().then(() => console.log(`PASS ${scenario}`), (e) => {
  console.error(`FAIL ${scenario}: ${e.stack || e}`);
  process.exitCode = 1;
}).finally(() => {
  for (const child of children) child.kill('SIGKILL');
  rmSync(home, { recursive: true, force: true });
});

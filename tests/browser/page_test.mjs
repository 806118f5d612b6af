// Drives the commissioning page in Debian's headless chromium as a person
// would: reads the device table, configures a device through the dialog,
// tries a wrong password on a phone, all while a page of another origin in
// the same browser floods the API with no-cors requests. Run by the lab test
// inside the configurator's namespace, with the URL that orvanectl serve
// printed (its token in the fragment):
//   node page_test.mjs URL EXPECTED_JSON [SCREENSHOT.png]
// EXPECTED_JSON: {"devices": [{"puid", "host_name", "address", "mode"}...],
//                 "configure": {"puid", "mac", "host_name", "address", "user", "password"},
//                 "refused": {"puid", "password", "error"}}
// Prints one line per failed check; exit status 0 when all passed.
import { once } from 'node:events';
import fs from 'node:fs';
import http from 'node:http';
import os from 'node:os';
import path from 'node:path';
import puppeteer from 'puppeteer-core';

const [url, expectedText, screenshot] = process.argv.slice(2);
const expected = JSON.parse(expectedText);
const other = http.createServer((req, res) => res.end('<!doctype html><title>another site</title>'));
let failures = 0;
const check = (ok, what) => { if (!ok) { failures++; console.log(`FAILED: ${what}`); } };

const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'orv-page-'));
const browser = await puppeteer.launch({
  executablePath: '/usr/bin/chromium',
  userDataDir: profile,
  args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
         '--disable-background-networking', '--disable-component-update', '--disable-sync'],
});
try {
  // Opened without its token (as localhost), the page says where to get one.
  const origin = new URL(url);
  const stranger = await browser.newPage();
  await stranger.goto(`${origin.protocol}//localhost:${origin.port}/`);
  const told = await stranger.waitForFunction(() => document.querySelector('#status').textContent.includes('orvanectl serve'),
    { timeout: 5000 }).then(() => true, () => false);
  check(told, `without the token the page says what to do: "${await stranger.$eval('#status', (e) => e.textContent)}"`);
  // A site of another origin fires no-cors requests at the API until the
  // scenario ends.
  other.listen(0, '127.0.0.1');
  await once(other, 'listening');
  await stranger.goto(`http://127.0.0.1:${other.address().port}/`);
  await stranger.evaluate((api) => {
    window.flooded = 0;
    const shot = (path, options) => fetch(api + path, { mode: 'no-cors', ...options }).catch(() => {});
    for (let lane = 0; lane < 4; lane++) {
      (async () => {
        while (!window.stopFlood && window.flooded < 100000) {
          await shot('/api/devices');
          await shot('/api/discover', { method: 'POST', body: '{}' });
          window.flooded += 2;
        }
      })();
    }
  }, origin.origin);

  const page = await browser.newPage();
  await page.setViewport({ width: 1280, height: 800 });
  page.on('pageerror', (e) => check(false, `script error: ${e.message}`));
  // Nothing the browser asks for by itself (such as a favicon) may be missing.
  const broken = [];
  page.on('response', (r) => { if (r.status() >= 400) broken.push(`${r.status()} ${r.url()}`); });
  page.on('console', (m) => { if (m.type() === 'error') broken.push(m.text()); });
  await page.goto(url);
  check(await page.waitForFunction(() => location.hash === '', { timeout: 5000 }).then(() => true, () => false),
        `the token leaves the address bar: ${page.url()}`);
  const row = (puid) => `tr[data-puid="${puid}"]`;
  const cell = (puid, cls) => page.$eval(`${row(puid)} .${cls}`, (e) => e.textContent).catch(() => '');
  const waitCell = (puid, cls, text, ms) => page.waitForFunction(
    (sel, t) => document.querySelector(sel)?.textContent.includes(t), { timeout: ms }, `${row(puid)} .${cls}`, text)
    .then(() => true, () => false);
  const badge = (puid) => page.$eval(`${row(puid)} .badge`, (e) => getComputedStyle(e).backgroundColor);

  // The page discovers by itself: every device with its fields.
  for (const device of expected.devices) {
    check(await waitCell(device.puid, 'host_name', device.host_name, 15000), `${device.puid} listed as ${device.host_name}`);
    check(await cell(device.puid, 'mode') === device.mode, `${device.puid} mode ${device.mode}`);
    // Why a device cannot be configured is read, not hovered over.
    const action = await cell(device.puid, 'action');
    if (device.mode === 'sleep') check(action.includes('cannot be configured'), `${device.puid} says why: "${action}"`);
    else check(action === 'Configure', `${device.puid} offers Configure: "${action}"`);
    // The badge tells what the mode allows: a refusing mode looks unlike normal, rescue like it.
    const [normal, own] = [await badge(expected.devices[0].puid), await badge(device.puid)];
    check((own === normal) === (device.mode !== 'sleep'), `${device.puid} ${device.mode} badge ${own} beside normal's ${normal}`);
    check(await cell(device.puid, 'product') === 'Sensor Hub (SH-200)', `${device.puid} product`);
    check((await cell(device.puid, 'versions')).includes('software 1.4.2'), `${device.puid} versions`);
    check((await cell(device.puid, 'interface')).startsWith('lab0 from'), `${device.puid} heard on lab0`);
    const lines = await page.$$eval(`${row(device.puid)} .iface-line`, (items) => items.map((e) => e.textContent));
    check(lines.length === 2 && lines[0].includes(`link up · static ${device.address}/255.255.255.0`) &&
          lines[0].includes('gateway 192.0.2.1 · DNS 192.0.2.53') && lines[1].includes('link down · dhcp'),
          `${device.puid} interfaces: ${JSON.stringify(lines)}`);
  }
  if (screenshot) await page.screenshot({ path: screenshot });

  // Configure device 1's host name and address through the dialog.
  const fill = async (selector, text) => {
    await page.$eval(selector, (e) => { e.value = ''; });
    await page.type(selector, text);
  };
  const configure = async (order) => {
    await page.click(`${row(order.puid)} button.configure`);
    await page.waitForSelector('#configure[open]');
    if (order.host_name) await fill('#conf-host', order.host_name);
    if (order.mac) {
      const fields = `#conf-interfaces fieldset[data-mac="${order.mac}"]`;
      await page.select(`${fields} .method`, 'static');
      await fill(`${fields} .address`, order.address);
    }
    await fill('#conf-user', order.user || expected.configure.user);
    await fill('#conf-password', order.password);
    await page.click('#conf-send');
    check(await page.waitForFunction(() => !document.querySelector('#conf-wait').hidden, { timeout: 5000 })
      .then(() => true, () => false), 'the wait is shown while the device confirms');
    await page.waitForFunction(() => document.querySelector('#conf-result').textContent !== '', { timeout: 60000 });
    const result = await page.$eval('#conf-result', (e) => e.textContent);
    const { width, height } = page.viewport();
    check(await page.$$eval('#configure .buttons button', (buttons) => buttons.every((b) => {
      const r = b.getBoundingClientRect();
      return r.top >= 0 && r.left >= 0 && r.bottom <= innerHeight && r.right <= innerWidth &&
        document.elementFromPoint(r.left + r.width / 2, r.top + r.height / 2) === b;
    })), `the dialog's buttons in sight at ${width}x${height} with "${result}"`);
    await page.click('#conf-close');
    return result;
  };
  // An address typed while the method is not static: the request could not
  // carry it, so the page refuses before sending, and says why.
  const c = expected.configure;
  let configures = 0;
  page.on('request', (r) => { if (r.method() === 'POST' && r.url().endsWith('/api/configure')) configures++; });
  await page.click(`${row(c.puid)} button.configure`);
  await page.waitForSelector('#configure[open]');
  const fields = `#conf-interfaces fieldset[data-mac="${c.mac}"]`;
  const addressShown = () => page.$eval(`${fields} .address`, (e) => e.checkVisibility());
  check(!await addressShown(), 'no address field while the method is unchanged');
  await page.select(`${fields} .method`, 'static');
  check(await addressShown(), 'the address field with the static method');
  await page.type(`${fields} .address`, c.address);
  await page.select(`${fields} .method`, '');
  await fill('#conf-host', 'address-lost');
  await fill('#conf-user', c.user);
  await fill('#conf-password', c.password);
  await page.click('#conf-send');
  await page.waitForFunction(() => document.querySelector('#conf-problem').textContent !== '', { timeout: 5000 })
    .catch(() => {});
  await new Promise((r) => setTimeout(r, 300));
  const problem = await page.$eval('#conf-problem', (e) => e.textContent);
  check(configures === 0, 'no request that drops the typed address');
  check(problem.includes(c.address) && problem.includes('static'), `the page says why: "${problem}"`);
  check(!(await page.$eval('#conf-result', (e) => e.textContent)).startsWith('OK'), 'no OK for a dropped address');
  check(await addressShown(), 'the address that stops the request stays in sight');
  await page.click('#conf-close');

  const ok = await configure(c);
  check(ok.startsWith('OK'), `configure answered "${ok}"`);
  check(await waitCell(c.puid, 'host_name', c.host_name, 15000), 'the table shows the new host name');
  check((await cell(c.puid, 'interfaces-cell')).includes(`static ${c.address.split('/')[0]}/255.255.255.0`),
        'the table shows the new address');

  // A wrong password, on a phone: the device's ERROR text, in plain words.
  await page.setViewport({ width: 390, height: 844 });
  const r = expected.refused;
  const refused = await configure({ puid: r.puid, host_name: 'intruder', password: r.password });
  check(refused === `The device refused: ${r.error}`, `wrong password answered "${refused}"`);
  check(broken.length === 0, `requests or console errors: ${JSON.stringify(broken)}`);
  const flooded = await stranger.evaluate(() => { window.stopFlood = true; return window.flooded; });
  check(flooded >= 100, `the other origin flooded the API meanwhile (${flooded} requests)`);
} catch (e) {
  check(false, `scenario broke off: ${e.message}`);
} finally {
  await browser.close();
  other.close();
  fs.rmSync(profile, { recursive: true, force: true });
}
console.log(failures === 0 ? 'page scenario passed' : `${failures} check(s) failed`);
process.exit(failures === 0 ? 0 : 1);

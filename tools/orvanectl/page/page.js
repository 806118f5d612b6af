// The commissioning page: the device table, the Configure dialog and the
// Watch view over orvanectl serve's JSON API. Texts from devices are only
// ever set as textContent, never as markup.
'use strict';

const state = { token: '', timeout: 45, devices: [], auto: null, watching: false, watchAfter: 0, device: null };
const $ = (id) => document.getElementById(id);

function el(tag, attrs, ...children) {
  const node = document.createElement(tag);
  for (const [key, value] of Object.entries(attrs || {})) {
    if (key === 'class') node.className = value;
    else node.setAttribute(key, value);
  }
  for (const child of children) node.append(child === null || child === undefined ? '-' : child);
  return node;
}

const shown = (value) => (value === null || value === undefined || value === '' ? '-' : String(value));

// The token comes in the address orvanectl serve printed (#token=...), and
// leaves the address bar at once; the tab keeps it for a reload.
function takeToken() {
  const given = new URLSearchParams(location.hash.slice(1)).get('token');
  if (given) {
    sessionStorage.setItem('orvane-token', given);
    history.replaceState(null, '', location.pathname + location.search);
  }
  return sessionStorage.getItem('orvane-token') || '';
}

function needToken() {
  sessionStorage.removeItem('orvane-token');
  $('discover').disabled = true;
  $('show-watch').disabled = true;
  $('status').textContent = 'This page needs its key: open the address that orvanectl serve printed ' +
    '(http://…/#token=…) in this browser.';
}

async function api(path, body) {
  const options = { headers: { 'X-Orvane-Token': state.token } };
  if (body !== undefined) {
    options.method = 'POST';
    options.headers['Content-Type'] = 'application/json';
    options.body = JSON.stringify(body);
  }
  const res = await fetch(path, options);
  let data = null;
  try { data = await res.json(); } catch (e) { data = { error: 'the server sent no JSON' }; }
  return { status: res.status, data };
}

// The same rules as orvanectl configure's arguments; the server checks again.
const rules = {
  ipv4: /^((25[0-5]|2[0-4]\d|1\d\d|[1-9]?\d)\.){3}(25[0-5]|2[0-4]\d|1\d\d|[1-9]?\d)$/,
  hostName(text) {
    if (text.length < 1 || text.length > 63) return false;
    return text.split('.').every((label) => /^[A-Za-z0-9]([A-Za-z0-9-]*[A-Za-z0-9])?$/.test(label));
  },
  user: (text) => text.length >= 1 && text.length <= 255 && /^[\x20-\x7e]+$/.test(text),
  prefixed(text) {
    const [address, prefix, more] = text.split('/');
    return more === undefined && prefix !== undefined && rules.ipv4.test(address) && /^\d{1,2}$/.test(prefix) &&
      Number(prefix) >= 1 && Number(prefix) <= 32;
  },
};

function checkOrder(order, password) {
  if (order.host_name && !rules.hostName(order.host_name))
    return 'host name: at most 63 letters, digits, \'-\' and \'.\' (labels neither empty nor starting or ending with \'-\')';
  for (const entry of order.interfaces) {
    if (entry.method !== 'static' && entry.address)
      return `${entry.mac}: the address ${entry.address} goes with the static method only: choose static, or empty the address`;
    if (entry.method === 'static' && !rules.prefixed(entry.address))
      return `${entry.mac}: the address wants ADDRESS/PREFIX like 192.0.2.10/24 (prefix 1 to 32)`;
    for (const key of ['gateway', 'dns', 'wins'])
      if (entry[key] && !rules.ipv4.test(entry[key]))
        return `${entry.mac}: ${key === 'gateway' ? 'gateway' : key.toUpperCase()} wants an IPv4 address like 192.0.2.1`;
  }
  if (!order.host_name && order.interfaces.length === 0)
    return 'nothing to configure: give a host name and/or interface settings';
  if (!rules.user(order.user)) return 'user: 1 to 255 printable characters';
  if (password.length < 1 || password.length > 1024 || password.includes('\n')) return 'password: one line, 1 to 1024 characters';
  return '';
}

// ---- the device table ----

function interfaceItem(conf) {
  const address = conf.address ? `${conf.address}${conf.netmask ? '/' + conf.netmask : ''}` : '-';
  return el('li', { class: 'iface-line', 'data-mac': shown(conf.mac) },
    el('b', { class: 'name' }, shown(conf.name)), ' ', el('span', { class: 'mono' }, shown(conf.mac)), el('br'),
    'link ', el('span', { class: 'link' }, shown(conf.link)), ' · ', el('span', { class: 'method' }, shown(conf.ipv4_method)),
    ' ', el('span', { class: 'address mono' }, address), el('br'),
    'gateway ', el('span', { class: 'gateway mono' }, shown(conf.gateway)), ' · DNS ', el('span', { class: 'dns mono' }, shown(conf.dns)));
}

function configurable(device) {
  return device.mode !== 'sleep' && device.mode !== 'not-configurable';
}

function deviceRow(device) {
  const mode = shown(device.mode);
  const can = configurable(device);
  // The reason is text, not a tooltip: keyboards and touch screens never show a disabled button's title.
  let action = el('span', { class: 'reason' }, `cannot be configured in ${mode} mode`);
  if (can) {
    action = el('button', { type: 'button', class: 'configure' }, 'Configure');
    action.addEventListener('click', () => openDialog(device));
  }
  const product = [device.product_name, device.product_id ? `(${device.product_id})` : null].filter(Boolean).join(' ');
  const hardware = [device.hardware_id, device.hardware_revision ? `rev ${device.hardware_revision}` : null].filter(Boolean).join(' ');
  return el('tr', { 'data-puid': shown(device.puid) },
    el('td', { class: 'puid', 'data-label': 'PUID' }, shown(device.puid)),
    el('td', { class: 'mode', 'data-label': 'Mode' }, el('span', { class: can ? 'badge' : 'badge refuses' }, mode)),
    el('td', { class: 'host_name', 'data-label': 'Host name' }, shown(device.host_name)),
    el('td', { class: 'product', 'data-label': 'Product' }, shown(product)),
    el('td', { class: 'versions', 'data-label': 'Versions' }, `hardware ${shown(hardware)}`, el('br'),
      `software ${shown(device.software_version)}`),
    el('td', { class: 'interface', 'data-label': 'Heard on' }, `${shown(device.interface)} from ${shown(device.address)}`,
      ...(device.claimed_by && device.claimed_by.length
        ? [el('br'), el('strong', { class: 'conflict' }, `Conflict: ${device.claimed_by.length} hosts answer as this PUID: ${device.claimed_by.join(', ')}`)]
        : [])),
    el('td', { class: 'interfaces-cell' }, el('ul', { class: 'interfaces' }, ...(device.interfaces || []).map(interfaceItem))),
    el('td', { class: 'action' }, action));
}

function showDevices(data) {
  state.devices = Array.isArray(data.devices) ? data.devices : [];
  $('devices').tBodies[0].replaceChildren(...state.devices.map(deviceRow));
  $('empty').hidden = state.devices.length !== 0 || !data.discovered_at;
  const dropped = data.dropped ? `; ${data.dropped} more replies not kept (is something flooding the segment?)` : '';
  $('status').textContent = data.discovered_at
    ? `${state.devices.length} device${state.devices.length === 1 ? '' : 's'}, found at ${data.discovered_at}${dropped}`
    : 'Press Discover to look for devices.';
}

async function discover() {
  $('discover').disabled = true;
  $('status').textContent = 'Looking for devices…';
  try {
    const { status, data } = await api('/api/discover', {});
    if (status === 200) showDevices(data);
    else $('status').textContent = `Discover failed: ${data.error || status}`;
  } catch (e) {
    $('status').textContent = 'The server does not answer.';
  } finally {
    $('discover').disabled = false;
  }
}

// ---- the Configure dialog ----

function openDialog(device) {
  state.device = device;
  $('conf-puid').textContent = shown(device.puid);
  $('conf-host').value = '';
  $('conf-host').placeholder = device.host_name ? `now ${device.host_name}` : 'unchanged';
  const holder = $('conf-interfaces');
  holder.replaceChildren();
  for (const conf of device.interfaces || []) {
    if (!conf.mac) continue;
    const fields = $('interface-fields').content.firstElementChild.cloneNode(true);
    fields.dataset.mac = conf.mac;
    fields.querySelector('legend').textContent = `${shown(conf.name)} ${conf.mac}`;
    const method = fields.querySelector('.method');
    const staticOnly = fields.querySelector('.static-only');
    const address = fields.querySelector('.address');
    // A typed address stays in sight, so that what stops the request can be seen and emptied.
    const update = () => { staticOnly.hidden = method.value !== 'static' && !address.value.trim(); };
    method.addEventListener('change', update);
    update();
    holder.append(fields);
  }
  for (const id of ['conf-problem', 'conf-result']) { $(id).textContent = ''; $(id).className = id === 'conf-problem' ? 'problem' : ''; }
  $('conf-password').value = '';
  $('conf-send').disabled = false;
  $('configure').showModal();
}

function readOrder() {
  const order = { puid: state.device.puid, user: $('conf-user').value, host_name: $('conf-host').value.trim(), interfaces: [] };
  for (const fields of $('conf-interfaces').querySelectorAll('fieldset.iface')) {
    const value = (cls) => fields.querySelector(cls).value.trim();
    const entry = { mac: fields.dataset.mac, method: value('.method'), address: value('.address'),
                    gateway: value('.gateway'), dns: value('.dns'), wins: value('.wins') };
    if (Object.entries(entry).some(([key, text]) => key !== 'mac' && text)) order.interfaces.push(entry);
  }
  return order;
}

function showResult(text, good) {
  $('conf-result').textContent = text;
  $('conf-result').className = good ? 'ok' : 'bad';
}

async function configure(event) {
  event.preventDefault();
  const order = readOrder();
  const password = $('conf-password').value;
  const problem = checkOrder(order, password);
  $('conf-problem').textContent = problem;
  $('conf-result').textContent = '';
  if (problem) return;
  $('conf-send').disabled = true;
  $('conf-wait').hidden = false;
  const started = Date.now();
  const tick = () => {
    const left = Math.max(0, state.timeout - Math.floor((Date.now() - started) / 1000));
    $('conf-left').textContent = `${left} s left`;
  };
  tick();
  const timer = setInterval(tick, 500);
  let ok = false;
  try {
    const { status, data } = await api('/api/configure', { ...order, password });
    $('conf-password').value = '';
    if (status !== 200) showResult(`Not sent: ${data.error || status}`, false);
    else if (data.result === 'ok') { ok = true; showResult('OK: the device reports the new configuration.', true); }
    else if (data.result === 'not_in_force' || data.result === 'no_evidence') showResult(`Not confirmed: ${data.error}`, false);
    else if (data.result === 'conflict') showResult(`Not sent: ${data.error}`, false);
    else if (data.result === 'error') showResult(`The device refused: ${data.error}`, false);
    else if (data.result === 'timeout') showResult(`No answer from the device: ${data.error}`, false);
    else showResult(`Failed: ${data.error}`, false);
  } catch (e) {
    showResult('The server does not answer.', false);
  } finally {
    clearInterval(timer);
    $('conf-wait').hidden = true;
    $('conf-send').disabled = false;
  }
  if (ok) await discover();
}

// ---- the Watch view ----

function watchItem(entry) {
  const message = entry.message || {};
  const lines = [];
  const walk = (fields, depth) => {
    for (const field of fields || []) {
      const value = field.text ?? field.hex ?? (field.number !== undefined ? `${field.number}${field.meaning ? ' (' + field.meaning + ')' : ''}` : '');
      lines.push(`${'  '.repeat(depth)}${field.type} ${value}`.trimEnd());
      if (field.fields) walk(field.fields, depth + 1);
    }
  };
  walk(message.fields, 0);
  if (message.error) lines.push(`! ${message.error}`);
  return el('li', {}, el('b', {}, shown(message.type)), ` ${shown(entry.time)} from ${shown(entry.from)}`,
    entry.interface ? ` on ${entry.interface}` : '', el('pre', {}, lines.join('\n')));
}

async function watchLoop() {
  while (state.watching) {
    try {
      const { status, data } = await api(`/api/watch?after=${state.watchAfter}`);
      if (status !== 200) {
        $('watch-status').textContent = `Watch failed: ${data.error || status}`;
        await new Promise((r) => setTimeout(r, 2000));
        continue;
      }
      for (const entry of data.messages) $('watch').prepend(watchItem(entry));
      while ($('watch').children.length > 200) $('watch').lastElementChild.remove();
      state.watchAfter = data.next;
      $('watch-status').textContent = data.busy ? 'Paused while a discover or configure runs…' : 'Listening…';
    } catch (e) {
      $('watch-status').textContent = 'The server does not answer.';
      await new Promise((r) => setTimeout(r, 2000));
    }
  }
}

function showView(watch) {
  $('devices-view').hidden = watch;
  $('watch-view').hidden = !watch;
  $('show-devices').classList.toggle('current', !watch);
  $('show-watch').classList.toggle('current', watch);
  const was = state.watching;
  state.watching = watch;
  if (watch && !was) watchLoop();
}

async function start() {
  $('discover').addEventListener('click', discover);
  $('auto').addEventListener('change', () => {
    clearInterval(state.auto);
    state.auto = $('auto').checked ? setInterval(() => { if (!$('discover').disabled) discover(); }, 10000) : null;
  });
  $('conf-form').addEventListener('submit', configure);
  $('conf-close').addEventListener('click', () => { $('conf-password').value = ''; $('configure').close(); });
  $('show-devices').addEventListener('click', () => showView(false));
  $('show-watch').addEventListener('click', () => showView(true));
  $('watch-clear').addEventListener('click', () => $('watch').replaceChildren());
  state.token = takeToken();
  if (!state.token) return needToken();
  try {
    const { status, data } = await api('/api/session');
    if (status === 403) return needToken();
    state.timeout = data.configure_timeout || 45;
    showDevices((await api('/api/devices')).data);
  } catch (e) {
    $('status').textContent = 'The server does not answer.';
    return;
  }
  await discover();
}

start();

// The page's entry point: the login form, the connection banner (drops and reconnections), the
// agreement, server notices, the section tabs with their keyboard shortcuts, and the shared
// context (`ctx`) through which the views reach the connection and each other.
import { Connection } from './connection.js';
import { $, h } from './dom.js';
import { hasPriv } from './records.js';
import { createAdminView } from './view-admin.js';
import { createBoardView } from './view-board.js';
import { createChatView } from './view-chat.js';
import { createFilesView } from './view-files.js';
import { createNewsView } from './view-news.js';
import { createUsersView } from './view-users.js';
import {
  kFieldData, kFieldUserAccess, kTranServerQuitting, kTranUserAccess, myAcc_Broadcast, myAcc_OpenUsers,
} from './constants.js';

// The two socket paths sit beside the page, so a page served below a proxy's prefix still
// finds them.
function makeSocket(path) {
  const url = new URL(path.slice(1), document.baseURI);
  url.protocol = url.protocol === 'https:' ? 'wss:' : 'ws:';
  return new WebSocket(url);
}

const conn = new Connection({ makeSocket });
const ctx = {
  conn,
  access: new Uint8Array(8),
  can: (bit) => hasPriv(ctx.access, bit),
  accessListeners: [],
  onAccess: (fn) => ctx.accessListeners.push(fn),
  showTab,
  notify,
  showInfo(title, text) {
    $('#info-title').textContent = title;
    $('#info-text').textContent = text;
    $('#info-dialog').showModal();
  },
};

const views = {
  chat: createChatView(ctx, $('#panel-chat')),
  board: createBoardView(ctx, $('#panel-board')),
  news: createNewsView(ctx, $('#panel-news')),
  files: createFilesView(ctx, $('#panel-files')),
  users: createUsersView(ctx, $('#panel-users')),
  admin: createAdminView(ctx, $('#panel-admin')),
};
let currentTab = 'chat';

function showTab(name) {
  currentTab = name;
  for (const b of document.querySelectorAll('.tabs [role=tab]')) b.setAttribute('aria-selected', b.dataset.tab === name);
  for (const [key, view] of Object.entries(views)) $(`#panel-${key}`).classList.toggle('active', key === name);
  views[name].show();
}

// A message of the server or a broadcast: stays on top until dismissed.
function notify(text, title = 'Message from the server') {
  const note = h('div', { class: 'notice' },
    h('strong', {}, title), h('p', {}, text),
    h('button', { type: 'button', class: 'quiet', onclick: () => note.remove(), 'aria-label': 'Dismiss' }, '×'));
  $('#notices').append(note);
}

// Login form --------------------------------------------------------------------------------

const form = $('#login-form');
for (const key of ['login', 'nickname', 'icon']) {
  const saved = localStorage.getItem(`kestrix.${key}`);
  if (saved) $(`#${key}`).value = saved;
}

form.addEventListener('submit', async (event) => {
  event.preventDefault();
  const credentials = {
    login: $('#login').value.trim(),
    password: $('#password').value,
    name: $('#nickname').value.trim(),
    icon: Number($('#icon').value) || 1,
  };
  for (const key of ['login', 'nickname', 'icon']) localStorage.setItem(`kestrix.${key}`, $(`#${key}`).value);
  $('#login-error').textContent = '';
  $('#connect').disabled = true;
  try {
    await conn.login(credentials);
  } catch (e) {
    $('#login-error').textContent = e.message;
  } finally {
    $('#connect').disabled = false;
  }
});

$('#disconnect').addEventListener('click', () => conn.logout());

conn.on('agreement', (text) => {
  $('#agreement-text').textContent = text;
  $('#agreement-dialog').showModal();
});
$('#agreement-dialog').addEventListener('close', () => {
  if ($('#agreement-dialog').returnValue === 'leave') conn.logout();
});

conn.on(kTranUserAccess, (fields) => {
  ctx.access = new Uint8Array(8);
  ctx.access.set((fields.get(kFieldUserAccess) || new Uint8Array(0)).subarray(0, 8));
  $('[data-tab=admin]').hidden = !(ctx.can(myAcc_OpenUsers) || ctx.can(myAcc_Broadcast));
  for (const fn of ctx.accessListeners) fn();
});
// After the views' own 'online' listeners (they reload what they showed), so the section shown
// loads once.
conn.on('online', () => showTab(currentTab));
conn.on(kTranServerQuitting, (fields) => notify(fields.text(kFieldData), 'The server is shutting down'));

// Connection state --------------------------------------------------------------------------

let countdown = null;

function showBanner(...content) {
  const banner = $('#banner');
  banner.replaceChildren(...content);
  banner.hidden = content.length === 0;
}

conn.on('state', (state, detail) => {
  clearInterval(countdown);
  document.body.classList.toggle('down', state !== 'online');
  if (state === 'online') {
    showBanner();
    $('#login-view').hidden = true;
    $('#app-view').hidden = false;
    $('#password').value = '';
    $('#server-name').textContent = conn.serverName || 'Kestrix';
    document.title = conn.serverName ? `${conn.serverName} – Kestrix` : 'Kestrix';
  } else if (state === 'waiting') {
    const line = h('span');
    const tick = () => {
      const s = Math.max(0, Math.ceil((detail.retryAt - Date.now()) / 1000));
      line.textContent = `Connection lost (${detail.reason}) Reconnecting in ${s} s… `;
    };
    tick();
    countdown = setInterval(tick, 1000);
    showBanner(line, h('button', { type: 'button', onclick: () => conn.retryNow() }, 'Reconnect now'));
    $('#banner').className = 'lost';
  } else if (state === 'connecting') {
    showBanner(h('span', {}, $('#app-view').hidden ? 'Connecting…' : 'Reconnecting…'));
    $('#banner').className = $('#app-view').hidden ? '' : 'lost';
  } else {
    showBanner();
    $('#app-view').hidden = true;
    $('#login-view').hidden = false;
    $('#notices').replaceChildren();
    if (detail.reason) $('#login-error').textContent = `Disconnected: ${detail.reason}`;
    $('#login').focus();
  }
});

// Keyboard: Alt+1..6 pick a section.
document.addEventListener('keydown', (event) => {
  if (!event.altKey || event.ctrlKey || event.metaKey || $('#app-view').hidden) return;
  const tab = document.querySelectorAll('.tabs [role=tab]')[Number(event.key) - 1];
  if (!tab || tab.offsetParent === null) return; // not shown (Users beside the page, Admin)
  event.preventDefault();
  showTab(tab.dataset.tab);
  tab.focus();
});
for (const b of document.querySelectorAll('.tabs [role=tab]')) b.addEventListener('click', () => showTab(b.dataset.tab));

(($('#nickname').value ? $('#connect') : $('#nickname'))).focus();

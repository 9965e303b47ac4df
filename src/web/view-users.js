// The user list with live updates (joins, changes, departures) and what can be done to a user:
// a private message, a private chat, and for administrators information, disconnect and bans.
import { clear, h } from './dom.js';
import { FieldList } from './fields.js';
import { decodeUserEntry } from './records.js';
import {
  kFieldData, kFieldIconID, kFieldOptions, kFieldUserFlags, kFieldUserID, kFieldUserName, kFieldUserNameWithInfo,
  kTranClientLeft, kTranClientUserInfo, kTranDisconnectUser, kTranGetClientInfoText, kTranGetUserNameList,
  kUserAdmin, kUserAway, kUserRefusesChats, kUserRefusesMessages, myAcc_DisconnectUsers, myAcc_GetClientInfo,
} from './constants.js';

function describe(user) {
  const notes = [];
  if (user.flags & kUserAway) notes.push('away');
  if (user.flags & kUserAdmin) notes.push('administrator');
  if (user.flags & kUserRefusesMessages) notes.push('refuses private messages');
  if (user.flags & kUserRefusesChats) notes.push('refuses private chats');
  return notes.join(', ');
}

export function createUsersView(ctx, el) {
  const { conn } = ctx;
  const users = new Map(); // user ID -> {id, icon, flags, name}, in the server's order
  ctx.users = users;
  let selected = null;
  const count = h('span', { class: 'count' });
  const list = h('ul', { class: 'user-list', 'aria-label': 'Users on line' });
  const actions = h('div', { class: 'user-actions' });
  const status = h('p', { class: 'status', role: 'status' });
  el.append(h('h2', {}, 'Users ', count), list, actions, status);

  function render() {
    count.textContent = `(${users.size})`;
    clear(list, [...users.values()].map((u) => {
      const note = describe(u);
      return h('li', {},
        h('button', {
          type: 'button',
          class: `user${u.flags & kUserAway ? ' away' : ''}${u.flags & kUserAdmin ? ' admin' : ''}`,
          'aria-pressed': String(u.id === selected),
          title: note || undefined,
          onclick: () => select(u.id),
        }, h('span', { class: 'icon', 'aria-hidden': 'true' }, u.icon), u.name, note ? h('span', { class: 'sr-only' }, ` (${note})`) : null));
    }));
    renderActions();
  }

  function renderActions() {
    const u = users.get(selected);
    if (!u) {
      clear(actions);
      return;
    }
    const act = (label, fn) => h('button', { type: 'button', onclick: fn }, label);
    clear(actions, h('p', {}, h('strong', {}, u.name), ` #${u.id}`),
      act('Message', () => ctx.openMessages(u.id, u.name)),
      act('Private chat', () => ctx.inviteNewChat([u.id])),
      ctx.can(myAcc_GetClientInfo) && act('Info', () => info(u)),
      ctx.can(myAcc_DisconnectUsers) && act('Disconnect', () => disconnect(u, 0)),
      ctx.can(myAcc_DisconnectUsers) && act('Ban', () => disconnect(u, 1)),
      ctx.can(myAcc_DisconnectUsers) && act('Ban for good', () => disconnect(u, 2)));
  }

  function select(id) {
    selected = selected === id ? null : id;
    status.textContent = '';
    render();
    if (selected !== null) actions.querySelector('button').focus();
  }

  async function info(u) {
    try {
      const f = await conn.request(kTranGetClientInfoText, new FieldList().addInt(kFieldUserID, u.id));
      ctx.showInfo(f.text(kFieldUserName) || u.name, f.text(kFieldData));
    } catch (e) {
      status.textContent = e.message;
    }
  }

  // option 0 disconnects, 1 also bans the address for a while, 2 for good (with a reason).
  async function disconnect(u, option) {
    const what = ['Disconnect', 'Disconnect and ban', 'Disconnect and ban for good'][option];
    let reason = '';
    if (option === 2) {
      reason = prompt(`${what} ${u.name}? Reason (optional):`, '');
      if (reason === null) return;
    } else if (!confirm(`${what} ${u.name}?`)) {
      return;
    }
    const f = new FieldList().addInt(kFieldUserID, u.id).addInt(kFieldOptions, option);
    if (reason) f.addText(kFieldData, reason);
    try {
      await conn.request(kTranDisconnectUser, f);
      status.textContent = `${u.name} was disconnected.`;
    } catch (e) {
      status.textContent = e.message;
    }
  }

  conn.on('online', async () => {
    try {
      const f = await conn.request(kTranGetUserNameList);
      users.clear();
      for (const bytes of f.all(kFieldUserNameWithInfo)) {
        const u = decodeUserEntry(bytes);
        users.set(u.id, u);
      }
      render();
    } catch (e) {
      status.textContent = e.message;
    }
  });
  conn.on(kTranClientUserInfo, (f) => {
    const id = f.int(kFieldUserID);
    users.set(id, { id, icon: (f.int(kFieldIconID) << 16) >> 16, flags: f.int(kFieldUserFlags), name: f.text(kFieldUserName) });
    render();
  });
  conn.on(kTranClientLeft, (f) => {
    users.delete(f.int(kFieldUserID));
    render();
  });
  ctx.onAccess(renderActions);

  return { show() {} };
}

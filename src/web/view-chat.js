// Conversations: the public chat, private chat rooms (invite, join, leave, subject) and private
// messages, one tab each, with invitations offered above the log. Server messages and
// broadcasts go to the page's notices.
import { appendLine, clear, h } from './dom.js';
import { FieldList } from './fields.js';
import { decodeUserEntry } from './records.js';
import { ServerError } from './session.js';
import {
  kFieldChatID, kFieldChatOptions, kFieldChatSubject, kFieldData, kFieldOptions, kFieldUserID, kFieldUserName,
  kFieldUserNameWithInfo, kMsgAutomaticResponse, kMsgPlain, kTranChatSend, kTranChatSubject, kTranChatText,
  kTranChatUserChange, kTranChatUserLeave, kTranInviteNewChat, kTranInviteToChat, kTranJoinChat, kTranLeaveChat,
  kTranRejectChatInvite, kTranSendInstantMsg, kTranServerMsg, kTranSetChatSubject, kTranUserBroadcast,
} from './constants.js';

const kRoomLines = 1000;

export function createChatView(ctx, el) {
  const { conn } = ctx;
  // key -> {key, kind ('public' | 'chat' | 'pm'), id, title, lines, unread, subject, members, closed}
  const rooms = new Map();
  let current = 'public';
  const roomBar = h('div', { class: 'rooms', role: 'tablist', 'aria-label': 'Conversations' });
  const head = h('div', { class: 'room-head' });
  const invites = h('div', { class: 'invites' });
  const log = h('div', { class: 'log', role: 'log', tabindex: '0', 'aria-label': 'Conversation' });
  const input = h('input', { type: 'text', autocomplete: 'off', 'aria-label': 'Message', placeholder: 'Message  (/me for an action)' });
  const sendForm = h('form', { class: 'send', onsubmit: (e) => { e.preventDefault(); sendLine(); } },
    input, h('button', {}, 'Send'));
  el.append(roomBar, head, invites, log, sendForm);

  function room(key, init) {
    if (!rooms.has(key)) rooms.set(key, { key, lines: [], unread: 0, subject: '', members: new Map(), closed: false, ...init });
    return rooms.get(key);
  }
  room('public', { kind: 'public', id: 0, title: 'Public chat' });

  function line(r, text, cls = '') {
    const node = h('div', { class: `line ${cls}` }, text);
    r.lines.push(node);
    if (r.lines.length > kRoomLines) r.lines.shift();
    if (r.key === current) appendLine(log, node);
    else {
      r.unread++;
      renderRooms();
    }
  }

  function renderRooms() {
    clear(roomBar, [...rooms.values()].map((r) => h('button', {
      type: 'button', role: 'tab', 'aria-selected': String(r.key === current), class: r.closed ? 'closed' : '',
      onclick: () => switchTo(r.key),
    }, r.title, r.unread ? h('span', { class: 'badge', 'aria-label': `${r.unread} unread` }, r.unread) : null)));
  }

  function renderHead() {
    const r = rooms.get(current);
    const act = (label, fn) => h('button', { type: 'button', class: 'quiet', onclick: fn }, label);
    if (r.kind !== 'chat') {
      clear(head, r.kind === 'pm' ? h('span', {}, `Private messages with ${r.title}`) : null,
        r.kind === 'pm' ? act('Close', () => closeRoom(r)) : null);
      return;
    }
    const names = [...r.members.values()].join(', ');
    clear(head,
      h('span', { class: 'subject' }, r.closed ? 'This chat has ended.' : r.subject ? `Subject: ${r.subject}` : 'No subject'),
      h('span', { class: 'members' }, names ? ` · ${names}` : ''),
      !r.closed && act('Subject…', () => setSubject(r)),
      !r.closed && inviteControl(r),
      r.closed ? act('Close', () => closeRoom(r)) : act('Leave', () => leave(r)));
  }

  // A list of the users not yet in the chat, and a button to invite the one picked.
  function inviteControl(r) {
    const others = [...ctx.users.values()].filter((u) => !r.members.has(u.id));
    if (!others.length) return null;
    const select = h('select', { 'aria-label': 'User to invite' }, others.map((u) => h('option', { value: u.id }, u.name)));
    const go = () => {
      if (!select.value) return;
      conn.send(kTranInviteToChat, new FieldList().addInt(kFieldChatID, r.id).addInt(kFieldUserID, Number(select.value)));
      line(r, `Invited ${select.selectedOptions[0].textContent}.`, 'system');
    };
    return h('span', { class: 'invite' }, select, h('button', { type: 'button', class: 'quiet', onclick: go }, 'Invite'));
  }

  function switchTo(key) {
    current = key;
    const r = rooms.get(key);
    r.unread = 0;
    clear(log, r.lines);
    log.scrollTop = log.scrollHeight;
    renderRooms();
    renderHead();
    sendForm.hidden = r.closed;
    input.focus();
  }

  function closeRoom(r) {
    rooms.delete(r.key);
    switchTo('public');
  }

  function guard(r, promise) {
    return promise.catch((e) => line(r, e.message, 'error'));
  }

  function sendLine() {
    const text = input.value;
    if (!text.trim()) return;
    const r = rooms.get(current);
    input.value = '';
    try {
      if (r.kind === 'pm') {
        const f = new FieldList().addInt(kFieldUserID, r.id).addInt(kFieldOptions, kMsgPlain).addText(kFieldData, text);
        guard(r, conn.request(kTranSendInstantMsg, f).then(() => line(r, `me: ${text}`, 'mine')));
        return;
      }
      const action = text.startsWith('/me ');
      const f = new FieldList().addText(kFieldData, action ? text.slice(4) : text);
      if (action) f.addInt(kFieldChatOptions, 1);
      if (r.kind === 'chat') f.addInt(kFieldChatID, r.id);
      conn.send(kTranChatSend, f);
    } catch (e) {
      line(r, e.message, 'error');
    }
  }

  function setSubject(r) {
    const subject = prompt('Subject of this chat:', r.subject);
    if (subject === null) return;
    conn.send(kTranSetChatSubject, new FieldList().addInt(kFieldChatID, r.id).addText(kFieldChatSubject, subject));
  }

  function leave(r) {
    try {
      conn.send(kTranLeaveChat, new FieldList().addInt(kFieldChatID, r.id));
    } catch {
      // Not connected: the server dropped us from the chat already.
    }
    closeRoom(r);
  }

  // Joins (or rejoins after a reconnection) the chat `id`; the reply names its subject and
  // members, the joining user included.
  async function join(id, title) {
    const f = await conn.request(kTranJoinChat, new FieldList().addInt(kFieldChatID, id));
    const r = room(`chat:${id}`, { kind: 'chat', id, title });
    r.closed = false;
    r.subject = f.text(kFieldChatSubject);
    r.members.clear();
    for (const bytes of f.all(kFieldUserNameWithInfo)) {
      const u = decodeUserEntry(bytes);
      r.members.set(u.id, u.name);
    }
    return r;
  }

  let chatCount = 0;
  ctx.inviteNewChat = async (userIds) => {
    ctx.showTab('chat');
    const f = new FieldList();
    for (const id of userIds) f.addInt(kFieldUserID, id);
    try {
      const reply = await conn.request(kTranInviteNewChat, f);
      const id = reply.int(kFieldChatID) >>> 0;
      const r = room(`chat:${id}`, { kind: 'chat', id, title: `Private chat ${++chatCount}` });
      r.members.set(reply.int(kFieldUserID), reply.text(kFieldUserName));
      switchTo(r.key);
      line(r, `Invited ${userIds.map((u) => (ctx.users.get(u) || { name: `#${u}` }).name).join(', ')}.`, 'system');
    } catch (e) {
      line(rooms.get('public'), e.message, 'error');
    }
  };

  ctx.openMessages = (userId, name) => {
    ctx.showTab('chat');
    room(`pm:${userId}`, { kind: 'pm', id: userId, title: name });
    switchTo(`pm:${userId}`);
  };

  function offerInvitation(id, from) {
    const key = `chat:${id}`;
    if (rooms.has(key) && !rooms.get(key).closed) return;
    const offer = h('div', { class: 'offer', role: 'alert' }, `${from} invites you to a private chat. `);
    const accept = async () => {
      offer.remove();
      try {
        switchTo((await join(id, `Chat with ${from}`)).key);
      } catch (e) {
        line(rooms.get('public'), e.message, 'error');
      }
    };
    const decline = () => {
      offer.remove();
      conn.send(kTranRejectChatInvite, new FieldList().addInt(kFieldChatID, id));
    };
    offer.append(h('button', { type: 'button', onclick: accept }, 'Join'),
      h('button', { type: 'button', class: 'quiet', onclick: decline }, 'Decline'));
    invites.append(offer);
  }

  // Notices ---------------------------------------------------------------------------------

  const chatOf = (f) => rooms.get(`chat:${f.int(kFieldChatID) >>> 0}`);

  conn.on(kTranChatText, (f) => {
    const id = f.int(kFieldChatID);
    const r = id ? chatOf(f) : rooms.get('public');
    // Every chat line starts with a line end of its own.
    if (r) line(r, f.text(kFieldData).replace(/^\n/, ''));
  });
  conn.on(kTranServerMsg, (f) => {
    if (!f.has(kFieldUserID)) {
      ctx.notify(f.text(kFieldData));
      return;
    }
    const id = f.int(kFieldUserID);
    const name = f.text(kFieldUserName);
    const r = room(`pm:${id}`, { kind: 'pm', id, title: name });
    r.title = name || r.title;
    const kind = f.int(kFieldOptions);
    line(r, `${name}${kind === kMsgAutomaticResponse ? ' (automatic response)' : ''}: ${f.text(kFieldData)}`,
      kind === kMsgPlain ? '' : 'system');
  });
  conn.on(kTranUserBroadcast, (f) => ctx.notify(f.text(kFieldData), `Broadcast from ${f.text(kFieldUserName)}`));
  conn.on(kTranInviteToChat, (f) => offerInvitation(f.int(kFieldChatID) >>> 0, f.text(kFieldUserName)));
  conn.on(kTranChatUserChange, (f) => {
    const r = chatOf(f);
    if (!r) return;
    r.members.set(f.int(kFieldUserID), f.text(kFieldUserName));
    line(r, `${f.text(kFieldUserName)} joined.`, 'system');
    if (r.key === current) renderHead();
  });
  conn.on(kTranChatUserLeave, (f) => {
    const r = chatOf(f);
    if (!r) return;
    const id = f.int(kFieldUserID);
    const name = r.members.get(id) || (ctx.users.get(id) || {}).name || `#${id}`;
    r.members.delete(id);
    line(r, `${name} left.`, 'system');
    if (r.key === current) renderHead();
  });
  conn.on(kTranChatSubject, (f) => {
    const r = chatOf(f);
    if (!r) return;
    r.subject = f.text(kFieldChatSubject);
    line(r, r.subject ? `Subject: ${r.subject}` : 'The subject was removed.', 'system');
    if (r.key === current) renderHead();
  });

  // The server dropped us from every private chat with the old connection: join them again.
  conn.on('online', () => {
    for (const r of rooms.values()) {
      if (r.kind !== 'chat' || r.closed) continue;
      join(r.id, r.title).then(() => line(r, 'Joined again after the reconnection.', 'system'), (e) => {
        r.closed = true;
        line(r, e instanceof ServerError ? e.message : 'This chat could not be joined again.', 'system');
        if (r.key === current) switchTo(r.key);
      });
    }
  });
  conn.on('state', (state) => {
    if (state === 'offline') {
      for (const r of [...rooms.values()]) if (r.kind === 'chat') rooms.delete(r.key);
      invites.replaceChildren();
      current = 'public';
    }
  });

  switchTo('public');
  return { show: () => input.focus() };
}

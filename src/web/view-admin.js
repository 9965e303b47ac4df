// Administration: a broadcast to every user, and the accounts: list, read, create, change
// (name, password, privileges) and delete. Shown to users with the privileges for it.
import { clear, h, report } from './dom.js';
import { FieldList } from './fields.js';
import { complement, decodeAccount, encodeAccount, hasPriv, nameBytes, setPriv } from './records.js';
import {
  kFieldData, kFieldUserLogin, kPrivilegeNames, kTranDeleteUser, kTranGetUser, kTranGetUserList, kTranNewUser,
  kTranSetUser, kTranUserBroadcast, myAcc_Broadcast, myAcc_CreateUsers, myAcc_DeleteUsers, myAcc_OpenUsers,
} from './constants.js';

export function createAdminView(ctx, el) {
  const { conn } = ctx;
  const status = h('p', { class: 'status', role: 'status' });
  const broadcastText = h('textarea', { rows: 2, 'aria-label': 'Broadcast message' });
  const broadcast = h('form', { class: 'compose', onsubmit: sendBroadcast },
    h('h3', {}, 'Broadcast'), broadcastText, h('button', {}, 'Send to everybody'));
  const accounts = h('section', { class: 'accounts' });
  el.append(h('h2', {}, 'Administration'), status, broadcast, accounts);
  let loaded = false;

  async function sendBroadcast(event) {
    event.preventDefault();
    if (!broadcastText.value.trim()) return;
    try {
      await conn.request(kTranUserBroadcast, new FieldList().addText(kFieldData, broadcastText.value));
      broadcastText.value = '';
      report(status, 'Sent.', false);
    } catch (e) {
      report(status, e.message);
    }
  }

  async function list() {
    loaded = true;
    try {
      const f = await conn.request(kTranGetUserList);
      const all = f.all(kFieldData).map((bytes) => decodeAccount(FieldList.decode(bytes)));
      all.sort((a, b) => a.login.localeCompare(b.login));
      clear(accounts, h('h3', {}, 'Accounts'),
        ctx.can(myAcc_CreateUsers) && h('button', { type: 'button', onclick: () => edit(null) }, 'New account'),
        h('ul', { class: 'entries' }, all.map((a) => h('li', {},
          h('button', { type: 'button', onclick: () => open(a.login) }, a.login), ` ${a.name}`,
          a.hasPassword ? '' : h('span', { class: 'meta' }, ' (no password)')))));
    } catch (e) {
      report(status, e.message);
    }
  }

  async function open(login) {
    try {
      // This one request names the account by its plain login.
      const f = await conn.request(kTranGetUser, new FieldList().add(kFieldUserLogin, nameBytes(login)));
      edit(decodeAccount(f));
    } catch (e) {
      report(status, e.message);
    }
  }

  // The form for an account; `account` null makes a new one.
  function edit(account) {
    const isNew = !account;
    const access = account ? account.access.slice() : new Uint8Array(8);
    const login = h('input', { value: account ? account.login : '', required: true, maxlength: 31, readOnly: !isNew, 'aria-label': 'Login' });
    const name = h('input', { value: account ? account.name : '', maxlength: 64, 'aria-label': 'Name' });
    const password = h('input', { type: 'password', autocomplete: 'new-password', maxlength: 31, 'aria-label': 'Password',
      placeholder: isNew ? 'No password' : 'Unchanged' });
    const noPassword = h('input', { type: 'checkbox' });
    const boxes = kPrivilegeNames.map(([bit, label]) => h('label', { class: 'priv' },
      h('input', { type: 'checkbox', checked: hasPriv(access, bit), onchange: (e) => setPriv(access, bit, e.target.checked) }), label));
    const save = async (event) => {
      event.preventDefault();
      const pw = password.value || (isNew || noPassword.checked ? '' : null);
      try {
        await conn.request(isNew ? kTranNewUser : kTranSetUser,
          encodeAccount({ name: name.value, login: login.value, password: pw, access }));
        report(status, `Saved ${login.value}.`, false);
        list();
      } catch (e) {
        report(status, e.message);
      }
    };
    const remove = async () => {
      if (!confirm(`Delete the account ${account.login}? Its users are disconnected.`)) return;
      try {
        await conn.request(kTranDeleteUser, new FieldList().add(kFieldUserLogin, complement(nameBytes(account.login))));
        report(status, `Deleted ${account.login}.`, false);
        list();
      } catch (e) {
        report(status, e.message);
      }
    };
    clear(accounts, h('form', { class: 'account', onsubmit: save },
      h('h3', {}, isNew ? 'New account' : `Account ${account.login}`),
      h('label', {}, 'Login ', login), h('label', {}, 'Name ', name), h('label', {}, 'Password ', password),
      !isNew && (account.hasPassword ? h('label', {}, noPassword, ' Remove the password') : h('p', { class: 'meta' }, 'This account has no password.')),
      h('fieldset', {}, h('legend', {}, 'Privileges'), boxes),
      h('div', { class: 'toolbar' }, h('button', {}, 'Save'),
        !isNew && ctx.can(myAcc_DeleteUsers) && h('button', { type: 'button', class: 'danger', onclick: remove }, 'Delete'),
        h('button', { type: 'button', class: 'quiet', onclick: list }, 'Back'))));
    (isNew ? login : name).focus();
  }

  function fit() {
    broadcast.hidden = !ctx.can(myAcc_Broadcast);
    accounts.hidden = !ctx.can(myAcc_OpenUsers);
  }
  ctx.onAccess(fit);
  fit();
  conn.on('online', () => loaded && ctx.can(myAcc_OpenUsers) && list());
  return { show: () => loaded || !ctx.can(myAcc_OpenUsers) || list() };
}

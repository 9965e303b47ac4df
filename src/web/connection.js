// The page's link to the server: opens a session, logs in, and when the connection drops
// reconnects with growing pauses and logs in again with the same details. Listeners registered
// here outlive every session; views learn of each (re)login through the 'online' event.
import { FieldList } from './fields.js';
import { encodeSecret } from './records.js';
import { ConnectionError, ServerError, Session } from './session.js';
import {
  kClientVersion, kFieldData, kFieldIconID, kFieldNoServerAgreement, kFieldServerName, kFieldUserLogin,
  kFieldUserName, kFieldUserPassword, kFieldVersion, kTranLogin, kTranShowAgreement,
} from './constants.js';

// Pauses before each reconnection attempt. The server bans an address that opens more than ten
// connections within 30 seconds, so the attempts never come faster than that.
export const kBackoffSeconds = [1, 2, 4, 8, 15, 30];

// A session that stayed up this long starts the pauses from the beginning again when it drops;
// one that drops sooner (a kick, a server refusing us) goes on with longer pauses.
const kSteadyMs = 60000;

export class Connection {
  // `makeSocket(path)` opens a socket to '/kestrix' or '/transfer' on the page's server.
  // The timer functions are called as methods of this object, so the defaults are wrapped
  // (a browser refuses setTimeout called on anything but the window).
  constructor({
    makeSocket, setTimer = (fn, ms) => setTimeout(fn, ms), clearTimer = (t) => clearTimeout(t), now = () => Date.now(),
    backoff = kBackoffSeconds,
  }) {
    Object.assign(this, { makeSocket, setTimer, clearTimer, now, backoff });
    this.listeners = new Map(); // notice type or event name -> [fn]
    this.session = null;
    this.state = 'offline'; // offline, connecting, online, waiting (a reconnection is due)
    this.credentials = null;
    this.wanted = false; // the person wants to be connected
    this.agreed = false; // the agreement was shown for these credentials
    this.attempt = 0;
    this.timer = null;
    this.serverName = '';
  }

  on(key, fn) {
    if (!this.listeners.has(key)) this.listeners.set(key, []);
    this.listeners.get(key).push(fn);
  }

  off(key, fn) {
    const list = this.listeners.get(key) || [];
    if (list.includes(fn)) list.splice(list.indexOf(fn), 1);
  }

  emit(key, ...args) {
    for (const fn of this.listeners.get(key) || []) {
      try {
        fn(...args);
      } catch (e) {
        console.error(e); // a fault in one view must not stop the others
      }
    }
  }

  setState(state, detail = {}) {
    this.state = state;
    this.emit('state', state, detail);
  }

  // The first login with these details; throws a ServerError (refused) or ConnectionError.
  async login(credentials) {
    this.logout();
    this.credentials = credentials;
    this.agreed = false;
    this.attempt = 0;
    this.setState('connecting');
    try {
      await this.connect();
      this.wanted = true;
    } catch (e) {
      this.setState('offline', { reason: e.message });
      throw e;
    }
  }

  logout() {
    this.wanted = false;
    if (this.timer) this.clearTimer(this.timer);
    this.timer = null;
    if (this.session) {
      const s = this.session;
      this.session = null;
      s.close();
    }
    if (this.state !== 'offline') this.setState('offline');
  }

  async connect() {
    const session = new Session(this.makeSocket('/kestrix'));
    session.onnotice = (type, fields) => this.notice(type, fields);
    await session.open();
    const { login, password, name, icon } = this.credentials;
    const f = new FieldList();
    if (login) f.add(kFieldUserLogin, encodeSecret(login));
    if (password) f.add(kFieldUserPassword, encodeSecret(password));
    f.addInt(kFieldVersion, kClientVersion);
    f.addText(kFieldUserName, name);
    f.addInt(kFieldIconID, icon);
    let reply;
    try {
      reply = await session.request(kTranLogin, f);
    } catch (e) {
      session.close();
      throw e;
    }
    this.serverName = reply.text(kFieldServerName);
    this.session = session;
    this.onlineSince = this.now();
    session.onclose = (error) => this.dropped(session, error);
    this.setState('online');
    this.emit('online');
  }

  // The agreement comes after every login; the person sees it once per login form.
  notice(type, fields) {
    if (type === kTranShowAgreement) {
      if (!this.agreed && !fields.int(kFieldNoServerAgreement) && fields.has(kFieldData)) {
        this.emit('agreement', fields.text(kFieldData));
      }
      this.agreed = true;
    }
    this.emit(type, fields);
  }

  dropped(session, error) {
    if (session !== this.session) return;
    this.session = null;
    if (!this.wanted) return;
    if (this.now() - this.onlineSince >= kSteadyMs) this.attempt = 0;
    this.scheduleRetry(error.message);
  }

  scheduleRetry(reason) {
    const seconds = this.backoff[Math.min(this.attempt, this.backoff.length - 1)];
    this.attempt++;
    this.setState('waiting', { reason, retryAt: this.now() + seconds * 1000 });
    this.timer = this.setTimer(() => this.retry(), seconds * 1000);
  }

  // Skips the rest of the pause ("Reconnect now").
  retryNow() {
    if (!this.timer) return;
    this.clearTimer(this.timer);
    this.retry();
  }

  async retry() {
    this.timer = null;
    this.setState('connecting');
    try {
      await this.connect();
      if (!this.wanted) this.logout(); // logged out while this attempt ran
    } catch (e) {
      if (!this.wanted) return;
      if (e instanceof ServerError) {
        // The login itself was refused (a ban, a deleted account): trying again cannot help.
        this.wanted = false;
        this.setState('offline', { reason: e.message });
      } else {
        this.scheduleRetry(e.message);
      }
    }
  }

  request(type, fields) {
    if (!this.session) return Promise.reject(new ConnectionError('Not connected to the server.'));
    return this.session.request(type, fields);
  }

  send(type, fields) {
    if (!this.session) throw new ConnectionError('Not connected to the server.');
    this.session.send(type, fields);
  }

  openTransfer() {
    return this.makeSocket('/transfer');
  }
}

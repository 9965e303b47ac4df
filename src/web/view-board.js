// The message board: one text, newest post first, read whole and extended by posts; new posts
// of anybody arrive as notices and go on top.
import { h, report } from './dom.js';
import { FieldList } from './fields.js';
import { kFieldData, kTranGetMsgs, kTranMsgBoardPost, kTranPostMsg } from './constants.js';

export function createBoardView(ctx, el) {
  const { conn } = ctx;
  const text = h('textarea', { rows: 4, 'aria-label': 'New post', maxlength: 8192 });
  const status = h('p', { class: 'status', role: 'status' });
  const board = h('pre', { class: 'text board', tabindex: '0', 'aria-label': 'Message board' });
  const post = async (event) => {
    event.preventDefault();
    if (!text.value.trim()) return;
    try {
      await conn.request(kTranPostMsg, new FieldList().addText(kFieldData, text.value));
      text.value = '';
      report(status, 'Posted.', false);
    } catch (e) {
      report(status, e.message);
    }
  };
  el.append(h('h2', {}, 'Message board'),
    h('form', { class: 'compose', onsubmit: post }, text, h('button', {}, 'Post')), status, board);
  let loaded = false;

  async function load() {
    loaded = true;
    try {
      board.textContent = (await conn.request(kTranGetMsgs)).text(kFieldData);
      report(status, '', false);
    } catch (e) {
      report(status, e.message);
    }
  }

  conn.on(kTranMsgBoardPost, (f) => {
    if (loaded) board.textContent = f.text(kFieldData) + board.textContent;
  });
  conn.on('online', () => loaded && load());
  return { show: () => loaded || load() };
}

// Files: browse folders, download a file to the browser, upload files (picked or dropped) with
// a progress bar each, create folders. Transfers run side by side and can be cancelled.
import { clear, formatSize, h, report, saveBlob } from './dom.js';
import { FieldList } from './fields.js';
import { decodeFileEntry, encodePath, nameBytes } from './records.js';
import { TransferCancelled, downloadFile, uploadFile } from './transfer.js';
import { kFieldFileName, kFieldFileNameWithInfo, kFieldFilePath, kTranGetFileNameList, kTranNewFolder } from './constants.js';

export function createFilesView(ctx, el) {
  const { conn } = ctx;
  let path = [];
  let loaded = false;
  const crumbs = h('nav', { class: 'crumbs', 'aria-label': 'Folder' });
  const status = h('p', { class: 'status', role: 'status' });
  const picker = h('input', { type: 'file', multiple: true, class: 'sr-only', id: 'upload-picker' });
  const folderName = h('input', { 'aria-label': 'New folder name', placeholder: 'New folder', maxlength: 255 });
  const listing = h('table', { class: 'files' });
  const transfers = h('ul', { class: 'transfers', 'aria-label': 'Transfers' });
  el.append(h('h2', {}, 'Files'), crumbs,
    h('div', { class: 'toolbar' },
      h('label', { class: 'button', for: 'upload-picker', tabindex: '0', onkeydown: (e) => (e.key === 'Enter' || e.key === ' ') && (e.preventDefault(), picker.click()) }, 'Upload…'), picker,
      h('form', { class: 'inline', onsubmit: newFolder }, folderName, h('button', {}, 'Create folder')),
      h('button', { type: 'button', class: 'quiet', onclick: () => open(path) }, 'Refresh')),
    status, listing, transfers);

  const pathFields = (p) => (p.length ? new FieldList().add(kFieldFilePath, encodePath(p)) : new FieldList());

  async function open(p) {
    loaded = true;
    try {
      const f = await conn.request(kTranGetFileNameList, pathFields(p));
      path = p;
      report(status, '', false);
      render(f.all(kFieldFileNameWithInfo).map(decodeFileEntry));
    } catch (e) {
      report(status, e.message);
    }
  }

  function render(entries) {
    clear(crumbs, h('button', { type: 'button', onclick: () => open([]) }, 'Files'),
      path.map((name, i) => [' / ', h('button', { type: 'button', onclick: () => open(path.slice(0, i + 1)) }, name)]));
    const rows = entries.map((e) => h('tr', {},
      h('td', {}, e.isFolder
        ? h('button', { type: 'button', class: 'folder', onclick: () => open([...path, e.name]) }, `${e.name}/`)
        : e.name),
      h('td', { class: 'size' }, e.isFolder ? `${e.size} items` : formatSize(e.size)),
      h('td', {}, e.isFolder ? '' : h('button', { type: 'button', class: 'quiet', onclick: () => download(e.name), 'aria-label': `Download ${e.name}` }, 'Download'))));
    clear(listing, rows.length ? h('tbody', {}, rows) : h('caption', {}, 'This folder is empty.'));
  }

  async function newFolder(event) {
    event.preventDefault();
    const name = folderName.value.trim();
    if (!name) return;
    try {
      await conn.request(kTranNewFolder, pathFields(path).add(kFieldFileName, nameBytes(name)));
      folderName.value = '';
      await open(path);
    } catch (e) {
      report(status, e.message);
    }
  }

  // One row of the transfer list: name, progress bar, state, and Cancel while it runs.
  function transferRow(label) {
    const bar = h('progress', { max: 1, value: 0, 'aria-label': label });
    const state = h('span', { class: 'state' }, 'Starting…');
    const abort = new AbortController();
    const cancel = h('button', { type: 'button', class: 'quiet', onclick: () => abort.abort() }, 'Cancel');
    const row = h('li', {}, h('span', { class: 'name' }, label), bar, state, cancel);
    transfers.prepend(row);
    return {
      signal: abort.signal,
      progress(done, total) {
        bar.value = total ? done / total : 1;
        state.textContent = `${formatSize(done)} of ${formatSize(total)}`;
      },
      say: (text) => (state.textContent = text),
      end(text, failed) {
        cancel.replaceWith(h('button', { type: 'button', class: 'quiet', onclick: () => row.remove() }, 'Dismiss'));
        state.textContent = text;
        row.classList.add(failed ? 'failed' : 'done');
      },
    };
  }

  async function download(name) {
    const row = transferRow(`↓ ${name}`);
    try {
      const blob = await downloadFile(conn, {
        path, name, signal: row.signal, onProgress: row.progress,
        onQueue: (n) => row.say(n ? `Waiting in the server's queue, position ${n}` : 'Starting…'),
      });
      saveBlob(blob, name);
      row.end(`Done, ${formatSize(blob.size)}`);
    } catch (e) {
      row.end(e instanceof TransferCancelled ? 'Cancelled' : e.message, true);
    }
  }

  async function upload(file) {
    const row = transferRow(`↑ ${file.name}`);
    const into = path;
    try {
      await uploadFile(conn, { path: into, file, signal: row.signal, onProgress: row.progress });
      row.end(`Done, ${formatSize(file.size)}`);
      if (into === path) open(path);
    } catch (e) {
      row.end(e instanceof TransferCancelled ? 'Cancelled' : e.message, true);
    }
  }

  picker.addEventListener('change', () => {
    for (const file of picker.files) upload(file);
    picker.value = '';
  });
  el.addEventListener('dragover', (e) => e.preventDefault());
  el.addEventListener('drop', (e) => {
    e.preventDefault();
    for (const file of e.dataTransfer.files) upload(file);
  });

  conn.on('online', () => loaded && open(path));
  return { show: () => loaded || open([]) };
}

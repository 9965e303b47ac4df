// Small DOM helpers for the views. Server texts only ever become text nodes, never markup.

// h('button', {class: 'x', onclick: fn, type: 'button'}, 'Label', child...)
export function h(tag, attrs = {}, ...children) {
  const el = document.createElement(tag);
  for (const [key, value] of Object.entries(attrs)) {
    if (value === undefined || value === null || value === false) continue;
    if (key.startsWith('on')) el.addEventListener(key.slice(2), value);
    else if (key === 'class') el.className = value;
    // Through the style object: the page's Content-Security-Policy refuses style attributes.
    else if (key === 'style') el.style.cssText = value;
    else if (key in el && typeof value !== 'string') el[key] = value;
    else el.setAttribute(key, value === true ? '' : value);
  }
  for (const c of children.flat(Infinity)) {
    if (c !== undefined && c !== null && c !== false) el.append(c instanceof Node ? c : String(c));
  }
  return el;
}

export function $(selector) {
  return document.querySelector(selector);
}

export function clear(el, ...children) {
  el.replaceChildren(...children.flat(Infinity).filter((c) => c !== undefined && c !== null && c !== false));
}

export function formatSize(n) {
  if (n < 1024) return `${n} B`;
  if (n < 1024 * 1024) return `${(n / 1024).toFixed(1)} KB`;
  if (n < 1024 * 1024 * 1024) return `${(n / 1024 / 1024).toFixed(1)} MB`;
  return `${(n / 1024 / 1024 / 1024).toFixed(2)} GB`;
}

// Appends a line to a log element and keeps it scrolled to the end unless the reader scrolled
// up to read older lines.
export function appendLine(log, node) {
  const atEnd = log.scrollHeight - log.scrollTop - log.clientHeight < 40;
  log.append(node);
  while (log.childNodes.length > 2000) log.firstChild.remove();
  if (atEnd) log.scrollTop = log.scrollHeight;
}

// A short-lived message for errors of an action: shown in the view's status line.
export function report(el, message, isError = true) {
  el.textContent = message;
  el.classList.toggle('error', isError);
}

// Lets the person save a Blob under a name.
export function saveBlob(blob, name) {
  const url = URL.createObjectURL(blob);
  const a = h('a', { href: url, download: name });
  document.body.append(a);
  a.click();
  a.remove();
  setTimeout(() => URL.revokeObjectURL(url), 60000);
}

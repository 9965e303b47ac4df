// Threaded news: browse bundles and categories, list a category's articles as threads, read an
// article (with its neighbours, parent and first reply), post a new article or a reply.
import { clear, h, report } from './dom.js';
import { FieldList } from './fields.js';
import { encodeMacRoman, textToWire } from './macroman.js';
import { decodeArticleList, decodeNewsItem, encodePath, formatDateStamp } from './records.js';
import {
  kFieldNewsArt1stChildArt, kFieldNewsArtData, kFieldNewsArtDataFlav, kFieldNewsArtDate, kFieldNewsArtID,
  kFieldNewsArtListData, kFieldNewsArtNextArt, kFieldNewsArtParentArt, kFieldNewsArtPoster, kFieldNewsArtPrevArt,
  kFieldNewsArtTitle, kFieldNewsCatListEntry, kFieldNewsCatListItem, kFieldNewsPath, kTranGetNewsArtData,
  kTranGetNewsArtNameList, kTranGetNewsCatNameList, kTranPostNewsArt,
} from './constants.js';

// The flavor the page reads and writes, sent with its terminator.
const kTextFlavor = encodeMacRoman('text/plain\0');
const kTitleMax = 31;

function pathFields(path) {
  const f = new FieldList();
  if (path.length) f.add(kFieldNewsPath, encodePath(path));
  return f;
}

export function createNewsView(ctx, el) {
  const { conn } = ctx;
  const crumbs = h('nav', { class: 'crumbs', 'aria-label': 'News path' });
  const status = h('p', { class: 'status', role: 'status' });
  const body = h('div', { class: 'news-body' });
  el.append(h('h2', {}, 'News'), crumbs, status, body);
  // Where the reader is: a bundle, or a category with maybe an article open.
  let place = { path: [], category: false };
  let loaded = false;

  const button = (label, fn, attrs = {}) => h('button', { type: 'button', onclick: fn, ...attrs }, label);

  function renderCrumbs() {
    const { path, category } = place;
    clear(crumbs, button('News', () => openBundle([])), path.map((name, i) => [' / ',
      button(name, () => (i === path.length - 1 && category ? openCategory(path) : openBundle(path.slice(0, i + 1))))]));
  }

  async function run(fn) {
    try {
      report(status, '', false);
      await fn();
    } catch (e) {
      report(status, e.message);
    }
  }

  function openBundle(path) {
    loaded = true;
    return run(async () => {
      const f = await conn.request(kTranGetNewsCatNameList, pathFields(path));
      place = { path, category: false };
      renderCrumbs();
      const items = [
        ...f.all(kFieldNewsCatListItem).map((b) => decodeNewsItem(b, true)),
        ...f.all(kFieldNewsCatListEntry).map((b) => decodeNewsItem(b, false)),
      ];
      const counted = (item) => (item.count === null ? ''
        : ` (${item.count} ${item.kind === 'bundle' ? 'item' : 'article'}${item.count === 1 ? '' : 's'})`);
      clear(body, items.length ? h('ul', { class: 'entries' }, items.map((item) => h('li', { class: item.kind },
        item.kind === 'other' ? item.name : button(`${item.name}${counted(item)}`,
          () => (item.kind === 'bundle' ? openBundle([...path, item.name]) : openCategory([...path, item.name])))))) : h('p', {}, 'Nothing here yet.'));
    });
  }

  function openCategory(path) {
    return run(async () => {
      const f = await conn.request(kTranGetNewsArtNameList, pathFields(path));
      place = { path, category: true };
      renderCrumbs();
      const articles = decodeArticleList(f.get(kFieldNewsArtListData));
      clear(body, h('div', { class: 'toolbar' }, button('New article', () => compose(0, ''))),
        articles.length ? h('ul', { class: 'threads' }, articles.map((a) => h('li', { style: `--depth: ${a.depth}` },
          button(a.title || '(no title)', () => openArticle(a.id)), h('span', { class: 'meta' }, ` ${a.poster}, ${a.date}`))))
          : h('p', {}, 'No articles yet.'));
    });
  }

  function openArticle(id) {
    return run(async () => {
      const f = await conn.request(kTranGetNewsArtData, pathFields(place.path)
        .addInt(kFieldNewsArtID, id).add(kFieldNewsArtDataFlav, kTextFlavor));
      const title = f.text(kFieldNewsArtTitle);
      const go = (label, field) => {
        const target = f.int(field);
        return button(label, () => openArticle(target), { disabled: !target });
      };
      clear(body, h('article', { class: 'article' },
        h('h3', {}, title || '(no title)'),
        h('p', { class: 'meta' }, `${f.text(kFieldNewsArtPoster)}, ${formatDateStamp(f.get(kFieldNewsArtDate))}`),
        h('pre', { class: 'text', tabindex: '0' }, f.text(kFieldNewsArtData)),
        h('div', { class: 'toolbar' },
          button('Reply', () => compose(id, title.startsWith('Re: ') ? title : `Re: ${title}`)),
          go('Previous', kFieldNewsArtPrevArt), go('Next', kFieldNewsArtNextArt),
          go('Parent', kFieldNewsArtParentArt), go('First reply', kFieldNewsArt1stChildArt),
          button('All articles', () => openCategory(place.path)))));
      body.querySelector('pre').focus();
    });
  }

  // A new article (parent 0) or a reply to `parent`.
  function compose(parent, title) {
    const titleInput = h('input', { value: title, maxlength: kTitleMax, required: true, 'aria-label': 'Title' });
    const text = h('textarea', { rows: 10, required: true, 'aria-label': 'Article' });
    const post = (event) => {
      event.preventDefault();
      if (textToWire(titleInput.value).length > kTitleMax) {
        report(status, `A title has at most ${kTitleMax} characters.`);
        return;
      }
      run(async () => {
        const f = pathFields(place.path).addText(kFieldNewsArtTitle, titleInput.value)
          .add(kFieldNewsArtDataFlav, kTextFlavor).addText(kFieldNewsArtData, text.value);
        if (parent) f.addInt(kFieldNewsArtID, parent);
        await conn.request(kTranPostNewsArt, f);
        await openCategory(place.path);
        report(status, 'Posted.', false);
      });
    };
    clear(body, h('form', { class: 'compose', onsubmit: post },
      h('h3', {}, parent ? 'Reply' : 'New article'),
      h('label', {}, 'Title ', titleInput), text,
      h('div', { class: 'toolbar' }, h('button', {}, 'Post'), button('Cancel', () => openCategory(place.path)))));
    (parent ? text : titleInput).focus();
  }

  conn.on('online', () => loaded && (place.category ? openCategory(place.path) : openBundle(place.path)));
  return { show: () => loaded || openBundle([]) };
}

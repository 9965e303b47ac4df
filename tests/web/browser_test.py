#!/usr/bin/python3
# End-to-end test of the web client: the real server binary on a temporary program folder, two
# headless Chromium sessions driven by Selenium (chromedriver), and the command-line client.
# Two browser users log in and chat, one sends the other a private message, a file uploaded by
# one is downloaded by the other with the same bytes, a news article posted by one is read by
# the other, and a browser user and a command-line user see each other in the user list. The
# pages must log no error (a refused script, a blocked style, a failed request).
#
# Run by ctest as "web_browser" with Debian's /usr/bin/python3 (python3-selenium). It skips
# (exit 77) when chromium, chromedriver or Selenium is missing. Screenshots of the chat, files
# and news views go to a temporary folder, or to KX_WEB_SCREENSHOTS when it is set
# (`make web-screenshots` refreshes docs/web-client/ this way).
import argparse
import json
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time

CHROMIUM = '/usr/bin/chromium'
CHROMEDRIVER = '/usr/bin/chromedriver'
WAIT = 60  # seconds for any one page state; the machine may be loaded

try:
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
    from selenium.webdriver.common.keys import Keys
    from selenium.common.exceptions import StaleElementReferenceException
    from selenium.webdriver.support.ui import WebDriverWait
except ImportError:
    webdriver = None


def free_base_port():
    """Eight consecutive ports that were free a moment ago (base to base + 7, 8-aligned)."""
    for _ in range(200):
        with socket.socket() as probe:
            probe.bind(('127.0.0.1', 0))
            base = probe.getsockname()[1] & ~7
        if base < 1024 or base + 7 > 65535:
            continue
        held = []
        try:
            for port in range(base, base + 8):
                s = socket.socket()
                s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
                s.bind(('0.0.0.0', port))
                held.append(s)
            return base
        except OSError:
            continue
        finally:
            for s in held:
                s.close()
    raise RuntimeError('no free block of eight ports')


class Server:
    def __init__(self, binary, folder, env):
        self.folder = folder
        self.out = open(os.path.join(folder, 'server.out'), 'w')
        self.err = open(os.path.join(folder, 'server.err'), 'w')
        self.proc = subprocess.Popen([binary, '--dir', folder, '--no-console'], stdin=subprocess.DEVNULL,
                                     stdout=self.out, stderr=self.err, env=env)

    def log(self):
        with open(os.path.join(self.folder, 'server.out')) as f:
            return f.read()

    def stderr(self):
        with open(os.path.join(self.folder, 'server.err')) as f:
            return f.read()

    def wait_for(self, text):
        deadline = time.monotonic() + WAIT
        while time.monotonic() < deadline:
            if text in self.log():
                return
            if self.proc.poll() is not None:
                raise RuntimeError('the server exited:\n' + self.log() + self.stderr())
            time.sleep(0.05)
        raise RuntimeError(f'the server never logged "{text}":\n' + self.log())

    def stop(self):
        self.proc.terminate()
        try:
            self.proc.wait(30)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        self.out.close()
        self.err.close()


def browser(work, name):
    opts = webdriver.ChromeOptions()
    opts.binary_location = CHROMIUM
    for flag in ('--headless=new', '--no-sandbox', '--disable-dev-shm-usage', '--disable-gpu', '--no-first-run',
                 '--disable-background-networking', '--disable-component-update', '--disable-sync',
                 '--window-size=1280,800', f'--user-data-dir={os.path.join(work, "profile-" + name)}'):
        opts.add_argument(flag)
    downloads = os.path.join(work, 'downloads-' + name)
    os.makedirs(downloads)
    opts.add_experimental_option('prefs', {'download.default_directory': downloads,
                                           'download.prompt_for_download': False})
    opts.set_capability('goog:loggingPrefs', {'browser': 'ALL'})
    driver = webdriver.Chrome(service=Service(CHROMEDRIVER), options=opts)
    driver.execute_cdp_cmd('Browser.setDownloadBehavior', {'behavior': 'allow', 'downloadPath': downloads})
    driver.downloads = downloads
    return driver


def wait(driver, what, condition):
    # The page re-renders its lists as the server answers, so an element found a moment ago may be
    # gone by the time it is looked at: that is a reason to look again, not a failure.
    try:
        return WebDriverWait(driver, WAIT, poll_frequency=0.1,
                             ignored_exceptions=(StaleElementReferenceException,)).until(lambda d: condition(d))
    except Exception as e:
        raise AssertionError(f'timed out waiting for {what}') from e


def text_of(driver, css):
    return driver.execute_script('const e = document.querySelector(arguments[0]); return e ? e.innerText : "";', css)


def click_button(driver, scope_css, label):
    """Clicks the first visible button under `scope_css` whose text holds `label`."""
    def find(d):
        for b in d.find_elements(By.CSS_SELECTOR, f'{scope_css} button'):
            if b.is_displayed() and label in b.text:
                return b
        return None
    for attempt in range(3):
        try:
            wait(driver, f'button "{label}" in {scope_css}', find).click()
            return
        except StaleElementReferenceException:
            if attempt == 2:
                raise


def login(driver, url, user, password, nickname):
    driver.get(url)
    wait(driver, 'the login form', lambda d: d.find_element(By.ID, 'login').is_displayed())
    for field, value in (('login', user), ('password', password), ('nickname', nickname)):
        box = driver.find_element(By.ID, field)
        box.clear()
        box.send_keys(value)
    driver.find_element(By.ID, 'connect').click()
    wait(driver, f'{nickname} to be online', lambda d: d.find_element(By.ID, 'app-view').is_displayed())


def show_tab(driver, tab):
    driver.find_element(By.CSS_SELECTOR, f'.tabs [data-tab={tab}]').click()
    wait(driver, f'the {tab} section', lambda d: d.find_element(By.ID, f'panel-{tab}').is_displayed())


def users_listed(driver):
    return [b.text for b in driver.find_elements(By.CSS_SELECTOR, '#panel-users .user-list button')]


def page_errors(driver):
    return [e['message'] for e in driver.get_log('browser') if e['level'] == 'SEVERE']


def run(args, work):
    base = free_base_port()
    folder = os.path.join(work, 'server')
    os.makedirs(os.path.join(folder, 'News'))
    # A news category as the server's own news database writes it (the fuzz seed of an empty one).
    shutil.copy(os.path.join(args.seeds, 'news_database', 'empty_group'), os.path.join(folder, 'News', 'General.knz'))
    env = dict(os.environ, KESTRIX_ADMIN_PASSWORD='admin-pw', KESTRIX_PASSWORD='admin-pw')
    subprocess.run([args.server, '--dir', folder, '--set', f'port={base}'], check=True, env=env,
                   stdout=subprocess.DEVNULL)
    server = Server(args.server, folder, env)
    drivers = []
    carol = None
    try:
        server.wait_for('Web client at')
        # The command-line client comes from another loopback address, so the connection-flood
        # rule counts the browsers and the terminal apart.
        cli_host = f'127.0.0.2:{base}'
        secret = os.path.join(work, 'secret')
        with open(secret, 'w') as f:
            f.write('user-pw\n')

        def cli(*command, **kw):
            return subprocess.run([args.client, '--login', 'admin', *command], env=env, capture_output=True, text=True,
                                  timeout=WAIT, **kw)

        admin = cli('--json', cli_host, 'account', 'show', 'admin')
        assert admin.returncode == 0, admin.stderr
        access = json.loads(admin.stdout)['access']
        for user in ('alice', 'bob'):
            made = cli(cli_host, 'account', 'add', user, '--new-password-file', secret, '--access', access)
            assert made.returncode == 0, made.stderr

        url = f'http://127.0.0.1:{base + 7}/'
        alice, bob = browser(work, 'alice'), browser(work, 'bob')
        drivers += [alice, bob]
        login(alice, url, 'alice', 'user-pw', 'Alice')
        login(bob, url, 'bob', 'user-pw', 'Bob')
        wait(alice, 'Bob in the user list', lambda d: any('Bob' in u for u in users_listed(d)))

        # Public chat, both ways.
        chat_input = '#panel-chat form.send input'
        alice.find_element(By.CSS_SELECTOR, chat_input).send_keys('Hello from Alice', Keys.ENTER)
        wait(bob, "Alice's line", lambda d: 'Hello from Alice' in text_of(d, '#panel-chat .log'))
        bob.find_element(By.CSS_SELECTOR, chat_input).send_keys('Hi Alice, Bob here', Keys.ENTER)
        wait(alice, "Bob's line", lambda d: 'Hi Alice, Bob here' in text_of(d, '#panel-chat .log'))

        # A private message from Bob to Alice.
        click_button(bob, '#panel-users .user-list', 'Alice')
        click_button(bob, '#panel-users .user-actions', 'Message')
        bob.find_element(By.CSS_SELECTOR, chat_input).send_keys('Just between us', Keys.ENTER)
        wait(bob, 'the message to be sent', lambda d: 'me: Just between us' in text_of(d, '#panel-chat .log'))
        click_button(alice, '#panel-chat .rooms', 'Bob')
        wait(alice, "Bob's private message", lambda d: 'Bob: Just between us' in text_of(d, '#panel-chat .log'))
        click_button(alice, '#panel-chat .rooms', 'Public chat')
        alice.save_screenshot(os.path.join(args.screenshots, 'chat.png'))

        # A file uploaded by Alice and downloaded by Bob: the same bytes, several upload messages.
        payload = os.urandom(700 * 1024 + 123)
        upload = os.path.join(work, 'report.bin')
        with open(upload, 'wb') as f:
            f.write(payload)
        show_tab(alice, 'files')
        alice.find_element(By.ID, 'upload-picker').send_keys(upload)
        wait(alice, 'the upload to finish',
             lambda d: 'Done' in text_of(d, '#panel-files .transfers') or 'failed' in
             d.find_element(By.CSS_SELECTOR, '#panel-files .transfers').get_attribute('innerHTML'))
        assert 'Done' in text_of(alice, '#panel-files .transfers'), text_of(alice, '#panel-files .transfers')
        wait(alice, 'the uploaded file in the listing', lambda d: 'report.bin' in text_of(d, '#panel-files table.files'))
        alice.save_screenshot(os.path.join(args.screenshots, 'files.png'))
        show_tab(bob, 'files')
        click_button(bob, '#panel-files', 'Refresh')
        wait(bob, 'the file in the listing', lambda d: 'report.bin' in text_of(d, '#panel-files table.files'))
        bob.find_element(By.CSS_SELECTOR, '#panel-files button[aria-label="Download report.bin"]').click()
        target = os.path.join(bob.downloads, 'report.bin')
        wait(bob, 'the download to land', lambda d: os.path.exists(target) and os.path.getsize(target) == len(payload))
        with open(target, 'rb') as f:
            assert f.read() == payload, 'the downloaded bytes differ from the uploaded ones'

        # A news article posted by Alice and read by Bob.
        show_tab(alice, 'news')
        click_button(alice, '#panel-news', 'General')
        click_button(alice, '#panel-news', 'New article')
        alice.find_element(By.CSS_SELECTOR, '#panel-news form.compose input').send_keys('Opening night')
        alice.find_element(By.CSS_SELECTOR, '#panel-news form.compose textarea').send_keys('Doors open at eight.')
        click_button(alice, '#panel-news form.compose', 'Post')
        wait(alice, 'the post', lambda d: 'Posted.' in text_of(d, '#panel-news .status'))
        show_tab(bob, 'news')
        click_button(bob, '#panel-news', 'General')
        click_button(bob, '#panel-news .threads', 'Opening night')
        wait(bob, 'the article', lambda d: 'Doors open at eight.' in text_of(d, '#panel-news article'))
        bob.save_screenshot(os.path.join(args.screenshots, 'news.png'))

        # A command-line user: the browsers list Carol and hear her; the terminal lists them.
        carol = subprocess.Popen([args.client, '--login', 'admin', '--name', 'Carol', cli_host, 'chat'], env=env,
                                 stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        wait(alice, 'Carol in the user list', lambda d: any('Carol' in u for u in users_listed(d)))
        carol.stdin.write('Hello from the terminal\n')
        carol.stdin.flush()
        show_tab(alice, 'chat')
        wait(alice, "Carol's line", lambda d: 'Hello from the terminal' in text_of(d, '#panel-chat .log'))
        listed = cli('--name', 'Dave', cli_host, 'users')
        assert listed.returncode == 0, listed.stderr
        for name in ('Alice', 'Bob', 'Carol'):
            assert name in listed.stdout, listed.stdout
        carol.stdin.write('/quit\n')
        carol.stdin.flush()
        carol.wait(WAIT)
        wait(alice, 'Carol to leave', lambda d: not any('Carol' in u for u in users_listed(d)))

        for name, d in (('Alice', alice), ('Bob', bob)):
            errors = page_errors(d)
            assert not errors, f"{name}'s page logged errors: {errors}"
    finally:
        for d in drivers:
            d.quit()
        if carol and carol.poll() is None:
            carol.kill()
        server.stop()
    report = server.stderr()
    assert 'ERROR: AddressSanitizer' not in report and 'runtime error' not in report, report


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('--server', required=True)
    parser.add_argument('--client', required=True)
    parser.add_argument('--seeds', required=True, help='tests/fuzz/corpus')
    args = parser.parse_args()
    missing = [p for p in (CHROMIUM, CHROMEDRIVER) if not os.access(p, os.X_OK)]
    if webdriver is None:
        missing.append('python3-selenium')
    if missing:
        print('SKIPPED: the browser tests need ' + ', '.join(missing) + ' (make deps installs them)')
        return 77
    with tempfile.TemporaryDirectory(prefix='kx-web-') as work:
        args.screenshots = os.environ.get('KX_WEB_SCREENSHOTS') or os.path.join(work, 'screenshots')
        os.makedirs(args.screenshots, exist_ok=True)
        run(args, work)
    print('web_browser: 1 passed, 0 failed')
    return 0


if __name__ == '__main__':
    sys.exit(main())

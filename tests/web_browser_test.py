#!/usr/bin/python3
"""quillo-web's pages in a real headless Chromium.

The real quillod writes a log tree on a temporary appliance tree laid out
as scripts/demo.sh lays out its sandbox (examples/appliance); the real
quillo-send sends it access rows from several users, a failed one, one
whose path is markup and one that the example configuration's
"secret-docs" condition copies to the alert log. quillo-web serves the
tree on a free loopback port, and Chromium, driven by Selenium:

  - logs in through the login page (the dashboard sends it there);
  - finds the dashboard's bar chart drawn and its tables filled, from
    exactly the API requests the dashboard is meant to make;
  - searches for one user and finds the table's cells to be the rows
    quillo-query prints for that user;
  - shows the markup path as text: no image element, no request for "x",
    no alert dialog;
  - with Live on, shows a row sent after it was turned on;
  - lists the alert row on the alerts page;
  - saves screenshots at a laptop's and a phone's width, where the page
    must not be wider than the screen;
  - logs no Content-Security-Policy refusal or script error.

Exit status 0 when all hold, 1 with the reason otherwise, 77 (skipped)
without chromium, chromedriver or python3-selenium. Ends only the
processes it started and removes its temporary folders.
"""

import argparse
import json
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import traceback
import urllib.parse

SKIP = 77
BOUND = 20  # seconds, for every wait
LAPTOP = (1366, 900)
PHONE = (390, 844)
HOSTILE = '<img src=x onerror=alert(1)>'
PAGER_ROWS = 130
ACCESS_COLUMNS = ['time', 'user', 'host', 'ip', 'op', 'result', 'share', 'path']


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


def wait_for(what, predicate, bound=BOUND):
    """Polls `predicate` until it gives a true value, for at most `bound` s."""
    until = time.monotonic() + bound
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > until:
            raise Failure('timed out waiting for ' + what)
        time.sleep(0.05)


class Appliance:
    """A temporary appliance tree with the real quillod running on it."""

    def __init__(self, args, temp):
        self.args = args
        self.root = os.path.join(temp, 'appliance')
        shutil.copytree(args.examples, self.root)
        for d in ['tmp', 'var/lock', 'var/log', 'mnt/data/conf/quillo', 'logs']:
            os.makedirs(os.path.join(self.root, d), exist_ok=True)
        config = os.path.join(self.root, 'mnt/data/xmlconf/config-quillo.xml')
        with open(config) as f:
            text = f.read()
        text = text.replace('<path>/mnt/log</path>',
                            '<path>%s/logs</path>' % self.root)
        # The example's containment script acts on Samba; a stand-in that
        # does nothing takes its place, as in the demo.
        stand_in = os.path.join(self.root, 'mnt/data/bin/quillo-contain.sh')
        with open(stand_in, 'w') as f:
            f.write('#!/bin/sh\nexit 0\n')
        os.chmod(stand_in, 0o755)
        text = text.replace('<script>/mnt/data/bin/',
                            '<script>%s/mnt/data/bin/' % self.root)
        with open(config, 'w') as f:
            f.write(text)
        self.env = dict(os.environ, QUILLO_ROOT=self.root, TZ='UTC')
        self.log = open(os.path.join(temp, 'quillod.out'), 'w')
        self.daemon = subprocess.Popen([args.quillod], env=self.env,
                                       stdout=self.log, stderr=subprocess.STDOUT)
        wait_for('quillod to listen', self.listens)

    def listens(self):
        check(self.daemon.poll() is None, 'quillod ended early')
        with socket.socket(socket.AF_UNIX) as s:
            try:
                s.connect(os.path.join(self.root, 'tmp/quillo'))
                return True
            except OSError:
                return False

    def send(self, *fields):
        subprocess.run([self.args.quillo_send, '--access', *fields], env=self.env,
                       check=True, timeout=BOUND, stdout=subprocess.DEVNULL)

    def stream(self, records):
        """Sends access records (lists of fields) in one quillo-send --stream."""
        text = ''.join('access\t' + '\t'.join(r) + '\n' for r in records)
        subprocess.run([self.args.quillo_send, '--stream', '--format=fields'], env=self.env,
                       input=text, text=True, check=True, timeout=BOUND,
                       stdout=subprocess.DEVNULL)

    def query(self, *options):
        return subprocess.run([self.args.quillo_query, *options], env=self.env,
                              check=True, timeout=BOUND, capture_output=True,
                              text=True).stdout

    def stop(self):
        stop_process(self.daemon)
        self.log.close()


class Web:
    """quillo-web on a free loopback port with a token file of its own."""

    def __init__(self, args, appliance, temp):
        self.token_file = os.path.join(temp, 'web.token')
        self.out = open(os.path.join(temp, 'web.out'), 'w+')
        self.process = subprocess.Popen(
            [args.quillo_web, '--listen', '127.0.0.1:0', '--token-file', self.token_file],
            env=appliance.env, stdout=self.out, stderr=subprocess.STDOUT)
        self.port = wait_for('quillo-web to listen', self.listening_port)
        self.base = 'http://127.0.0.1:%d' % self.port
        with open(self.token_file) as f:
            self.token = f.readline().strip()

    def listening_port(self):
        check(self.process.poll() is None, 'quillo-web ended early')
        self.out.seek(0)
        text = self.out.read()
        at = text.find('listening on port ')
        return int(text[at + 18:].split(';')[0]) if at >= 0 else 0

    def stop(self):
        stop_process(self.process)
        self.out.close()


def stop_process(process):
    if process.poll() is None:
        process.terminate()
        try:
            process.wait(timeout=BOUND)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


def start_browser(temp):
    options = webdriver.ChromeOptions()
    options.binary_location = shutil.which('chromium')
    # A container's /dev/shm may be too small for the renderer.
    for flag in ['--headless=new', '--disable-gpu', '--no-first-run',
                 '--disable-dev-shm-usage',
                 '--user-data-dir=' + os.path.join(temp, 'chromium'),
                 '--window-size=%d,%d' % LAPTOP]:
        options.add_argument(flag)
    if os.geteuid() == 0:
        options.add_argument('--no-sandbox')  # Chromium refuses root otherwise
    options.set_capability('goog:loggingPrefs', {'browser': 'ALL'})
    service = Service(shutil.which('chromedriver'))
    return webdriver.Chrome(service=service, options=options)


class Browser:
    """The Chromium that Selenium started, ended with its chromedriver."""

    def __init__(self, driver):
        self.driver = driver

    def stop(self):
        self.driver.quit()


def table(driver, box):
    """The text of each cell of the table in the element `box`, by row."""
    return driver.execute_script(
        "return [...document.querySelectorAll('#' + arguments[0] + ' tbody tr')]"
        "  .map((tr) => [...tr.cells].map((td) => td.textContent));", box)


def api_requests(driver):
    """The API requests of the page loaded last, as path and query."""
    names = driver.execute_script(
        "return performance.getEntriesByType('resource').map((e) => e.name);")
    return sorted(n[n.index('/api/'):] for n in names if '/api/' in n)


def status_text(driver):
    return driver.find_element(By.ID, 'status').text


def write_rows(appliance):
    for user, ip, op, result, error, share, path in [
            ('ann', '10.0.0.5', 'open', '1', '0', 'docs', 'r|q3/plan.txt'),
            ('bob', '10.0.0.6', 'delete', '0', '13', 'media', 'w|old.mp4'),
            ('ann', '10.0.0.5', 'open', '1', '0', 'media', 'w|film, cut.mp4'),
            ('cy', '10.0.0.7', 'mkdir', '1', '0', 'docs', 'w|new'),
            ('ann', '10.0.0.5', 'delete', '1', '0', 'docs', 'w|q3/old.txt'),
            ('eve', '10.0.0.8', 'open', '1', '0', 'docs', 'r|' + HOSTILE),
            ('alice', '10.0.0.9', 'open', '1', '0', 'docs', 'r|secret/plan.txt')]:
        appliance.send(user, 'pc-' + user, ip, op, result, error, share, path)
    # Enough rows of one user for two pages of a search.
    appliance.stream([['pager', 'pc-pager', '10.0.0.10', 'open', '1', '0', 'docs',
                       'r|pages/%03d.txt' % i] for i in range(PAGER_ROWS)])
    # The secret-docs condition copies alice's row to the alert log.
    wait_for('the alert row', lambda: appliance.query('--kind', 'alert').strip())


def log_in(driver, web):
    driver.get(web.base + '/')
    WebDriverWait(driver, BOUND).until(lambda d: '/login?next=%2F' in d.current_url)
    driver.find_element(By.ID, 'token').send_keys(web.token)
    driver.find_element(By.CSS_SELECTOR, 'form#login button').click()
    WebDriverWait(driver, BOUND).until(lambda d: d.current_url == web.base + '/')
    # A `next` that names another host leads to the dashboard instead (the
    # other host is a closed loopback port: nothing leaves the machine).
    for elsewhere in ['//127.0.0.2:1/x', '/\\127.0.0.2:1/x', 'http://127.0.0.2:1/x']:
        driver.get(web.base + '/login?next=' + urllib.parse.quote(elsewhere, safe=''))
        driver.find_element(By.ID, 'token').send_keys(web.token)
        driver.find_element(By.CSS_SELECTOR, 'form#login button').click()
        WebDriverWait(driver, BOUND).until(lambda d: not d.current_url.startswith(web.base + '/login'))
        check(driver.current_url == web.base + '/', 'next=%s led to %s' % (elsewhere, driver.current_url))


def check_dashboard(driver, appliance):
    tallest = wait_for('the bar chart', lambda: driver.execute_script(
        "return Math.max(0, ...[...document.querySelectorAll('#chart svg rect')]"
        "  .map((r) => r.height.baseVal.value));"))
    check(tallest > 0, 'no bar of the chart has a height')
    wait_for('the tables', lambda: table(driver, 'alerts'))
    check(status_text(driver) == '', 'dashboard status: ' + status_text(driver))
    want = ['/api/count?kind=access&by=%s&since=-24h' % by
            for by in ['hour', 'user', 'share', 'ip', 'op']]
    want += ['/api/rows?kind=access&result=fail&since=-24h&last=20',
             '/api/rows?kind=alert&since=-24h&last=20']
    check(api_requests(driver) == sorted(want), 'dashboard requests: %s' % api_requests(driver))
    check([r[:2] for r in table(driver, 'top-user')][:2] == [['pager', str(PAGER_ROWS)], ['ann', '3']],
          'top users: %s' % table(driver, 'top-user'))
    failed = table(driver, 'failed')
    check(len(failed) == 1 and failed[0][1] == 'bob' and failed[0][5].startswith('fail'),
          'failed accesses: %s' % failed)
    check([r[7] for r in table(driver, 'alerts')] == ['secret/plan.txt'],
          'alerts: %s' % table(driver, 'alerts'))
    # Another range asks again with its own `since`, and the address keeps it.
    Select(driver.find_element(By.ID, 'range')).select_by_value('-7d')
    wait_for('the 7-day requests',
             lambda: '/api/rows?kind=alert&since=-7d&last=20' in api_requests(driver))
    check(driver.current_url.endswith('/?range=-7d'), 'range not kept: ' + driver.current_url)


def search(driver, web, **filters):
    driver.get(web.base + '/search')
    for name, value in filters.items():
        driver.find_element(By.NAME, name).send_keys(value)
    driver.find_element(By.CSS_SELECTOR, 'form#filters button').click()
    WebDriverWait(driver, BOUND).until(
        lambda d: '?kind=access&' in d.current_url and status_text(d).startswith('rows'))


def check_search(driver, web, appliance):
    search(driver, web, user='ann')
    check(driver.current_url == web.base + '/search?kind=access&user=ann',
          'the filters are not in the address: ' + driver.current_url)
    want = [[row[c] for c in ACCESS_COLUMNS] for row in map(
        json.loads, appliance.query('--user', 'ann', '--output', 'json').splitlines())]
    check(len(want) == 3, 'quillo-query --user ann: %s' % want)
    check(table(driver, 'results') == want, 'search for ann: %s, not %s'
          % (table(driver, 'results'), want))


def check_paging(driver, web):
    search(driver, web, user='pager')
    first = [r[7] for r in table(driver, 'results')]
    check(first == ['pages/%03d.txt' % i for i in range(100)], 'page 1: %s' % first[:3])
    driver.find_element(By.ID, 'next').click()
    wait_for('page 2', lambda: status_text(driver).startswith('rows 101–%d' % PAGER_ROWS))
    check(driver.current_url.endswith('/search?kind=access&user=pager&after=100'),
          'page 2 at ' + driver.current_url)
    second = [r[7] for r in table(driver, 'results')]
    check(second == ['pages/%03d.txt' % i for i in range(100, PAGER_ROWS)], 'page 2: %s' % second[:3])
    check(not driver.find_element(By.ID, 'next').is_displayed(), 'a next page after the last')
    driver.find_element(By.ID, 'prev').click()
    wait_for('page 1 again', lambda: status_text(driver).startswith('rows 1–100 '))


def check_hostile_path(driver, web):
    search(driver, web, user='eve')
    rows = table(driver, 'results')
    check(len(rows) == 1 and rows[0][7] == HOSTILE, 'the markup path: %s' % rows)
    check(not driver.find_elements(By.CSS_SELECTOR, 'main img'), 'the path became an image')
    fetched = driver.execute_script(
        "return performance.getEntriesByType('resource').map((e) => e.name);")
    check(not [n for n in fetched if n.endswith('/x')], 'the page asked for x: %s' % fetched)
    try:
        text = driver.switch_to.alert.text
        raise Failure('an alert dialog is open: ' + text)
    except NoAlertPresentException:
        pass


def check_live(driver, web, appliance):
    search(driver, web, user='ann')
    driver.find_element(By.ID, 'live').click()
    wait_for('the live stream to catch up', lambda: status_text(driver).startswith('live: new rows'))
    check(len(table(driver, 'results')) == 3, 'live start: %s' % table(driver, 'results'))
    # Another user's row first: the live table keeps to the search's user.
    appliance.send('bob', 'pc-bob', '10.0.0.6', 'open', '1', '0', 'docs', 'r|live/other.txt')
    appliance.send('ann', 'pc-ann', '10.0.0.5', 'open', '1', '0', 'docs', 'r|live/new.txt')
    wait_for('the new row', lambda: [r[7] for r in table(driver, 'results')][-1:] == ['live/new.txt'])
    check([r[1] for r in table(driver, 'results')] == ['ann'] * 4,
          'live rows: %s' % table(driver, 'results'))
    # Off again: the stream ends and the page shows the search's rows.
    driver.find_element(By.ID, 'live').click()
    wait_for('the rows after live', lambda: status_text(driver).startswith('rows 1–4'))
    check([r[7] for r in table(driver, 'results')][-1] == 'live/new.txt', 'rows after live')


def check_alerts(driver, web):
    driver.get(web.base + '/alerts')
    wait_for('the alert rows', lambda: status_text(driver).startswith('alert rows'))
    rows = table(driver, 'results')
    check([(r[1], r[7]) for r in rows] == [('alice', 'secret/plan.txt')], 'alerts page: %s' % rows)


def screenshot(driver, folder, name, size):
    """Saves the whole page at `size`'s width; the page must fit it."""
    width, height = size
    metrics = {'width': width, 'height': height, 'deviceScaleFactor': 1, 'mobile': width < 600}
    driver.execute_cdp_cmd('Emulation.setDeviceMetricsOverride', metrics)
    # The chart is drawn again for the new width.
    wait_for('the page at %d px' % width, lambda: driver.execute_script(
        "const box = document.getElementById('chart');"
        "if (!box) return true;"
        "const svg = box.querySelector('svg');"
        "return svg !== null && Number(svg.getAttribute('width')) ==="
        "  Math.max(box.clientWidth, 280);"))
    wide = driver.execute_script('return document.documentElement.scrollWidth;')
    check(wide <= width, '%s is %d px wide at %d px' % (name, wide, width))
    metrics['height'] = min(driver.execute_script(
        'return document.documentElement.scrollHeight;'), 4000)
    driver.execute_cdp_cmd('Emulation.setDeviceMetricsOverride', metrics)
    driver.save_screenshot(os.path.join(folder, name + '.png'))


def screenshots(driver, args, web, page):
    """The page loaded last (the dashboard afresh) at both widths."""
    if page == 'dashboard':
        driver.get(web.base + '/')
        wait_for('the dashboard', lambda: table(driver, 'alerts'))
    for width, size in [('laptop', LAPTOP), ('phone', PHONE)]:
        screenshot(driver, args.screenshots, '%s-%s' % (page, width), size)
    driver.execute_cdp_cmd('Emulation.clearDeviceMetricsOverride', {})


def check_console(driver):
    bad = []
    for entry in driver.get_log('browser'):
        message = entry.get('message', '')
        if 'Content Security Policy' in message:
            bad.append(message)
        elif entry.get('level') == 'SEVERE' and 'status of 401' not in message:
            bad.append(message)
    check(not bad, 'the console has errors: %s' % bad)


def run(args, temp):
    started = []
    try:
        appliance = Appliance(args, temp)
        started.append(appliance)
        write_rows(appliance)
        web = Web(args, appliance, temp)
        started.append(web)
        driver = start_browser(temp)
        started.append(Browser(driver))
        steps = [('login', lambda: log_in(driver, web)),
                 ('dashboard', lambda: check_dashboard(driver, appliance)),
                 ('dashboard screenshots', lambda: screenshots(driver, args, web, 'dashboard')),
                 ('search', lambda: check_search(driver, web, appliance)),
                 ('search screenshots', lambda: screenshots(driver, args, web, 'search')),
                 ('paging', lambda: check_paging(driver, web)),
                 ('hostile path', lambda: check_hostile_path(driver, web)),
                 ('live', lambda: check_live(driver, web, appliance)),
                 ('alerts', lambda: check_alerts(driver, web)),
                 ('console', lambda: check_console(driver))]
        for name, step in steps:
            try:
                step()
            except Exception:
                driver.save_screenshot(os.path.join(args.screenshots, 'failed-step.png'))
                print('web_browser_test: step "%s" failed at %s' % (name, driver.current_url))
                raise
            print('web_browser_test: %s: ok' % name)
        return 0
    finally:
        for process in reversed(started):
            process.stop()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    for name in ['quillod', 'quillo-send', 'quillo-query', 'quillo-web', 'examples', 'screenshots']:
        parser.add_argument('--' + name, required=True)
    args = parser.parse_args()
    missing = [p for p in ['chromium', 'chromedriver'] if shutil.which(p) is None]
    global webdriver, By, Select, WebDriverWait, Service, NoAlertPresentException
    try:
        from selenium import webdriver
        from selenium.common.exceptions import NoAlertPresentException
        from selenium.webdriver.chrome.service import Service
        from selenium.webdriver.common.by import By
        from selenium.webdriver.support.ui import Select, WebDriverWait
    except ImportError:
        missing.append('python3-selenium')
    if missing:
        print('web_browser_test: skipped: no %s' % ', '.join(missing))
        return SKIP
    os.makedirs(args.screenshots, exist_ok=True)
    stale = os.path.join(args.screenshots, 'failed-step.png')
    if os.path.exists(stale):
        os.remove(stale)
    temp = tempfile.mkdtemp(prefix='quillo-web-browser.')
    try:
        return run(args, temp)
    except Exception as e:  # a failed check, a WebDriver time-out, a crash
        if not isinstance(e, Failure):
            traceback.print_exc()
        print('web_browser_test: FAILED: %s' % e)
        for log in ['web.out', 'quillod.out']:
            path = os.path.join(temp, log)
            if os.path.exists(path):
                with open(path) as f:
                    print('--- %s\n%s' % (log, f.read()[-4000:]))
        return 1
    finally:
        shutil.rmtree(temp, ignore_errors=True)


if __name__ == '__main__':
    sys.exit(main())

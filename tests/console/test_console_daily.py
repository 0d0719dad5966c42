#!/usr/bin/python3
"""The web console in daily use, in headless Chromium at a desktop's 1280x800 and
a phone's 390x844: a host that wants a token (given in a ?station= link), a
library of a few hundred test cases and more plans than a page holds. At each
size it checks the layout (no page wider than the window, the folding
navigation, Save in reach and never under a notice), accessibility with
axe-core (no violation of serious or critical impact in any view), the
test tree's keys, paging and search, the checks before a save, the messages,
and that no token is stored or shown. Then it kills the host under a running
job and starts it again: the page reconnects by itself and shows what the
host recorded. Screenshots of the library, a plan, a run and a report at
both sizes land in OUT/screenshots/.

axe-core comes from npm at the version tests/console/package-lock.json pins,
installed into OUT/npm/ (the console itself never loads it).

Usage: test_console_daily.py --bin BUILD/bin --source SOURCE_DIR --out OUT_DIR
"""

import argparse
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import unittest
import urllib.parse

from selenium import webdriver
from selenium.common.exceptions import (ElementClickInterceptedException, ElementNotInteractableException,
                                        NoSuchElementException, StaleElementReferenceException)
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys
from selenium.webdriver.support.ui import Select, WebDriverWait

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from test_console import Program, static_server_command, wait_for_console  # noqa: E402

ARGS = None
WAIT_S = 30
NPM_TIMEOUT_S = 240
TOKEN = 'daily-7f3a9c-secret'
SIZES = {'desktop': (1280, 800), 'phone': (390, 844)}
# More than a page of each: the tree shows 200 test cases, the plan list 50.
FOLDERS = ['area-0', 'area-1', 'area-2', 'area-3']
TESTCASES = 230
PLAN_TAGS = {'nightly': 20, 'smoke': 20, 'rf': 17}
LONG_TITLE = ('Supply accepts 12 V / 2 A after a cold start with the fan off and the battery at its lowest '
              'allowed charge, read twice')
SUPPLY = {'MODULE_NAME': 'Power', 'GROUP_NAME': 'Supply', 'DATA': [{'INDEX': 0, 'VALUE': 12}, {'INDEX': 1, 'VALUE': 2}],
          'execute_script': '(function (local, global) { return local.Voltage === 12; })'}


def install_axe(out_dir):
    """npm ci of the pinned axe-core into OUT/npm; the path of axe.min.js. Fails
    clearly (never hangs) when npm or its registry cannot be reached."""
    here = os.path.dirname(os.path.abspath(__file__))
    target = os.path.join(out_dir, 'npm')
    os.makedirs(target, exist_ok=True)
    for name in ('package.json', 'package-lock.json'):
        shutil.copy(os.path.join(here, name), target)
    with open(os.path.join(target, 'package-lock.json')) as lock:
        version = json.load(lock)['packages']['node_modules/axe-core']['version']
    module = os.path.join(target, 'node_modules', 'axe-core')
    try:
        with open(os.path.join(module, 'package.json')) as installed:
            if json.load(installed).get('version') == version:
                return os.path.join(module, 'axe.min.js')
    except OSError:
        pass
    npm = shutil.which('npm')
    if not npm:
        raise AssertionError('npm is not installed (tools/deps.sh installs it); it brings the pinned axe-core')
    command = [npm, 'ci', '--ignore-scripts', '--no-audit', '--no-fund', '--prefer-offline',
               '--fetch-retries=1', '--fetch-timeout=30000', '--fetch-retry-maxtimeout=30000']
    try:
        done = subprocess.run(command, cwd=target, stdin=subprocess.DEVNULL, capture_output=True, text=True,
                              timeout=NPM_TIMEOUT_S)
    except subprocess.TimeoutExpired as error:
        raise AssertionError(f'npm ci of axe-core {version} took more than {NPM_TIMEOUT_S} s: '
                             'is the npm registry reachable?') from error
    if done.returncode != 0:
        raise AssertionError(f'npm ci could not install axe-core {version} (is the npm registry reachable?):\n'
                             f'{done.stderr[-3000:]}')
    return os.path.join(module, 'axe.min.js')


class DailyConsoleTest(unittest.TestCase):
    seen = False   # the browser has connected to the station before

    @classmethod
    def setUpClass(cls):
        cls.programs = []
        cls.work = tempfile.mkdtemp(prefix='kiv-console-daily-')
        cls.shots = os.path.join(ARGS.out, 'screenshots')
        os.makedirs(cls.shots, exist_ok=True)
        try:
            with open(install_axe(ARGS.out)) as axe:
                cls.axe_source = axe.read()
            cls.start_station()
            cls.seed()
            cls.start_browser()
        except BaseException:
            cls.tearDownClass()
            raise

    @classmethod
    def start_station(cls):
        examples = os.path.join(ARGS.source, 'examples')
        emulator = Program([os.path.join(ARGS.bin, 'controller-emulator'), '--port', '0',
                            '--template', os.path.join(examples, 'device-template.json')])
        cls.programs.append(emulator)
        cls.controller = emulator.wait_for(r'Listening on (ws://\S+)').group(1)
        server = Program(static_server_command(ARGS.source, ARGS.bin, cls.work))
        cls.programs.append(server)
        cls.console = wait_for_console(server)

        cls.host_dir = os.path.join(cls.work, 'host')
        templates = os.path.join(cls.host_dir, 'Data', 'AutoTestTpl')
        os.makedirs(templates)
        shutil.copy(os.path.join(examples, 'templates', 'smoke.json'), templates)
        with open(os.path.join(examples, 'device-template.json')) as device, \
                open(os.path.join(templates, 'bench-device.json'), 'w') as out:
            json.dump([json.load(device)], out)
        shutil.copy(os.path.join(ARGS.bin, 'autotest-host'), cls.host_dir)
        cls.token_file = os.path.join(cls.work, 'token')
        with open(cls.token_file, 'w') as token:
            token.write(TOKEN + '\n')
        cls.host = cls.start_host('0')
        cls.station_url = cls.host.wait_for(r'Listening on (ws://\S+)').group(1).rstrip('/')
        cls.port = urllib.parse.urlsplit(cls.station_url).port

    @classmethod
    def start_host(cls, port):
        # A restarted host asks the static server in mode "remote", which
        # answers at once rather than the default address.
        host = Program([os.path.join(cls.host_dir, 'autotest-host'), '--port', str(port), '--controller', cls.controller,
                        '--allow-origin', cls.console, '--token', cls.token_file,
                        '--remote-hosts', f'{cls.console}/api,{cls.console}/api'],
                       env=dict(os.environ, KIV_LOG_LEVEL='2'))
        cls.programs.append(host)
        return host

    @classmethod
    def client(cls, *requests):
        done = subprocess.run([os.path.join(ARGS.bin, 'autotest-client'), '--url', cls.station_url,
                               '--token', cls.token_file, '-'],
                              input=''.join(json.dumps(request) + '\n' for request in requests),
                              capture_output=True, text=True, timeout=120)
        if done.returncode not in (0, 4):
            raise AssertionError(f'autotest-client: {done.returncode} {done.stderr}')
        return [json.loads(line) for line in done.stdout.splitlines() if line.strip()]

    @classmethod
    def seed(cls):
        cls.client({'CMD': 'switch_state', 'state': 'local', 'SEQ': 0})
        requests = []
        for i in range(TESTCASES):
            folder = f'{FOLDERS[i % len(FOLDERS)]}/group-{i % 6}'
            title = LONG_TITLE if i == 7 else f'Case {i:03d} of {folder}'
            requests.append({'CMD': 'add_tc', 'SEQ': i + 1, 'testcase': {
                'title': title, 'path': folder, 'projectid': 1, 'content': json.dumps(SUPPLY)}})
        requests.append({'CMD': 'add_tc', 'SEQ': 9999, 'testcase': {
            'title': 'Top-level check', 'path': '', 'projectid': 1, 'content': json.dumps(SUPPLY)}})
        replies = cls.client(*requests)
        ids = {reply['SEQ']: reply['testcaseid'] for reply in replies if reply.get('result') == 'ok'}
        assert len(ids) == TESTCASES + 1, replies[-3:]
        cls.long_id = ids[8]
        plans = []
        for tag, count in PLAN_TAGS.items():
            for n in range(count):
                plans.append({'CMD': 'create_plan', 'SEQ': len(plans) + 1, 'projectid': 1, 'name': f'{tag} plan {n:02d}',
                              'tags': [tag], 'content': json.dumps({'case_stratepy': [[], []]})})
        plans.append({'CMD': 'create_plan', 'SEQ': len(plans) + 1, 'projectid': 1, 'name': 'Hold the bench',
                      'tags': ['hold'], 'content': json.dumps({'case_stratepy': [[{'type': 's_deplay', 'time': 600000}]]})})
        created = [reply['planid'] for reply in sorted(cls.client(*plans), key=lambda reply: reply['SEQ'])]
        cls.plan_count = len(created)
        cls.hold_plan = created[-1]
        cls.smoke_plan = created[PLAN_TAGS['nightly']]
        syncs = [{'CMD': 'sync_plan', 'SEQ': n, 'planid': plan, 'tclist': [ids[1], ids[2]]} for n, plan in enumerate(created[:-1])]
        syncs.append({'CMD': 'sync_plan', 'SEQ': 999, 'planid': cls.hold_plan, 'tclist': [ids[1]]})
        assert all(reply.get('result') == 'ok' for reply in cls.client(*syncs))
        cls.total = TESTCASES + 1
        cls.can_check_script = 'not support' not in cls.client(
            {'CMD': 'check_script', 'SEQ': 1, 'script': '(function () { return true; })'})[0].get('result', '')

    @classmethod
    def start_browser(cls):
        options = webdriver.ChromeOptions()
        options.binary_location = '/usr/bin/chromium'
        for argument in ('--headless=new', '--no-sandbox', '--disable-dev-shm-usage', '--disable-gpu',
                         '--window-size=1280,900', f'--user-data-dir={cls.work}/profile'):
            options.add_argument(argument)
        cls.driver = webdriver.Chrome(service=Service('/usr/bin/chromedriver'), options=options)

    @classmethod
    def tearDownClass(cls):
        driver = getattr(cls, 'driver', None)
        if driver:
            driver.quit()
        for program in reversed(cls.programs):
            program.stop()
        shutil.rmtree(cls.work, ignore_errors=True)

    # Helpers -----------------------------------------------------------------

    def wait(self, condition, message='', timeout=WAIT_S):
        return WebDriverWait(self.driver, timeout, ignored_exceptions=(StaleElementReferenceException,)).until(
            condition, message)

    def css(self, selector):
        return self.driver.find_element(By.CSS_SELECTOR, selector)

    def all(self, selector):
        return self.driver.find_elements(By.CSS_SELECTOR, selector)

    def js(self, script, *arguments):
        return self.driver.execute_script(script, *arguments)

    def visible(self, selector):
        def shown(driver):
            found = [element for element in driver.find_elements(By.CSS_SELECTOR, selector) if element.is_displayed()]
            return found[0] if found else False
        return self.wait(shown, selector)

    def click(self, selector):
        def attempt(driver):
            try:
                element = driver.find_element(By.CSS_SELECTOR, selector)
                if not (element.is_displayed() and element.is_enabled()):
                    return False
                element.click()
                return True
            except (NoSuchElementException, StaleElementReferenceException, ElementClickInterceptedException,
                    ElementNotInteractableException):
                return False
        self.wait(attempt, selector)

    def type(self, selector, text):
        def attempt(driver):
            try:
                element = driver.find_element(By.CSS_SELECTOR, selector)
                element.clear()
                element.send_keys(text)
                return element.get_attribute('value') == text
            except (NoSuchElementException, StaleElementReferenceException, ElementNotInteractableException):
                return False
        self.wait(attempt, f'{selector} holds {text!r}')

    def text_is(self, selector, pattern):
        return self.wait(lambda d: re.search(pattern, self.css(selector).text), f'{selector} says {pattern!r}')

    def size(self, name):
        width, height = SIZES[name]
        self.driver.execute_cdp_cmd('Emulation.setDeviceMetricsOverride',
                                    {'width': width, 'height': height, 'deviceScaleFactor': 1, 'mobile': False})
        if self.driver.current_url.startswith('http'):
            self.wait(lambda d: self.js('return window.innerWidth') == width, f'viewport {width} wide')

    def phone(self):
        return self.js('return window.innerWidth') < 600

    def go(self, view):
        if self.phone():
            self.assertFalse(self.css('#views-nav').is_displayed(), 'the navigation is folded on a phone')
            # Up to the top bar, as a thumb would go.
            self.js('window.scrollTo(0, 0)')
            self.click('#menu-button')
            self.wait(lambda d: self.css('#menu-button').get_attribute('aria-expanded') == 'true',
                      'the navigation unfolds')
        self.click(f'.nav[data-view="{view}"]')
        self.visible(f'#{view}')
        if self.phone():
            self.wait(lambda d: not self.css('#views-nav').is_displayed(), 'the navigation folds after a choice')

    def shot(self, name):
        self.js("document.querySelectorAll('.notice.info').forEach((n) => n.remove())")
        self.driver.save_screenshot(os.path.join(self.shots, f'{name}.png'))

    def dismiss_notices(self):
        self.js("document.querySelectorAll('.notice').forEach((n) => n.remove())")

    def assert_fits(self, where):
        widths = self.js('return [document.documentElement.scrollWidth, window.innerWidth]')
        if widths[0] > widths[1]:
            wide = self.js('''return [...document.querySelectorAll('body *')].filter((el) => el.getClientRects().length
                && el.getBoundingClientRect().right > window.innerWidth + 1)
                .filter((el) => !el.parentElement.closest('.table-scroll'))
                .map((el) => el.tagName + '.' + el.className + '#' + el.id + ' ' + Math.round(el.getBoundingClientRect().right)
                    + ' ' + getComputedStyle(el).position).slice(0, 12);''')
            spill = self.js('''return [...document.querySelectorAll('*')].filter((el) => el.scrollWidth > el.clientWidth + 1
                && getComputedStyle(el).overflowX === 'visible').map((el) => el.tagName + '.' + el.className + '#' + el.id
                + ' ' + el.scrollWidth + '/' + el.clientWidth).slice(0, 12);''')
            self.fail(f'{where}: the page is {widths[0]} px wide in a window of {widths[1]}: {wide} {spill}')

    def assert_no_token(self, where):
        shown = self.js('return [location.href, JSON.stringify(localStorage), JSON.stringify(sessionStorage), '
                        'document.body.innerText, document.getElementById("station-url").value]')
        for text in shown:
            self.assertNotIn(TOKEN, text, f'{where}: the token shows or is stored')

    def axe(self, where):
        """axe-core on the page as it is: no violation of serious or critical impact."""
        if not self.js('return typeof window.axe === "object"'):
            self.js(self.axe_source)
        result = self.driver.execute_async_script(
            'const done = arguments[arguments.length - 1];'
            'axe.run(document, {resultTypes: ["violations"]}).then((r) => done(r.violations), (e) => done(String(e)));')
        self.assertIsInstance(result, list, result)
        bad = [f"{v['id']} ({v['impact']}): {v['help']} at {[n['target'] for n in v['nodes'][:3]]}"
               for v in result if v['impact'] in ('serious', 'critical')]
        self.assertEqual(bad, [], f'axe-core at {where}')

    def assert_focus_visible(self, where, presses=30):
        """Tab through the page: every element that takes the focus shows it."""
        self.js('document.activeElement && document.activeElement.blur(); window.scrollTo(0, 0)')
        body = self.css('body')
        body.send_keys(Keys.TAB)
        seen = set()
        for _ in range(presses):
            state = self.js('''
                const el = document.activeElement;
                if (!el || el === document.body) return null;
                const target = el.getAttribute('role') === 'treeitem' ? el.querySelector('.tree-row') : el;
                const style = getComputedStyle(target);
                const outline = style.outlineStyle !== 'none' && parseFloat(style.outlineWidth) >= 2;
                return [el.outerHTML.slice(0, 90), outline || style.boxShadow !== 'none'];''')
            if state is None:
                break
            self.assertTrue(state[1], f'{where}: no visible focus on {state[0]}')
            seen.add(state[0])
            self.driver.switch_to.active_element.send_keys(Keys.TAB)
        self.assertGreater(len(seen), 5, where)

    def assert_apart(self, selector, where):
        """The element is in the window and no notice covers it."""
        rects = self.js('''
            const r = (el) => { const b = el.getBoundingClientRect(); return [b.left, b.top, b.right, b.bottom]; };
            return [r(document.querySelector(arguments[0])), [...document.querySelectorAll('.notice')].map(r),
                    window.innerHeight];''', selector)
        button, notices, height = rects
        self.assertGreaterEqual(button[1], 0, f'{where}: {selector} above the window')
        self.assertLessEqual(button[3], height, f'{where}: {selector} below the window')
        for notice in notices:
            apart = notice[2] <= button[0] or button[2] <= notice[0] or notice[3] <= button[1] or button[3] <= notice[1]
            self.assertTrue(apart, f'{where}: a notice covers {selector}: {notice} over {button}')

    def open_page(self, ask):
        """The page from a ?station= link that holds the token."""
        link = f'{self.station_url}/?token={TOKEN}'
        self.driver.get(f'{self.console}/?station={urllib.parse.quote(link, safe=":/")}#library')
        if ask:
            dialog = self.visible('#ask-station')
            self.assertIn(f'{self.station_url}/', dialog.text)
            self.assertNotIn(TOKEN, dialog.text)
            self.assertEqual(self.css('#link-state').get_attribute('data-state'), 'closed')
            self.click('#ask-station button[name="ask-yes"]')
        self.visible('#link-state[data-state="open"]')
        self.__class__.seen = True
        self.assertFalse(self.css('#ask-station').is_displayed())
        self.wait(lambda d: 'mode: local' in self.css('#mode-badge').text, 'mode local')
        self.assert_no_token('after connecting')

    # At each size --------------------------------------------------------------

    def test_1_desktop(self):
        self.daily('desktop')

    def test_2_phone(self):
        self.daily('phone')

    def daily(self, name):
        try:
            self.size(name)
            self.open_page(ask=not self.seen)
            if name == 'phone':
                self.assertTrue(self.css('#menu-button').is_displayed())
                self.assertFalse(self.css('#views-nav').is_displayed())
            else:
                self.assertFalse(self.css('#menu-button').is_displayed())
                self.assertTrue(self.css('#views-nav').is_displayed())
            self.library(name)
            self.editor_checks(name)
            self.plans(name)
            self.run_and_report(name)
            self.go('station')
            self.visible('#templates details')
            self.assert_fits(f'{name} station')
            self.axe(f'{name} station')
            self.go('lab')
            self.visible('#lab-link[data-state="ok"]')
            self.assert_fits(f'{name} lab')
            self.axe(f'{name} lab')
            self.assert_no_token(f'{name} at the end')
        except BaseException:
            self.shot(f'failure-{name}')
            print('notices:', [n.text for n in self.all('.notice')], file=sys.stderr)
            print('host:', ''.join(self.host.lines[-30:]), file=sys.stderr)
            raise

    def library(self, name):
        self.visible('#tc-tree [role="tree"]')
        items = self.all('#tc-tree [role="treeitem"]')
        if name == 'desktop':
            # Collapsed below the first level: the folders and the top-level case.
            self.assertEqual([item.get_attribute('aria-level') for item in items], ['1'] * (len(FOLDERS) + 1))
            self.assertEqual([item.get_attribute('aria-expanded') for item in items[:len(FOLDERS)]], ['false'] * len(FOLDERS))
        # One stop for Tab in the whole tree.
        self.assertEqual(len([i for i in items if i.get_attribute('tabindex') == '0']), 1)
        self.text_is('#tc-showing', rf'^showing 1–200 of {self.total}$')
        self.click('#library button[name="tc-next"]')
        self.text_is('#tc-showing', rf'^showing 201–{self.total} of {self.total}$')
        self.click('#library button[name="tc-prev"]')
        self.text_is('#tc-showing', rf'^showing 1–200 of {self.total}$')

        # The keys of a tree: right opens, down enters, left goes back up.
        first = self.css('#tc-tree [role="treeitem"][tabindex="0"]')
        key = first.get_attribute('data-key')
        self.js('arguments[0].focus()', first)
        if first.get_attribute('aria-expanded') == 'true':
            self.driver.switch_to.active_element.send_keys(Keys.ARROW_LEFT)
            self.wait(lambda d: self.css(f'#tc-tree [data-key="{key}"]').get_attribute('aria-expanded') == 'false')
        self.driver.switch_to.active_element.send_keys(Keys.ARROW_RIGHT)
        self.wait(lambda d: self.css(f'#tc-tree [data-key="{key}"]').get_attribute('aria-expanded') == 'true', 'opened')
        children = self.all(f'#tc-tree [data-key="{key}"] > [role="group"] > [role="treeitem"]')
        self.assertTrue(children)
        self.assertEqual({child.get_attribute('aria-level') for child in children}, {'2'})
        self.driver.switch_to.active_element.send_keys(Keys.ARROW_DOWN)
        self.wait(lambda d: self.driver.switch_to.active_element.get_attribute('aria-level') == '2', 'into the folder')
        child = self.driver.switch_to.active_element.get_attribute('data-key')
        if self.driver.switch_to.active_element.get_attribute('aria-expanded') == 'true':
            # Left closes an open folder before it goes up.
            self.driver.switch_to.active_element.send_keys(Keys.ARROW_LEFT)
            self.wait(lambda d: self.css(f'#tc-tree [data-key="{child}"]').get_attribute('aria-expanded') == 'false')
            self.assertEqual(self.driver.switch_to.active_element.get_attribute('data-key'), child)
        self.driver.switch_to.active_element.send_keys(Keys.ARROW_LEFT)
        self.wait(lambda d: self.driver.switch_to.active_element.get_attribute('data-key') == key,
                  f'back from {child} to {key}')
        # Tab leaves the tree instead of visiting every row.
        self.driver.switch_to.active_element.send_keys(Keys.TAB)
        self.assertNotEqual(self.driver.switch_to.active_element.get_attribute('role'), 'treeitem')
        if name == 'desktop':
            # A reload keeps the open folders, not the token: it is asked for again.
            self.driver.refresh()
            self.visible('#link-state[data-state="reconnecting"]')
            self.assertEqual(self.css('#station-token').get_attribute('value'), '')
            self.assert_no_token('after a reload')
            self.open_page(ask=False)
            self.wait(lambda d: self.all(f'#tc-tree [data-key="{key}"][aria-expanded="true"]'), 'still open after a reload')

        # Search across title, path and id.
        self.type('#tc-search', f'#{self.long_id}')
        self.text_is('#tc-showing', r'^showing 1 of 1 matching$')
        leaf = self.visible(f'#tc-tree .leaf[data-tcid="{self.long_id}"]')
        self.assertIn(LONG_TITLE, leaf.get_attribute('title'))
        self.type('#tc-search', 'area-2/group-4')
        expected = len([i for i in range(TESTCASES) if i % 4 == 2 and i % 6 == 4])
        self.text_is('#tc-showing', rf'^showing {expected} of {expected} matching$')
        self.assertEqual(len(self.all('#tc-tree .leaf')), expected)
        self.type('#tc-search', 'case 017')
        self.text_is('#tc-showing', r'^showing 1 of 1 matching$')
        self.type('#tc-search', 'no such words')
        self.text_is('#tc-tree', r'Nothing matches')
        self.type('#tc-search', f'#{self.long_id}')
        self.click(f'#tc-tree .leaf[data-tcid="{self.long_id}"]')
        self.text_is('#tc-editor h2', rf'Test case #{self.long_id}')
        # The full title shows when the row has the focus.
        self.js('arguments[0].focus()', self.css(f'#tc-tree .leaf[data-tcid="{self.long_id}"]'))
        self.assertEqual(self.js('return getComputedStyle(document.activeElement.querySelector(".leaf-title")).whiteSpace'),
                         'normal')
        self.assert_fits(f'{name} library')
        self.axe(f'{name} library')
        self.assert_focus_visible(f'{name} library')
        self.js('window.scrollTo(0, 0)')
        self.shot(f'library-{name}')

    def editor_checks(self, name):
        self.click('#library button[name="new-tc"]')
        self.text_is('#tc-editor h2', 'New test case')
        self.type('#tc-editor [name="title"]', f'Checked on the {name}')
        self.type('#tc-editor [name="path"]', 'checks')
        self.type('#tc-editor [name="module"]', 'Powr')
        self.type('#tc-editor [name="group"]', 'Supply')
        self.type('#tc-editor [name="data"]', '[{"INDEX": 0, "VALUE": 12}]')
        broken = '(function (local, global) {\n    return local.Voltage === ;\n})'
        self.type('#tc-editor [name="script"]', broken)
        self.click('#tc-editor button[name="save"]')
        self.visible('#tc-editor [name="module"][aria-invalid="true"]')
        self.assertIn('Powr', self.css('#module-error').text)
        self.assertEqual(self.css('#tc-editor [name="module"]').get_attribute('aria-describedby'), 'module-error')
        if self.can_check_script:
            self.visible('#tc-editor [name="script"][aria-invalid="true"]')
            self.assertRegex(self.css('#script-error').text, r'^Line 2: ')
        self.assertEqual(self.css('#tc-editor button[name="save"]').text, 'Save anyway')
        self.assertIn('New test case', self.css('#tc-editor h2').text)
        # Save stays in reach at the bottom of the window.
        self.js("document.getElementById('tc-editor').scrollIntoView({block: 'start'})")
        self.assert_apart('#tc-editor button[name="save"]', f'{name} test case editor')

        # Corrected, the errors go and it saves at the first press.
        self.type('#tc-editor [name="module"]', 'Power')
        self.type('#tc-editor [name="data"]', '[{"INDEX": 7, "VALUE": 12}]')
        self.type('#tc-editor [name="script"]', '(function (local, global) { return local.Voltage === 12; })')
        self.click('#tc-editor button[name="save"]')
        self.visible('#tc-editor [name="data"][aria-invalid="true"]')
        self.assertIn('7', self.css('#data-error').text)
        self.assertFalse(self.all('#tc-editor [name="module"][aria-invalid="true"]'))
        self.assertFalse(self.all('#tc-editor [name="script"][aria-invalid="true"]'))
        self.type('#tc-editor [name="data"]', '[{"INDEX": 0, "VALUE": 12}]')
        self.click('#tc-editor button[name="save"]')
        self.text_is('#tc-editor h2', r'Test case #\d+')
        self.assertFalse(self.all('#tc-editor [aria-invalid="true"]'))
        self.total += 1
        self.__class__.total = self.total

    def plans(self, name):
        self.go('plans')
        # Every plan, no tag needed.
        self.text_is('#plan-showing', rf'^showing 1–50 of {self.plan_count} plans$')
        self.click('#plans button[name="plans-next"]')
        self.text_is('#plan-showing', rf'^showing 51–{self.plan_count} of {self.plan_count} plans$')
        self.type('#plan-search', 'hold')
        self.text_is('#plan-showing', r'^showing 1 of 1 plans$')
        self.type('#plan-search', f'#{self.smoke_plan}')
        self.text_is('#plan-showing', r'^showing 1 of 1 plans$')
        self.type('#plan-search', '')
        # The tag filter is still there.
        self.type('#plan-tag-filter', 'rf')
        self.click('#plans button[name="list-plans"]')
        self.text_is('#plan-showing', rf'^showing {PLAN_TAGS["rf"]} of {PLAN_TAGS["rf"]} tagged “rf”$')
        self.type('#plan-tag-filter', '')
        self.click('#plans button[name="list-plans"]')
        self.text_is('#plan-showing', rf'of {self.plan_count} plans$')

        self.type('#plan-search', f'#{self.smoke_plan}')
        self.click(f'#plan-list .leaf[data-planid="{self.smoke_plan}"]')
        self.text_is('#plan-editor h2', rf'Plan #{self.smoke_plan}')
        self.wait(lambda d: len(self.all('#plan-cases li[data-tcid]')) == 2, 'the plan holds two test cases')
        self.text_is('#pick-showing', rf'^showing 1–50 of {self.total}$')
        self.click('#plan-editor button[name="pick-next"]')
        self.text_is('#pick-showing', rf'^showing 51–100 of {self.total}$')
        self.type('#pick-search', 'area-1 case')
        expected = len([i for i in range(TESTCASES) if i % 4 == 1 and i != 7])
        self.text_is('#pick-showing', rf'^showing 1–50 of {expected} matching$')
        self.type('#pick-search', '')
        if self.can_check_script:
            # The job-level script is compiled before the plan is saved.
            self.type('#plan-editor [name="job-script"]', '(function (local, global) {\n    return global.;\n})')
            self.click('#plan-editor button[name="save"]')
            self.visible('#plan-editor [name="job-script"][aria-invalid="true"]')
            self.assertRegex(self.css('#job-script-error').text, r'^Line 2: ')
            self.assertEqual(self.css('#plan-editor button[name="save"]').text, 'Save anyway')
            # Emptied by hand, as a person would.
            self.css('#plan-editor [name="job-script"]').send_keys(Keys.CONTROL, 'a')
            self.css('#plan-editor [name="job-script"]').send_keys(Keys.DELETE)
            self.assertEqual(self.css('#plan-editor [name="job-script"]').get_attribute('value'), '')
            self.assertFalse(self.all('#plan-editor [aria-invalid="true"]'))
        self.assert_fits(f'{name} plans')
        self.axe(f'{name} plans')
        self.js('window.scrollTo(0, 0)')
        self.shot(f'plan-{name}')

        # A message that says what to do, and no notice over Save.
        self.type('#open-planid', '99999')
        self.click('#plans button[name="open-plan"]')
        notice = self.visible('.notice.error[data-cmd="plan_info"]')
        self.assertIn('This station has no plan with that id.', notice.text)
        self.assertIn('Check the id', notice.text)
        self.assertNotIn('empty error text', notice.text)
        self.js("document.getElementById('plan-editor').scrollIntoView({block: 'start'})")
        self.assert_apart('#plan-editor button[name="save"]', f'{name} plan editor with a notice')
        self.dismiss_notices()

    def run_and_report(self, name):
        self.click('#plan-editor button[name="run-plan"]')
        self.wait(lambda d: Select(self.css('#run select[name="plan"]')).first_selected_option.get_attribute('value')
                  == str(self.smoke_plan), 'plan chosen')
        self.text_is('#run-plan-count', rf'^{self.plan_count} plans on this station$')
        self.type('#run [name="device"]', 'devices/bench-01')
        previous = re.search(r'Job (\d+)', self.css('#run-state').text)
        self.click('#run button[name="start"]')
        job = self.wait(lambda d: (lambda m: m if m and (not previous or m.group(1) != previous.group(1)) else False)(
            re.search(r'Job (\d+) finished', self.css('#run-state').text)), 'job finished').group(1)
        self.assertEqual([row.get_attribute('data-verdict') for row in self.all('#run-verdicts tr')], ['pass', 'pass'])
        self.assertTrue(self.css('#run button[name="cancel"]').get_attribute('disabled') is not None)
        self.assert_fits(f'{name} run')
        self.axe(f'{name} run')
        self.js('window.scrollTo(0, 0)')
        self.shot(f'run-{name}')
        self.click('#run button[name="open-report"]')
        self.visible(f'#job-detail[data-jobid="{job}"] #detail-rows')
        self.wait(lambda d: not self.all('#detail-rows td.history .muted'), 'histories read')
        # Wide tables scroll inside their panel, not the page.
        self.assert_fits(f'{name} report')
        self.axe(f'{name} report')
        self.js("document.getElementById('job-detail').scrollIntoView({block: 'start'})")
        self.shot(f'report-{name}')

    # The host goes away under a running job ------------------------------------

    def test_3_recovery(self):
        try:
            self.recovery()
        except BaseException:
            self.shot('failure-recovery')
            print('notices:', [n.text for n in self.all('.notice')], file=sys.stderr)
            print('host:', ''.join(self.host.lines[-30:]), file=sys.stderr)
            raise

    def recovery(self):
        self.size('desktop')
        self.open_page(ask=not self.seen)
        self.go('run')
        self.wait(lambda d: str(self.hold_plan) in [o.get_attribute('value') for o in Select(self.css('#run select[name="plan"]')).options],
                  f'the plan offered: {[o.text for o in Select(self.css("#run select[name=plan]")).options][:5]}')
        Select(self.css('#run select[name="plan"]')).select_by_value(str(self.hold_plan))
        self.type('#run [name="device"]', 'devices/bench-02')
        self.click('#run button[name="start"]')
        job = self.text_is('#run-state', r'Job (\d+) running').group(1)
        self.wait(lambda d: self.css('#run button[name="cancel"]').is_enabled(), 'Cancel enabled while it runs')

        # The host dies: nothing says the job runs, nothing offers to cancel it.
        host = self.__class__.host
        host.process.send_signal(signal.SIGKILL)
        host.process.wait()
        self.visible('#link-state[data-state="reconnecting"]')
        self.text_is('#run-state', rf'Job {job}: the connection to the station is lost')
        for size in ('phone', 'desktop'):
            self.size(size)
            self.assertIsNotNone(self.css('#run button[name="cancel"]').get_attribute('disabled'))
            self.assertFalse(self.all('#run-verdicts tr[data-verdict="running"]'))
            self.assertTrue(self.css('#link-state').is_displayed())
            self.assert_fits(f'{size} run, station lost')
            self.axe(f'{size} run, station lost')
            self.js('window.scrollTo(0, 0)')
            self.shot(f'run-lost-{size}')
        lost = [n.text for n in self.all('.notice.error')]
        self.assertEqual(len([text for text in lost if 'Lost the connection' in text]), 1, lost)

        # Back on the same port: the page reconnects by itself. The host
        # starts in mode "remote"; switched back to "local", the page reads
        # the job's record: the host stopped during it.
        self.__class__.host = self.start_host(self.port)
        self.__class__.host.wait_for(r'Listening on ws://')
        self.visible('#link-state[data-state="open"]')
        self.client({'CMD': 'get_state', 'SEQ': 1})
        self.go('station')
        self.click('button[name="mode-local"]')
        self.wait(lambda d: 'mode: local' in self.css('#mode-badge').text, 'mode local')
        self.go('run')
        self.text_is('#run-state', rf'Job {job} finished')
        banner = self.visible('#run-banner')
        self.assertEqual(banner.get_attribute('data-kind'), 'error')
        self.assertIn('Host stopped during the job', banner.text)
        self.assertIsNotNone(self.css('#run button[name="cancel"]').get_attribute('disabled'))
        self.assertFalse(self.all('#run-verdicts tr[data-verdict="running"]'))
        self.assert_no_token('after the reconnect')


if __name__ == '__main__':
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument('--bin', required=True)
    parser.add_argument('--source', required=True)
    parser.add_argument('--out', required=True)
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)

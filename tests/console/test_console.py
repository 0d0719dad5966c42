#!/usr/bin/python3
"""The web console end to end in headless Chromium: against a real host (local
mode), the controller emulator and a static server on port 8080, it creates two
test cases and a plan through the page, runs the plan, follows the progress to
the end, opens the report and checks the JUnit file it downloads. Screenshots
of every view land in OUT/screenshots/.

Usage: test_console.py --bin BUILD/bin --source SOURCE_DIR --out OUT_DIR
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
import threading
import time
import unittest
import urllib.request
import xml.etree.ElementTree as ET

from selenium import webdriver
from selenium.common.exceptions import (ElementClickInterceptedException, NoSuchElementException,
                                        StaleElementReferenceException)
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support import expected_conditions as EC
from selenium.webdriver.support.ui import Select, WebDriverWait

ARGS = None
CONSOLE_PORT = 8080
WAIT_S = 30


def static_server_command(source_dir, bin_dir, work_dir):
    """The one place that says what serves the console's files on port 8080."""
    return [os.path.join(bin_dir, 'autotest-server'), '--port', str(CONSOLE_PORT),
            '--console', os.path.join(source_dir, 'console'),
            '--database', os.path.join(work_dir, 'server.db3')]


class Program:
    """A child process whose stderr is collected, so that its pipe never fills."""

    def __init__(self, command, cwd=None, env=None):
        self.lines = []
        self.changed = threading.Condition()
        self.process = subprocess.Popen(command, cwd=cwd, env=env, stdin=subprocess.DEVNULL,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.process.stderr:
            with self.changed:
                self.lines.append(line)
                self.changed.notify_all()
        with self.changed:
            self.changed.notify_all()

    def wait_for(self, pattern, timeout=WAIT_S):
        expression = re.compile(pattern)
        deadline = time.monotonic() + timeout
        with self.changed:
            while True:
                for line in self.lines:
                    match = expression.search(line)
                    if match:
                        return match
                left = deadline - time.monotonic()
                if left <= 0 or self.process.poll() is not None:
                    raise AssertionError(f'no line matching {pattern!r}; stderr:\n{"".join(self.lines)}')
                self.changed.wait(left)

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()


def wait_for_console(server, timeout=WAIT_S):
    """Waits until the console's page is served on the port while our server runs."""
    deadline = time.monotonic() + timeout
    while True:
        if server.process.poll() is not None:
            raise AssertionError(f'the static server ended; stderr:\n{"".join(server.lines)}')
        try:
            with urllib.request.urlopen(f'http://127.0.0.1:{CONSOLE_PORT}/', timeout=2) as page:
                if b'KIV Auto-Test' in page.read():
                    return
        except OSError:
            pass
        if time.monotonic() > deadline:
            raise AssertionError(f'the console is not served on port {CONSOLE_PORT}')
        time.sleep(0.05)


class ConsoleTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.programs = []
        cls.work = tempfile.mkdtemp(prefix='kiv-console-')
        cls.shots = os.path.join(ARGS.out, 'screenshots')
        cls.downloads = os.path.join(cls.work, 'downloads')
        os.makedirs(cls.shots, exist_ok=True)
        os.makedirs(cls.downloads)
        try:
            cls.start_station()
            cls.start_browser()
        except BaseException:
            cls.tearDownClass()
            raise

    @classmethod
    def start_station(cls):
        examples = os.path.join(ARGS.source, 'examples')
        emulator = Program([os.path.join(ARGS.bin, 'controller-emulator'),
                            '--template', os.path.join(examples, 'device-template.json')])
        cls.programs.append(emulator)
        emulator.wait_for(r'Listening on ws://')

        # A copy of the host makes the temporary directory its application
        # directory: a fresh database, and templates of our own.
        host_dir = os.path.join(cls.work, 'host')
        templates = os.path.join(host_dir, 'Data', 'AutoTestTpl')
        os.makedirs(templates)
        shutil.copy(os.path.join(examples, 'templates', 'smoke.json'), templates)
        with open(os.path.join(examples, 'device-template.json')) as device, \
                open(os.path.join(templates, 'bench-device.json'), 'w') as out:
            json.dump([json.load(device)], out)
        shutil.copy(os.path.join(ARGS.bin, 'autotest-host'), host_dir)
        host = Program([os.path.join(host_dir, 'autotest-host'), '--port', '0'],
                       env=dict(os.environ, KIV_LOG_LEVEL='2'))
        cls.programs.append(host)
        cls.station_url = host.wait_for(r'Listening on (ws://\S+)').group(1)

        server = Program(static_server_command(ARGS.source, ARGS.bin, cls.work))
        cls.programs.append(server)
        wait_for_console(server)

    @classmethod
    def start_browser(cls):
        options = webdriver.ChromeOptions()
        options.binary_location = '/usr/bin/chromium'
        for argument in ('--headless=new', '--no-sandbox', '--disable-dev-shm-usage', '--disable-gpu',
                         '--window-size=1440,960', f'--user-data-dir={cls.work}/profile'):
            options.add_argument(argument)
        cls.driver = webdriver.Chrome(service=Service('/usr/bin/chromedriver'), options=options)
        cls.driver.execute_cdp_cmd('Browser.setDownloadBehavior',
                                   {'behavior': 'allow', 'downloadPath': cls.downloads})

    @classmethod
    def tearDownClass(cls):
        driver = getattr(cls, 'driver', None)
        if driver:
            driver.quit()
        for program in reversed(cls.programs):
            program.stop()
        shutil.rmtree(cls.work, ignore_errors=True)

    # Helpers -----------------------------------------------------------------

    def wait(self, condition, timeout=WAIT_S, message=''):
        return WebDriverWait(self.driver, timeout).until(condition, message)

    def css(self, selector):
        return self.driver.find_element(By.CSS_SELECTOR, selector)

    def visible(self, selector):
        return self.wait(EC.visibility_of_element_located((By.CSS_SELECTOR, selector)), message=selector)

    def click(self, selector, by=By.CSS_SELECTOR):
        # Views re-render as replies arrive, and a passing notice may cover a
        # button for a moment: try again until the click lands.
        def attempt(driver):
            try:
                element = driver.find_element(by, selector)
                if not (element.is_displayed() and element.is_enabled()):
                    return False
                element.click()
                return True
            except (NoSuchElementException, StaleElementReferenceException, ElementClickInterceptedException):
                return False
        self.wait(attempt, message=selector)

    def type(self, selector, text):
        def attempt(driver):
            try:
                element = driver.find_element(By.CSS_SELECTOR, selector)
                if not element.is_displayed():
                    return False
                element.clear()
                element.send_keys(text)
                return element.get_attribute('value') == text
            except (NoSuchElementException, StaleElementReferenceException):
                return False
        self.wait(attempt, message=f'{selector} holds {text!r}')

    def view(self, name):
        self.click(f'.nav[data-view="{name}"]')
        self.visible(f'#{name}')

    def errors(self):
        return [notice.text for notice in self.driver.find_elements(By.CSS_SELECTOR, '.notice.error')]

    def shot(self, name):
        # Passing confirmations would hide part of the view.
        self.driver.execute_script("document.querySelectorAll('.notice.info').forEach((n) => n.remove())")
        self.driver.save_screenshot(os.path.join(self.shots, f'{name}.png'))

    # The whole flow, in the order a person would go --------------------------

    def test_plan_from_library_to_junit(self):
        try:
            self.flow()
        except BaseException:
            # What the person would have seen, for whoever reads the failure.
            self.shot('failure')
            print('notices on the page:', [n.text for n in self.driver.find_elements(By.CSS_SELECTOR, '.notice')],
                  file=sys.stderr)
            raise

    def flow(self):
        driver = self.driver
        driver.get(f'http://127.0.0.1:{CONSOLE_PORT}/#station')
        self.type('#station-url', self.station_url)
        self.click('#connect-button')
        self.visible(f'#link-state[data-state="open"][data-url="{self.station_url}"]')
        # The page first tries the default address, which may not answer here.
        for button in driver.find_elements(By.CSS_SELECTOR, '.notice button'):
            button.click()

        self.click('button[name="mode-local"]')
        self.wait(EC.text_to_be_present_in_element((By.ID, 'mode-badge'), 'mode: local'))
        self.wait(lambda d: len(d.find_elements(By.CSS_SELECTOR, '#templates details')) == 2,
                  message='both templates listed')
        self.shot('station')

        # Two test cases: one filled from a template, one typed in.
        self.view('library')
        self.click('button[name="new-tc"]')
        preset = 'smoke: Supply accepts 12 V / 2 A'
        self.wait(lambda d: preset in [option.text for option in Select(self.css('#tc-editor [name="preset"]')).options],
                  message='templates offered')
        Select(self.css('#tc-editor [name="preset"]')).select_by_visible_text(preset)
        self.assertEqual(self.css('#tc-editor [name="module"]').get_attribute('value'), 'Power')
        self.type('#tc-editor [name="path"]', 'power/supply')
        self.click('#tc-editor button[name="save"]')
        self.wait(EC.text_to_be_present_in_element((By.CSS_SELECTOR, '#tc-editor h2'), 'Test case #'))

        self.click('button[name="new-tc"]')
        self.wait(EC.text_to_be_present_in_element((By.CSS_SELECTOR, '#tc-editor h2'), 'New test case'))
        self.type('#tc-editor [name="title"]', 'Transmit power above 30 dBm')
        self.type('#tc-editor [name="path"]', 'radio/tx')
        self.type('#tc-editor [name="module"]', 'Radio')
        self.type('#tc-editor [name="group"]', 'Tx')
        self.type('#tc-editor [name="data"]', '[{"INDEX": 1, "VALUE": 20}]')
        self.type('#tc-editor [name="script"]', '(function (local, global) { return local.Power > 30; })')
        self.click('#tc-editor button[name="save"]')
        self.wait(lambda d: len(d.find_elements(By.CSS_SELECTOR, '#tc-tree .leaf')) == 2, message='two test cases')
        self.wait(EC.text_to_be_present_in_element((By.CSS_SELECTOR, '#tc-editor h2'), 'Test case #'))
        self.shot('library')

        # A plan holding both, the failing one second.
        self.view('plans')
        self.click('button[name="new-plan"]')
        self.type('#plan-editor [name="name"]', 'Bench smoke')
        self.type('#plan-editor [name="tag"]', 'smoke')
        for title in ('Supply accepts 12 V / 2 A', 'Transmit power above 30 dBm'):
            self.click(f'//div[@id="plan-picker"]/button[contains(., "{title}")]', By.XPATH)
        self.wait(lambda d: len(d.find_elements(By.CSS_SELECTOR, '#plan-cases li[data-tcid]')) == 2)
        names = [item.text for item in driver.find_elements(By.CSS_SELECTOR, '#plan-cases li strong')]
        self.assertEqual(names, ['Supply accepts 12 V / 2 A', 'Transmit power above 30 dBm'])
        # Long enough for the cancel below to find the job still running.
        self.type('#plan-editor [name="delay-0"]', '1500')
        self.click('#plan-editor button[name="save"]')
        self.visible('#plan-list .leaf[data-planid]')
        self.shot('plans')

        # Run it and watch it to the end.
        self.click('#plan-editor button[name="run-plan"]')
        self.wait(lambda d: Select(self.css('#run select[name="plan"]')).first_selected_option.text.startswith('#'),
                  message='plan chosen')
        self.click('#run button[name="start"]')
        self.wait(lambda d: self.css('#run-progress').get_attribute('aria-valuemax') == '2'
                  and self.css('#run-progress').get_attribute('aria-valuenow') == '2', message='progress at 2 / 2')
        self.wait(EC.text_to_be_present_in_element((By.ID, 'run-state'), 'finished'))
        verdicts = [row.get_attribute('data-verdict') for row in
                    driver.find_elements(By.CSS_SELECTOR, '#run-verdicts tr')]
        self.assertEqual(verdicts, ['pass', 'fail'])
        self.shot('run')

        # The report and its JUnit file.
        self.click('#run button[name="open-report"]')
        self.visible('#job-detail #detail-rows')
        verdicts = [row.get_attribute('data-verdict') for row in
                    driver.find_elements(By.CSS_SELECTOR, '#detail-rows tr')]
        self.assertEqual(verdicts, ['pass', 'fail'])
        self.visible('#pass-chart rect')
        job_id = self.css('#job-detail').get_attribute('data-jobid')
        self.click('#job-detail button[name="junit"]')
        self.shot('results')
        path = os.path.join(self.downloads, f'job-{job_id}.junit.xml')
        self.wait(lambda d: os.path.exists(path), message=f'{path} downloaded')
        suite = ET.parse(path).getroot().find('testsuite')
        self.assertEqual((suite.get('tests'), suite.get('failures'), suite.get('errors')), ('2', '1', '0'))
        cases = suite.findall('testcase')
        self.assertEqual([case.get('name') for case in cases],
                         ['Supply accepts 12 V / 2 A', 'Transmit power above 30 dBm'])
        self.assertIsNone(cases[0].find('failure'))
        self.assertIsNotNone(cases[1].find('failure'))
        self.assertEqual(self.errors(), [])

        # A second run, cancelled while the first test case's pause lasts.
        self.view('run')
        self.click('#run button[name="start"]')
        self.wait(EC.text_to_be_present_in_element((By.ID, 'run-state'), 'running'))
        self.click('#run button[name="cancel"]')
        self.wait(EC.text_to_be_present_in_element((By.ID, 'run-state'), 'finished'))
        verdicts = [row.get_attribute('data-verdict') for row in
                    driver.find_elements(By.CSS_SELECTOR, '#run-verdicts tr')]
        self.assertEqual(len(verdicts), 2)
        self.assertNotIn('pass', verdicts)
        self.assertEqual(self.errors(), [])

        # An error the host answers reaches the person.
        self.view('plans')
        self.type('#plans [name="open-planid"]', '999')
        self.click('#plans button[name="open-plan"]')
        self.wait(lambda d: any(text.startswith('plan_info:') for text in self.errors()), message='plan_info error shown')


if __name__ == '__main__':
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument('--bin', required=True)
    parser.add_argument('--source', required=True)
    parser.add_argument('--out', required=True)
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)

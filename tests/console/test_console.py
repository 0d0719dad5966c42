#!/usr/bin/python3
"""The web console end to end in headless Chromium: against a real host (local
mode), the controller emulator and a static server, each on a free port, it creates
test cases and plans through the page, runs them, follows the progress to the
end, opens the reports and checks the JUnit files it downloads against the
host's own records. It also follows a job that waits for its device, one whose
job-level script says false and one that fails as a whole. Screenshots of every
view land in OUT/screenshots/.

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
WAIT_S = 30


def static_server_command(source_dir, bin_dir, work_dir):
    """The one place that says what serves the console's files (on a free port, which it logs)."""
    return [os.path.join(bin_dir, 'autotest-server'), '--port', '0',
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
    """Waits until our server logs its port and serves the console's page there; returns its origin."""
    origin = 'http://127.0.0.1:' + server.wait_for(r'Listening on http://\S+:(\d+)/').group(1)
    deadline = time.monotonic() + timeout
    while True:
        if server.process.poll() is not None:
            raise AssertionError(f'the static server ended; stderr:\n{"".join(server.lines)}')
        try:
            with urllib.request.urlopen(origin + '/', timeout=2) as page:
                if b'KIV Auto-Test' in page.read():
                    return origin
        except OSError:
            pass
        if time.monotonic() > deadline:
            raise AssertionError(f'the console is not served on {origin}')
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
        emulator = Program([os.path.join(ARGS.bin, 'controller-emulator'), '--port', '0',
                            '--template', os.path.join(examples, 'device-template.json')])
        cls.programs.append(emulator)
        controller = emulator.wait_for(r'Listening on (ws://\S+)').group(1)

        # The page's origin is the static server's, which the host must allow.
        server = Program(static_server_command(ARGS.source, ARGS.bin, cls.work))
        cls.programs.append(server)
        cls.console = wait_for_console(server)

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
        host = Program([os.path.join(host_dir, 'autotest-host'), '--port', '0', '--controller', controller,
                        '--allow-origin', cls.console],
                       env=dict(os.environ, KIV_LOG_LEVEL='2'))
        cls.programs.append(host)
        cls.station_url = host.wait_for(r'Listening on (ws://\S+)').group(1)

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
        # An element the page re-renders between finding and reading it is
        # looked for again on the next poll.
        return WebDriverWait(self.driver, timeout, ignored_exceptions=(StaleElementReferenceException,)).until(
            condition, message)

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

    def client(self, *arguments):
        """autotest-client against the station: its replies, one object per line."""
        done = subprocess.run([os.path.join(ARGS.bin, 'autotest-client'), '--url', self.station_url, *arguments],
                              capture_output=True, text=True, timeout=WAIT_S)
        self.assertEqual(done.returncode, 0, done.stderr)
        return [json.loads(line) for line in done.stdout.splitlines() if line.strip()]

    def request(self, cmd, **fields):
        reply = self.client(json.dumps(dict(fields, CMD=cmd, SEQ=1)))[0]
        self.assertEqual(reply.get('result'), 'ok', reply)
        return reply

    def verdicts(self, rows_id):
        return [row.get_attribute('data-verdict') for row in
                self.driver.find_elements(By.CSS_SELECTOR, f'#{rows_id} tr')]

    def run_state(self, pattern, other_than=None):
        """Waits until the run view's state line matches; the job id it names."""
        def matched(driver):
            match = re.search(pattern, self.css('#run-state').text)
            return match if match and match.group(1) != other_than else False
        return self.wait(matched, message=f'run state {pattern!r}').group(1)

    def start_run(self):
        """Starts the chosen plan on the Run view; the id of the job it shows before."""
        previous = re.search(r'Job (\d+)', self.css('#run-state').text)
        self.click('#run button[name="start"]')
        return previous.group(1) if previous else None

    def junit(self, job_id):
        """Downloads the report's JUnit file: the same bytes as autotest-client
        writes from the host's "job_detail" with verdicts. Its <testsuite>."""
        self.click('#job-detail button[name="junit"]')
        path = os.path.join(self.downloads, f'job-{job_id}.junit.xml')
        self.wait(lambda d: os.path.exists(path) and os.path.getsize(path) > 0, message=f'{path} downloaded')
        expected = os.path.join(self.work, f'client-{job_id}.xml')
        self.client('--junit', expected, json.dumps({'CMD': 'job_detail', 'jobid': int(job_id), 'verdicts': True, 'SEQ': 1}))
        with open(path, 'rb') as downloaded, open(expected, 'rb') as written:
            self.assertEqual(downloaded.read().decode(), written.read().decode())
        return ET.parse(path).getroot().find('testsuite')

    def open_report(self, job_id):
        self.click('#run button[name="open-report"]')
        self.visible(f'#job-detail[data-jobid="{job_id}"] #detail-rows')

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
        driver.get(f'{self.console}/#station')
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
        # A pause after the first test case, which the job keeps.
        self.type('#plan-editor [name="delay-0"]', '300')
        self.click('#plan-editor button[name="save"]')
        self.visible('#plan-list .leaf[data-planid]')
        self.shot('plans')

        # Run it and watch it to the end.
        self.click('#plan-editor button[name="run-plan"]')
        self.wait(lambda d: Select(self.css('#run select[name="plan"]')).first_selected_option.text.startswith('#'),
                  message='plan chosen')
        smoke_plan = Select(self.css('#run select[name="plan"]')).first_selected_option.get_attribute('value')
        self.click('#run button[name="start"]')
        self.wait(lambda d: self.css('#run-progress').get_attribute('aria-valuemax') == '2'
                  and self.css('#run-progress').get_attribute('aria-valuenow') == '2', message='progress at 2 / 2')
        first_job = self.run_state(r'Job (\d+) finished')
        self.assertEqual(self.verdicts('run-verdicts'), ['pass', 'fail'])
        self.assertEqual(self.css('#run-banner').get_attribute('data-kind'), 'fail')
        self.assertIn('Job failed: 1 of 2 test cases did not pass', self.css('#run-banner').text)
        # Each case's time, from the host's "ms".
        times = [cell.text for cell in driver.find_elements(By.CSS_SELECTOR, '#run-verdicts tr td:nth-child(5)')]
        self.assertTrue(all(re.fullmatch(r'\d+ ms|\d+\.\d+ s', text) for text in times), times)
        self.shot('run')

        # The report and its JUnit file, the job-level verdict one more case.
        self.open_report(first_job)
        self.assertEqual(self.verdicts('detail-rows'), ['pass', 'fail'])
        self.visible('#pass-chart rect')
        suite = self.junit(first_job)
        self.shot('results')
        self.assertEqual((suite.get('tests'), suite.get('failures'), suite.get('errors')), ('3', '1', '0'))
        cases = suite.findall('testcase')
        self.assertEqual([case.get('name') for case in cases],
                         ['Supply accepts 12 V / 2 A', 'Transmit power above 30 dBm', 'job-level verdict'])
        self.assertEqual([len(case) for case in cases], [0, 1, 0])
        self.assertIsNotNone(cases[1].find('failure'))
        self.assertEqual(self.errors(), [])

        # A job cancelled in its long pause failed as a whole. The case keeps
        # the verdict it had before its pause (it is the error had it not been
        # judged yet, "not run" had the job not reached it).
        hold_plan = self.plan_from_client('Hold the bench', {'case_stratepy': [[{'type': 's_deplay', 'time': 600000}]]})
        self.choose_plan(hold_plan)
        previous = self.start_run()
        self.run_state(r'Job (\d+) running', previous)
        self.click('#run button[name="cancel"]')
        self.run_state(r'Job (\d+) finished', previous)
        self.assertIn(self.verdicts('run-verdicts'), (['pass'], ['error'], ['not run']))
        self.assertEqual(self.css('#run-banner').get_attribute('data-kind'), 'error')
        self.assertIn('Job failed: Cancelled', self.css('#run-banner').text)
        self.assertEqual(self.errors(), [])

        self.waiting_job(hold_plan, smoke_plan)
        self.script_says_false()
        self.failed_as_a_whole()

        # An error the host answers reaches the person.
        self.view('plans')
        self.type('#plans [name="open-planid"]', '999')
        self.click('#plans button[name="open-plan"]')
        self.visible('.notice.error[data-cmd="plan_info"]')
        self.assertIn('no plan with that id', self.css('.notice.error[data-cmd="plan_info"]').text)

    def plan_from_client(self, name, content):
        """A plan of the supply test case alone, made outside the page."""
        plan = self.request('create_plan', projectid=1, name=name, tags=['smoke'], content=json.dumps(content))['planid']
        supply = next(tc['testcaseid'] for tc in self.request('proj_tcs', path='', page=1, size=100)['data']
                      if tc['title'] == 'Supply accepts 12 V / 2 A')
        self.request('sync_plan', planid=plan, tclist=[supply])
        return plan

    def choose_plan(self, planid):
        # The Run view reads the plans anew when it is shown.
        self.view('library')
        self.view('run')
        plan_select = '#run select[name="plan"]'
        self.wait(lambda d: str(planid) in [option.get_attribute('value') for option in Select(self.css(plan_select)).options],
                  message=f'plan {planid} offered')
        Select(self.css(plan_select)).select_by_value(str(planid))

    def waiting_job(self, hold_plan, smoke_plan):
        # A job started elsewhere holds the device for a long pause; the page's
        # job waits for it, then runs once that one is cancelled.
        holder = self.request('execute_job_local', planid=hold_plan, url='devices/bench-01', starter='ci')['jobid']
        self.choose_plan(smoke_plan)
        previous = self.start_run()
        waiting = self.run_state(r'Job (\d+) waiting for device bench-01', previous)
        self.assertEqual(self.verdicts('run-verdicts'), ['pending', 'pending'])
        self.shot('run-waiting')

        self.view('results')
        self.visible(f'#running-jobs tr[data-jobid="{waiting}"] .badge[data-verdict="waiting"]')
        self.visible(f'#running-jobs tr[data-jobid="{holder}"] .badge[data-verdict="running"]')
        self.assertEqual(self.request('CancelJob', jobid=holder)['cancelled'], 1)
        self.view('run')
        self.run_state(r'Job (\d+) finished', previous)
        self.assertEqual(self.verdicts('run-verdicts'), ['pass', 'fail'])

    def script_says_false(self):
        # Every case passes, the job-level script says false: a failed job.
        plan = self.plan_from_client('Script says no', {'execute_script': '(function (local, global) { return false; })',
                                                          'case_stratepy': [[]]})
        self.choose_plan(plan)
        previous = self.start_run()
        job = self.run_state(r'Job (\d+) finished', previous)
        self.assertEqual(self.verdicts('run-verdicts'), ['pass'])
        self.assertEqual(self.css('#run-banner').get_attribute('data-kind'), 'fail')
        self.assertIn('Job failed: the job-level script returned false', self.css('#run-banner').text)
        self.assertIn('bad', self.css('#run-state').get_attribute('class'))
        self.open_report(job)
        bar = self.visible(f'#pass-chart g[data-jobid="{job}"]')
        self.assertEqual(bar.get_attribute('data-kind'), 'fail')
        self.assertEqual(self.verdicts('detail-rows'), ['pass'])

    def failed_as_a_whole(self):
        # A test case names a module the device does not have: the job fails
        # before its first case, in that one.
        self.view('library')
        self.click('button[name="new-tc"]')
        self.wait(EC.text_to_be_present_in_element((By.CSS_SELECTOR, '#tc-editor h2'), 'New test case'))
        title = 'Supply with a misspelled module'
        self.type('#tc-editor [name="title"]', title)
        self.type('#tc-editor [name="path"]', 'power/supply')
        self.type('#tc-editor [name="module"]', 'Powr')
        self.type('#tc-editor [name="group"]', 'Supply')
        self.type('#tc-editor [name="data"]', '[{"INDEX": 0, "VALUE": 12}]')
        # Checked before it is saved: the module is marked, and saving it as
        # it is takes a second, deliberate press.
        self.click('#tc-editor button[name="save"]')
        self.visible('#tc-editor [name="module"][aria-invalid="true"]')
        self.assertIn("'Powr'", self.css('#module-error').text)
        self.assertEqual(self.css('#tc-editor button[name="save"]').text, 'Save anyway')
        self.assertIn('New test case', self.css('#tc-editor h2').text)
        self.click('#tc-editor button[name="save"]')
        heading = self.wait(lambda d: re.search(r'Test case #(\d+)', self.css('#tc-editor h2').text), message='saved')
        reason = (f"Fail to init job info: test case {heading.group(1)} ({title}): "
                  "module 'Powr' is not in the device template")

        self.view('plans')
        self.click('button[name="new-plan"]')
        self.type('#plan-editor [name="name"]', 'Broken module')
        self.type('#plan-editor [name="tag"]', 'smoke')
        for name in ('Supply accepts 12 V / 2 A', title):
            self.click(f'//div[@id="plan-picker"]/button[contains(., "{name}")]', By.XPATH)
        self.wait(lambda d: len(d.find_elements(By.CSS_SELECTOR, '#plan-cases li[data-tcid]')) == 2)
        self.click('#plan-editor button[name="save"]')
        self.click('#plan-editor button[name="run-plan"]')
        self.wait(lambda d: 'Broken module' in Select(self.css('#run select[name="plan"]')).first_selected_option.text,
                  message='plan chosen')
        previous = self.start_run()
        job = self.run_state(r'Job (\d+) finished', previous)
        self.assertEqual(self.verdicts('run-verdicts'), ['not run', 'error'])
        self.assertEqual(self.css('#run-banner').get_attribute('data-kind'), 'error')
        self.assertIn(f'Job failed: {reason}', self.css('#run-banner').text)
        cause = self.css('#run-verdicts tr.cause')
        self.assertIn(reason, cause.text)
        self.assertIn(title, cause.text)

        # The report says the same; the chart and the list count it failed.
        self.open_report(job)
        self.assertEqual(self.verdicts('detail-rows'), ['not run', 'error'])
        self.assertIn(f'Job failed: {reason}', self.css('#job-banner').text)
        self.assertIn(reason, self.css('#detail-rows tr.cause').text)
        counters = {counter.get_attribute('data-verdict'): counter.text
                    for counter in self.driver.find_elements(By.CSS_SELECTOR, '#detail-counters .counter')}
        self.assertEqual((counters['pass'], counters['error'], counters['not run']), ('0 pass', '1 error', '1 not run'))
        bar = self.visible(f'#pass-chart g[data-jobid="{job}"]')
        self.assertEqual(bar.get_attribute('data-kind'), 'error')
        self.assertIn(reason, bar.find_element(By.TAG_NAME, 'title').get_attribute('textContent'))
        self.visible(f'#reports tr[data-jobid="{job}"] .badge[data-verdict="error"]')
        self.driver.execute_script('window.scrollTo(0, 0)')
        self.shot('failed-job')
        suite = self.junit(job)
        self.assertEqual((suite.get('tests'), suite.get('errors'), suite.get('skipped')), ('3', '2', '1'))
        self.assertEqual([case.find('error').get('message') for case in suite.findall('testcase') if case.find('error') is not None],
                         [reason, reason])
        self.assertEqual(self.errors(), [])


if __name__ == '__main__':
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument('--bin', required=True)
    parser.add_argument('--source', required=True)
    parser.add_argument('--out', required=True)
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)

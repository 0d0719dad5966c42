#!/usr/bin/python3
"""The console's Lab view in headless Chromium against an autotest-server of
its own (SQLite in a temporary directory, a free port, a user file). The test
plays the one station itself, posting "station_beat", "job_progress" and
"job_report" over HTTP as a station would. Through the page it enters the
token, queues a job by tags and one for a device, follows the first to its
end and cancels the second; then it opens the report, with each case's
history, and compares two jobs of the plan. Screenshots land in
OUT/screenshots/; the board with a job running is docs/console-lab.png when
--docs is given.

Usage: test_lab.py --bin BUILD/bin --source SOURCE_DIR --out OUT_DIR [--docs]
"""

import argparse
import json
import os
import secrets
import shutil
import sys
import tempfile
import unittest
import urllib.error
import urllib.request

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import Select

sys.dont_write_bytecode = True   # no __pycache__ in the source tree from the import below
import test_console  # noqa: E402
from test_console import Program, wait_for_console  # noqa: E402

ARGS = None
WAIT_S = 30
TOKEN = secrets.token_hex(16)
DEVICES = [('devices/bench-01', ['radio', '5g']), ('devices/bench-02', ['power'])]


class FakeStation:
    """One station as the server sees it: beats that take jobs, and their reports."""

    def __init__(self, api, name):
        self.api = api
        self.name = name
        self.boot = secrets.token_hex(8)
        self.seq = 0
        self.held = {}    # jobid -> the job as handed out
        self.busy = {}    # device url -> jobid

    def beat(self):
        """One beat without waiting; the jobs handed out in its answer."""
        self.seq += 1
        devices = [dict({'url': url, 'tags': tags, 'state': 'busy' if url in self.busy else 'free'},
                        **({'jobid': self.busy[url]} if url in self.busy else {})) for url, tags in DEVICES]
        reply = self.api('station_beat', station=self.name, version='0.1.0', devices=devices, boot=self.boot,
                         seq=self.seq, jobs=sorted(self.held), wait_ms=0)
        handed = reply.get('jobs', [])
        for answer in handed:
            job = answer['job']
            self.held[answer['jobid']] = job
            self.busy[job['url']] = answer['jobid']
        return handed

    def cases(self, jobid):
        return [case['testcaseid'] for case in self.held[jobid]['case_list']]

    @staticmethod
    def entry(tcid, status):
        return {'id': tcid, 'result': status == 'pass', 'remark': '' if status == 'pass' else 'too low',
                'verdict': {'status': status, 'remark': '' if status == 'pass' else 'too low', 'ms': 5}}

    def progress(self, jobid, start, statuses):
        cases = self.cases(jobid)[start:start + len(statuses)]
        self.api('job_progress', jobid=jobid, secret=self.held[jobid]['secret'], **{'from': start},
                 tcs=[self.entry(tcid, status) for tcid, status in zip(cases, statuses)])

    def report(self, jobid, statuses):
        job = self.held[jobid]
        tcs = [self.entry(tcid, status) for tcid, status in zip(self.cases(jobid), statuses)]
        # "result" is the job-level verdict, which has no script here.
        self.api('job_report', jobid=jobid, secret=job['secret'],
                 report={'VALUE': {'result': True, 'remark': '', 'tcs': tcs}})
        del self.held[jobid]
        del self.busy[job['url']]


class LabTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.programs = []
        cls.work = tempfile.mkdtemp(prefix='kiv-console-lab-')
        cls.shots = os.path.join(ARGS.out, 'screenshots')
        os.makedirs(cls.shots, exist_ok=True)
        try:
            users = os.path.join(cls.work, 'users')
            with open(users, 'w') as out:
                out.write(f'alice engineer {TOKEN}\n')
            # A lease longer than the test: the fake station beats only at
            # the test's steps, however slow the machine.
            server = Program([os.path.join(ARGS.bin, 'autotest-server'), '--port', '0',
                              '--console', os.path.join(ARGS.source, 'console'),
                              '--database', os.path.join(cls.work, 'server.db3'),
                              '--users', users, '--station-lease-s', '3600'])
            cls.programs.append(server)
            cls.origin = wait_for_console(server)
            options = webdriver.ChromeOptions()
            options.binary_location = '/usr/bin/chromium'
            for argument in ('--headless=new', '--no-sandbox', '--disable-dev-shm-usage', '--disable-gpu',
                             '--window-size=1440,1150', f'--user-data-dir={cls.work}/profile'):
                options.add_argument(argument)
            cls.driver = webdriver.Chrome(service=Service('/usr/bin/chromedriver'), options=options)
        except BaseException:
            cls.tearDownClass()
            raise

    @classmethod
    def tearDownClass(cls):
        driver = getattr(cls, 'driver', None)
        if driver:
            driver.quit()
        for program in reversed(cls.programs):
            program.stop()
        shutil.rmtree(cls.work, ignore_errors=True)

    # Helpers -----------------------------------------------------------------

    def api(self, cmd, **fields):
        request = urllib.request.Request(f'{self.origin}/api', data=json.dumps(dict(fields, cmd=cmd)).encode(),
                                         headers={'Content-Type': 'application/json',
                                                  'Authorization': f'Bearer {TOKEN}'})
        try:
            with urllib.request.urlopen(request, timeout=WAIT_S) as response:
                reply = json.load(response)
        except urllib.error.HTTPError as error:
            self.fail(f'{cmd}: HTTP {error.code} {error.read()!r}')
        self.assertEqual(reply.get('result'), 'ok', f'{cmd}: {reply}')
        return reply

    # The console test's waits: an element redrawn under the pointer is
    # looked for again until the click or the typing lands.
    wait = test_console.ConsoleTest.wait
    click = test_console.ConsoleTest.click
    type = test_console.ConsoleTest.type

    def find(self, selector):
        return self.wait(lambda d: next((e for e in d.find_elements(By.CSS_SELECTOR, selector) if e.is_displayed()),
                                        False), message=selector)

    def rows(self, box):
        """The job ids of a table's rows in the Lab view, in order."""
        return [int(row.get_attribute('data-jobid'))
                for row in self.driver.find_elements(By.CSS_SELECTOR, f'#{box} tbody tr[data-jobid]')]

    def notices(self):
        return [notice.text for notice in self.driver.find_elements(By.CSS_SELECTOR, '.notice')]

    def shot(self, name):
        self.driver.execute_script("document.querySelectorAll('.notice.info').forEach((n) => n.remove())")
        path = os.path.join(self.shots, f'{name}.png')
        self.driver.save_screenshot(path)
        return path

    def plan(self):
        """A plan of two test cases, tagged "lab"."""
        ids = [self.api('add_tc', testcase={'title': title, 'path': 'lab/radio',
                                            'content': json.dumps({'MODULE_NAME': 'Radio', 'GROUP_NAME': 'Tx'})})['testcaseid']
               for title in ('Carrier locks', 'Transmit power above 30 dBm')]
        plan = self.api('create_plan', projectid=1, name='Radio smoke', tags=['lab'],
                        content=json.dumps({'case_stratepy': [[], []]}))['planid']
        self.api('sync_plan', planid=plan, tclist=ids)
        return plan, ids

    # The flow ------------------------------------------------------------------

    def test_queue_follow_cancel_compare(self):
        try:
            self.flow()
        except BaseException:
            self.shot('lab-failure')
            print('notices on the page:', self.notices(), file=sys.stderr)
            raise

    def flow(self):
        driver = self.driver
        plan, tcs = self.plan()
        station = FakeStation(self.api, 'bench-a')
        self.assertEqual(station.beat(), [])

        # No station to connect to: the Lab reads the server that served the
        # page, which wants the token.
        driver.get(f'{self.origin}/#lab')
        # It also tries its default station, most likely not there (and then
        # tries again by itself): that notice is not the Lab's.
        self.find('#link-state[data-url]:is([data-state="reconnecting"], [data-state="open"])')
        for button in driver.find_elements(By.CSS_SELECTOR, '.notice button'):
            button.click()
        self.wait(lambda d: d.find_element(By.ID, 'lab-link').get_attribute('data-state') == 'error',
                  message='refused without a token')
        self.assertIn('token', self.find('#lab-link').text)
        self.type('#lab input[name="token"]', TOKEN)
        self.click('#lab button[name="use-server"]')
        self.find('#lab-board .station-card[data-station="bench-a"][data-online="true"]')
        self.find('#lab-board tr[data-url="devices/bench-01"][data-state="free"]')
        card = self.find('#lab-board .station-card[data-station="bench-a"]').text
        self.assertIn('version 0.1.0', card)
        self.assertIn('radio', card)

        # A job by tags, through the form; it waits in the queue.
        self.type('#lab input[name="plan-tag"]', 'lab')
        self.click('#lab button[name="list-plans"]')
        self.wait(lambda d: str(plan) in [o.get_attribute('value') for o in Select(d.find_element(
            By.CSS_SELECTOR, '#lab select[name="plan"]')).options], message='plan listed')
        Select(driver.find_element(By.CSS_SELECTOR, '#lab select[name="plan"]')).select_by_value(str(plan))
        self.type('#lab input[name="tags"]', 'radio, 5g')
        self.type('#lab input[name="priority"]', '5')
        self.click('#lab button[name="queue"]')
        self.wait(lambda d: len(self.rows('lab-queue')) == 1, message='one job queued')
        first = self.rows('lab-queue')[0]
        self.assertIn('any device tagged radio, 5g', self.find(f'#lab-queue tr[data-jobid="{first}"]').text)

        # The station takes it with its next beat; the board follows.
        handed = station.beat()
        self.assertEqual([(job['jobid'], job['job']['url']) for job in handed], [(first, 'devices/bench-01')])
        station.beat()
        self.find(f'#lab-running tr[data-jobid="{first}"]')
        self.wait(lambda d: self.rows('lab-queue') == [], message='queue empty')
        self.find(f'#lab-board tr[data-url="devices/bench-01"][data-state="busy"][data-jobid="{first}"]')
        self.assertIn(f'busy with job {first}', self.find('#lab-board tr[data-url="devices/bench-01"]').text)

        # A second job for the busy device waits behind it.
        driver.find_element(By.ID, 'lab-target-device').click()
        self.type('#lab input[name="device"]', 'devices/bench-01')
        self.type('#lab input[name="station"]', 'bench-a')
        self.type('#lab input[name="priority"]', '0')
        self.click('#lab button[name="queue"]')
        self.wait(lambda d: len(self.rows('lab-queue')) == 1, message='second job queued')
        second = self.rows('lab-queue')[0]
        self.assertIn('devices/bench-01 on bench-a', self.find(f'#lab-queue tr[data-jobid="{second}"]').text)

        # Progress: the first case is in.
        station.progress(first, 0, ['pass'])
        bar = self.find(f'#lab-running tr[data-jobid="{first}"][data-finished="1"][data-total="2"] [role="progressbar"]')
        self.assertEqual(bar.get_attribute('aria-valuetext'), '1 of 2')
        self.assertIn('1 / 2', self.find(f'#lab-running tr[data-jobid="{first}"]').text)
        self.driver.execute_script('window.scrollTo(0, 0)')
        board = self.shot('lab')

        # Cancel the queued one: it ends at once.
        self.click(f'#lab-queue tr[data-jobid="{second}"] button[name="cancel"]')
        self.wait(lambda d: self.rows('lab-queue') == [], message='queue empty after the cancel')
        self.find(f'#lab-ended tr[data-jobid="{second}"][data-kind="error"]')
        self.assertIn('Cancelled', self.find(f'#lab-ended tr[data-jobid="{second}"]').text)

        # The first ends: its verdict, the device free again.
        station.report(first, ['pass', 'fail'])
        station.beat()
        self.wait(lambda d: self.rows('lab-running') == [], message='nothing running')
        self.find(f'#lab-ended tr[data-jobid="{first}"][data-kind="fail"]')
        self.find('#lab-board tr[data-url="devices/bench-01"][data-state="free"]')

        # A third job of the plan, passed in full, to compare with.
        # The page lists the jobs it saw leave the board, so it is let see
        # each step.
        third = self.api('queue_job', planid=plan, tags=['radio'])['jobid']
        self.wait(lambda d: self.rows('lab-queue') == [third], message='third job queued')
        self.assertEqual([job['jobid'] for job in station.beat()], [third])
        self.find(f'#lab-running tr[data-jobid="{third}"]')
        station.report(third, ['pass', 'pass'])
        station.beat()
        self.find(f'#lab-ended tr[data-jobid="{third}"][data-kind="pass"]')

        # Its report: verdicts and each case's history, then the compare.
        self.click(f'#lab-ended tr[data-jobid="{third}"] button[name="open-job"]')
        self.find(f'#lab-job-detail[data-jobid="{third}"]')
        self.assertEqual([row.get_attribute('data-verdict') for row in
                          driver.find_elements(By.CSS_SELECTOR, '#lab-detail-rows tr')], ['pass', 'pass'])
        power = f'#lab-detail-rows td.history[data-tcid="{tcs[1]}"]'
        self.wait(lambda d: d.find_element(By.CSS_SELECTOR, power).get_attribute('data-rate'), message='history shown')
        marks = [mark.get_attribute('data-verdict') for mark in driver.find_elements(By.CSS_SELECTOR, f'{power} .hmark')]
        self.assertEqual(marks, ['fail', 'pass'])
        self.assertEqual(driver.find_element(By.CSS_SELECTOR, power).get_attribute('data-rate'), '50%')
        # Whether a case is flaky is the server's word (it weighs the case's
        # own changes against the runs' times); the page shows it as it is.
        flaky = self.api('tc_history', tcid=tcs[1])['flaky']
        self.assertEqual(driver.find_element(By.CSS_SELECTOR, power).get_attribute('data-flaky'), str(flaky).lower())
        self.assertEqual(len(driver.find_elements(By.CSS_SELECTOR, f'{power} .flaky')), 1 if flaky else 0)

        compare = self.find('#lab-job-detail input[name="compare-with"]')
        self.assertEqual(compare.get_attribute('value'), str(first))
        self.click('#lab-job-detail button[name="compare"]')
        self.find(f'#lab-compare[data-before="{first}"][data-after="{third}"]')
        changed = [(int(row.get_attribute('data-tcid')), row.get_attribute('data-before'), row.get_attribute('data-after'))
                   for row in driver.find_elements(By.CSS_SELECTOR, '#lab-compare-rows tr')]
        self.assertEqual(changed, [(tcs[1], 'fail', 'pass')])
        driver.execute_script("document.getElementById('lab-job-detail').scrollIntoView()")
        self.shot('lab-compare')

        # The token stays in the page's memory.
        self.assertNotIn(TOKEN, json.dumps(driver.execute_script('return Object.assign({}, localStorage)')))
        self.assertFalse([text for text in self.notices() if TOKEN in text])
        self.assertEqual([n.text for n in driver.find_elements(By.CSS_SELECTOR, '.notice.error')], [])
        if ARGS.docs:
            shutil.copy(board, os.path.join(ARGS.source, 'docs', 'console-lab.png'))


if __name__ == '__main__':
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument('--bin', required=True)
    parser.add_argument('--source', required=True)
    parser.add_argument('--out', required=True)
    parser.add_argument('--docs', action='store_true', help='copy the board screenshot to docs/console-lab.png')
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)

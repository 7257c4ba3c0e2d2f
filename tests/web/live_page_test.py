#!/usr/bin/python3
"""The live page in a real browser: headless Chromium loads it from a running vorlatt-log that
reads the simulator on a pseudo-terminal, with a token as a non-loopback address needs it.

- the reading shown follows the meter: it is the logged record of the number the page shows, and
  that number keeps moving on;
- the chart gains points and charts the function of the reading shown; the statistics count the
  readings in view, fewer after a drag zoom, all of them again after a double click;
- when the meter falls silent the link says "no data since" and the page shows the last reading
  logged, greyed; it goes live again when frames return;
- after the logger is restarted on the same port the page reconnects by itself and shows the new
  run's readings;
- no script error and no refusal by the page's Content Security Policy on the way.

Screenshots (desktop and a phone's width) go to the --out folder. Every wait polls for a state
and fails only after a generous deadline; nothing is asserted about how long a step takes.

    live_page_test.py --log vorlatt-log --sim vorlatt-sim --out FOLDER

Exit status 0 passed, 1 failed, 77 skipped (no Chromium or no python3-websocket).
"""

import argparse
import json
import os
import secrets
import signal
import socket
import subprocess
import sys
import tempfile
import time
import traceback
import urllib.request

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

DEADLINE = 60  # seconds a state may take to appear before the test fails

READ_PAGE = """(() => {
  const $ = (id) => document.getElementById(id);
  const rows = [...$('stats').tBodies[0].rows].map((r) => r.dataset.key);
  return {no: Number($('display').dataset.no || 0), value: $('value').textContent,
          unit: $('unit').textContent, acdc: $('acdc').textContent, range: $('range').textContent,
          link: $('link').dataset.link || '', linkText: $('link').textContent,
          stale: $('display').classList.contains('stale'), run: document.body.dataset.run || '',
          meter: $('meter').textContent, port: $('port').textContent,
          points: Number($('chart').dataset.points || 0), series: $('chart').dataset.series,
          readings: Number($('chart').dataset.readings || 0),
          chartNo: Number($('chart').dataset.lastNo || 0),
          inView: Number($('stats').dataset.total || 0), statRows: rows,
          min: $('min').textContent, max: $('max').textContent};
})()"""


def log(text):
    print(text, flush=True)


def free_port():
    with socket.socket() as s:
        s.bind(('127.0.0.1', 0))
        return s.getsockname()[1]


def function_of(record):
    return ' '.join(p for p in (record['base_unit'], record['acdc']) if p)


class Records:
    """The records a logger run wrote to its jsonl file, read as it grows."""

    def __init__(self, path):
        self.path = path

    def all(self):
        try:
            with open(self.path, encoding='utf-8') as f:
                lines = f.read().split('\n')
        except FileNotFoundError:
            return []
        return [json.loads(line) for line in lines[:-1] if line]  # the last may be half

    def by_number(self, no):
        for record in self.all():
            if record['no'] == no:
                return record
        return None


class Run:
    """One vorlatt-log with --http, logging to a jsonl file."""

    def __init__(self, program, pty, port, token_file, output):
        self.port = port
        self.token = open(token_file).read().strip()
        self.records = Records(output)
        self.process = subprocess.Popen(
            [program, '--port', pty, '--quiet', '--format', 'jsonl', '--output', output,
             '--mqtt-id', 'bench1', '--http', '127.0.0.1:%d' % port,
             '--http-token-file', token_file],
            stdout=subprocess.DEVNULL, stderr=open(output + '.err', 'w'))
        self.status = wait_for(self.fetch_status, 'the logger to serve /api/status')

    def fetch_status(self):
        if self.process.poll() is not None:
            raise AssertionError('vorlatt-log ended with %s' % self.process.returncode)
        request = urllib.request.Request('http://127.0.0.1:%d/api/status' % self.port,
                                         headers={'Authorization': 'Bearer ' + self.token})
        try:
            with urllib.request.urlopen(request, timeout=5) as answer:
                return json.load(answer)
        except OSError:
            return None

    def stop(self):
        from chromium import end_process
        end_process(self.process, 30)


def wait_for(probe, what, timeout=DEADLINE):
    deadline = time.monotonic() + timeout
    while True:
        value = probe()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError('timed out waiting for ' + what)
        time.sleep(0.1)


def shows(page, record):
    return (record is not None and page['value'] == record['value'] and
            page['unit'] == record['plain_unit'] and page['acdc'] == record['acdc'] and
            page['range'] == record['range'])


def wait_page(browser, predicate, what, timeout=DEADLINE):
    last = {}

    def probe():
        try:
            last['page'] = browser.evaluate(READ_PAGE)
        except RuntimeError:  # the page is still loading
            return None
        return last['page'] if predicate(last['page']) else None
    try:
        return wait_for(probe, what, timeout)
    except AssertionError:
        log('the page last showed: %s' % json.dumps(last.get('page'), ensure_ascii=False))
        raise


def follows(browser, records, rounds, what):
    """The page shows the logged record of the number it shows, and moves on with the meter."""
    seen = 0
    for _ in range(rounds):
        logged = wait_for(lambda: records.all(), 'records in the log file')[-1]['no']

        def matches(page):
            if page['no'] < logged or page['no'] <= seen:
                return False
            # The file is flushed within a second: the page may be ahead of it.
            record = wait_for(lambda: records.by_number(page['no']), 'record %d in the file' % page['no'])
            return shows(page, record)
        page = wait_page(browser, matches, '%s to show a reading at or after record %d' % (what, logged))
        log('  shows record %d: %s %s %s %s' % (page['no'], page['value'], page['unit'],
                                                page['acdc'], page['range']))
        seen = page['no']
    return page


def settled(browser, what):
    """Waits until the chart and its statistics have drawn the reading shown, so that a
    picture shows them at one moment."""
    browser.call('Input.dispatchMouseEvent', type='mouseMoved', x=0, y=0)  # no legend
    return wait_page(browser, lambda p: p['chartNo'] == p['no'] and p['inView'] == p['readings'],
                     what)


def check_extremes(page, shown_record, live, every):
    """MIN and MAX as the page shows them: of the function of the reading shown only, compared
    in the base unit (mV below V), an overload beyond every number. `live`: records the page
    surely had as they came; `every`: all it may have had (it had some from before it opened)."""
    function = function_of(shown_record)
    level = lambda r: float('inf') if r.get('overload') else r.get('base_value')
    mine = lambda records: [r for r in records if function_of(r) == function and level(r) is not None]
    live, every = mine(live), mine(every)
    assert live, 'no reading of %s came while the page was open' % function
    text = lambda r: r['value'] + '\u2009' + r['plain_unit']

    def one(shown, pick, name):
        candidates = [r for r in every if text(r) == shown]
        assert candidates, '%s %r is no reading of %s' % (name, shown, function)
        got = level(candidates[0])
        outer = pick(level(r) for r in every)
        inner = pick(level(r) for r in live)
        assert min(outer, inner) <= got <= max(outer, inner), \
            '%s shows %r, %s; its readings since the page opened reach %s, all of them %s' % (
                name, shown, got, inner, outer)
    one(page['min'], min, 'MIN')
    one(page['max'], max, 'MAX')
    log('  MIN %s, MAX %s of %s' % (page['min'], page['max'], function))


def drag(browser, x1, x2, y):
    browser.call('Input.dispatchMouseEvent', type='mouseMoved', x=x1, y=y)
    browser.call('Input.dispatchMouseEvent', type='mousePressed', x=x1, y=y, button='left',
                 buttons=1, clickCount=1)
    steps = 8
    for i in range(1, steps + 1):
        browser.call('Input.dispatchMouseEvent', type='mouseMoved', x=x1 + (x2 - x1) * i / steps,
                     y=y, button='left', buttons=1)
    browser.call('Input.dispatchMouseEvent', type='mouseReleased', x=x2, y=y, button='left',
                 buttons=0, clickCount=1)


def double_click(browser, x, y):
    for count in (1, 2):
        browser.call('Input.dispatchMouseEvent', type='mousePressed', x=x, y=y, button='left',
                     buttons=1, clickCount=count)
        browser.call('Input.dispatchMouseEvent', type='mouseReleased', x=x, y=y, button='left',
                     buttons=0, clickCount=count)


def test(args, work):
    from chromium import Chromium

    token = secrets.token_hex(16)
    token_file = os.path.join(work, 'token')
    fd = os.open(token_file, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
    os.write(fd, (token + '\n').encode())
    os.close(fd)
    port = free_port()

    # --pause: SIGUSR1 makes the meter fall silent for 15 seconds, well beyond the logger's 3.
    sim = subprocess.Popen([args.sim, '--pause', '1000000,15'], stdout=subprocess.PIPE,
                           stderr=subprocess.DEVNULL)
    runs = []
    try:
        pty = sim.stdout.readline().decode().strip()
        assert pty.startswith('/dev/'), 'the simulator gave no pseudo-terminal: %r' % pty
        log('meter on %s, logger on port %d' % (pty, port))
        runs.append(Run(args.log, pty, port, token_file, os.path.join(work, 'run1.jsonl')))
        first = runs[-1]

        with Chromium(1280, 900) as browser:
            browser.navigate('http://127.0.0.1:%d/?token=%s' % (port, token))

            log('the reading follows the meter')
            page = follows(browser, first.records, 3, 'the page')
            first_shown = page['no']  # the page had the readings up to here, or fewer, at once
            assert page['link'] == 'live', page
            assert page['meter'] == 'bench1' and page['port'] == pty, page
            assert page['run'] == first.status['run'], page
            assert page['series'] == function_of(first.records.by_number(page['no'])), \
                'the chart shows another function than the reading: %s' % page

            log('the chart gains points')
            before = page['readings']
            page = wait_page(browser, lambda p: p['readings'] > before + 20 and p['points'] > 0,
                             'the chart to gain readings')
            log('  %d readings charted, %d in the series %s' % (page['readings'], page['points'],
                                                             page['series']))

            log('the statistics follow the zoom')
            wait_page(browser, lambda p: p['inView'] == p['readings'] and p['statRows'],
                      'the statistics to count every reading before a zoom')
            box = browser.evaluate("(() => { const r = document.querySelector('#chart canvas')"
                                   ".getBoundingClientRect(); return [r.left, r.top, r.width, r.height]; })()")
            left, top, width, height = box
            y = top + height / 2
            drag(browser, left + width * 0.55, left + width * 0.8, y)
            zoomed = wait_page(browser, lambda p: 0 < p['inView'] < p['readings'],
                               'fewer readings in view after a zoom')
            log('  zoomed: %d of %d readings in view' % (zoomed['inView'], zoomed['readings']))
            double_click(browser, left + width / 2, y)
            wait_page(browser, lambda p: p['inView'] == p['readings'],
                      'every reading in view after a double click')

            log('the silent meter is shown as such')
            sim.send_signal(signal.SIGUSR1)
            page = wait_page(browser, lambda p: p['link'] == 'silent' and p['stale'],
                             'the link to say the meter is silent')
            assert page['linkText'].startswith('no data since '), page
            last = first.records.all()[-1]
            page = wait_page(browser, lambda p: p['no'] == last['no'],
                             'the page to show the last record logged, %d' % last['no'])
            assert shows(page, last), (page, last)
            check_extremes(page, last, [r for r in first.records.all() if r['no'] > first_shown],
                           first.records.all())
            log('  "%s", showing record %d' % (page['linkText'], page['no']))
            settled(browser, 'the chart to draw the last reading')
            browser.screenshot(os.path.join(args.out, 'live-page-silent.png'))
            page = wait_page(browser, lambda p: p['link'] == 'live' and p['no'] > last['no'] and not p['stale'],
                             'the link to be live again when frames return')

            log('screenshots')
            follows(browser, first.records, 1, 'the page')
            settled(browser, 'the chart to draw the reading shown')
            shot = os.path.join(args.out, 'live-page.png')
            browser.screenshot(shot, full_page=True)
            log('  ' + shot)
            browser.set_size(390, 844, mobile=True, scale=2)
            settled(browser, 'the chart at a phone\'s width')
            overflow = browser.evaluate('document.documentElement.scrollWidth - window.innerWidth')
            assert overflow <= 0, 'the page is %d px wider than a phone\'s screen' % overflow
            shot = os.path.join(args.out, 'live-page-phone.png')
            browser.screenshot(shot, full_page=True)
            log('  ' + shot)
            browser.set_size(1280, 900)

            log('the page reconnects after the logger is restarted')
            old_run = first.status['run']
            first.stop()
            wait_page(browser, lambda p: p['link'] == 'lost' and p['stale'],
                      'the page to say it has lost the server')
            before = settled(browser, 'the chart to draw the last reading of the first run')
            runs.append(Run(args.log, pty, port, token_file, os.path.join(work, 'run2.jsonl')))
            second = runs[-1]
            assert second.status['run'] != old_run, 'both runs have the start %s' % old_run
            page = wait_page(browser, lambda p: p['run'] == second.status['run'] and p['link'] == 'live',
                             'the page to follow the new run')
            follows(browser, second.records, 2, 'the page after the restart')
            # Every reading of the new run, from its first, and none twice.
            page = settled(browser, 'the chart to draw the new run\'s readings')
            assert page['readings'] == before['readings'] + page['no'], \
                'the page charted %d readings before the restart and %d after, showing record %d' % (
                    before['readings'], page['readings'], page['no'])
            seen_first = [r for r in first.records.all() if first_shown < r['no'] <= before['no']]
            wait_for(lambda: second.records.by_number(page['no']), 'record %d in the file' % page['no'])
            upto = [r for r in second.records.all() if r['no'] <= page['no']]
            check_extremes(page, upto[-1], seen_first + upto, first.records.all() + upto)

            errors = browser.page_errors()
            assert not errors, 'the page had errors: %s' % errors
    finally:
        for run in runs:
            run.stop()
        sim.terminate()
        sim.wait(10)
        for name in ('run1.jsonl.err', 'run2.jsonl.err'):
            path = os.path.join(work, name)
            if os.path.exists(path) and os.path.getsize(path):
                log('%s:\n%s' % (name, open(path).read()[-3000:]))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('--log', required=True, help='vorlatt-log')
    parser.add_argument('--sim', required=True, help='vorlatt-sim')
    parser.add_argument('--out', required=True, help='the folder for the screenshots')
    args = parser.parse_args()
    try:
        import websocket  # noqa: F401
    except ImportError:
        log('SKIP: python3-websocket is not installed')
        return 77
    from chromium import Chromium  # noqa: F401
    if not any(os.path.exists(os.path.join(p, 'chromium')) for p in os.environ.get('PATH', '').split(':')):
        log('SKIP: chromium is not installed')
        return 77
    os.makedirs(args.out, exist_ok=True)
    with tempfile.TemporaryDirectory(prefix='vorlatt-live-page-') as work:
        try:
            test(args, work)
        except Exception:
            traceback.print_exc()
            log('FAIL')
            return 1
    log('PASS')
    return 0


if __name__ == '__main__':
    sys.exit(main())

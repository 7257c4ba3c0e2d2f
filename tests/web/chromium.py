#!/usr/bin/python3
"""Headless Chromium driven over its DevTools protocol (a WebSocket, python3-websocket).

Used by the live page's test and by tools/screenshots.sh. As a program it takes one screenshot:

    chromium.py URL OUT.png [--size 1100x800] [--mobile] [--full-page] [--wait JS_EXPRESSION]
                [--wait-file FILE] [--timeout S]

The picture is taken once the expression of --wait is true in the page and the file of
--wait-file exists (so that a script can open the page early and say when to take it).
"""

import argparse
import base64
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
import urllib.request

import websocket


def end_process(process, seconds):
    """Asks `process` to end, and kills it if it has not within `seconds`."""
    if process.poll() is None:
        process.terminate()
        try:
            process.wait(seconds)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


class Chromium:
    """One headless Chromium with a profile of its own, and one page in it."""

    def __init__(self, width=1280, height=900):
        exe = shutil.which('chromium') or shutil.which('chromium-browser')
        if not exe:
            raise RuntimeError('chromium is not installed (apt-get install chromium)')
        self.profile = tempfile.mkdtemp(prefix='vorlatt-chromium-')
        args = [exe, '--headless', '--remote-debugging-port=0', '--user-data-dir=' + self.profile,
                '--no-first-run', '--no-default-browser-check', '--disable-gpu',
                '--disable-extensions', '--disable-background-networking', '--disable-sync',
                # A container's small /dev/shm would make the renderer crash.
                '--disable-dev-shm-usage',
                '--disable-component-update', '--hide-scrollbars', '--mute-audio',
                # A page in the background would have its timers slowed down.
                '--disable-background-timer-throttling', '--disable-renderer-backgrounding',
                '--window-size=%d,%d' % (width, height), 'about:blank']
        if os.geteuid() == 0:
            args.insert(1, '--no-sandbox')  # Chromium's sandbox refuses to run as root
        self.process = subprocess.Popen(args, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        self.next_id = 0
        self.events = []
        port_file = os.path.join(self.profile, 'DevToolsActivePort')
        deadline = time.monotonic() + 60
        while not os.path.exists(port_file) or os.path.getsize(port_file) == 0:
            if self.process.poll() is not None or time.monotonic() > deadline:
                err = self.process.stderr.read().decode(errors='replace') if self.process.poll() is not None else ''
                self.close()
                raise RuntimeError('chromium did not start: ' + err[-2000:])
            time.sleep(0.1)
        with open(port_file) as f:
            port = int(f.readline())
        with urllib.request.urlopen('http://127.0.0.1:%d/json/list' % port, timeout=30) as answer:
            targets = json.load(answer)
        page = next(t for t in targets if t.get('type') == 'page')
        self.socket = websocket.create_connection(page['webSocketDebuggerUrl'], timeout=60,
                                                  suppress_origin=True)
        self.call('Page.enable')
        self.call('Runtime.enable')
        self.call('Log.enable')

    def close(self):
        if getattr(self, 'socket', None):
            try:
                self.socket.close()
            except Exception:
                pass
            self.socket = None
        end_process(self.process, 10)
        shutil.rmtree(self.profile, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def call(self, method, **params):
        """Sends one command and returns its result; events met meanwhile are kept."""
        self.next_id += 1
        mine = self.next_id
        self.socket.send(json.dumps({'id': mine, 'method': method, 'params': params}))
        while True:
            message = json.loads(self.socket.recv())
            if message.get('id') == mine:
                if 'error' in message:
                    raise RuntimeError('%s: %s' % (method, message['error']))
                return message.get('result', {})
            if 'method' in message:
                self.events.append(message)

    def navigate(self, url):
        self.call('Page.navigate', url=url)

    def evaluate(self, expression):
        """The value of a JavaScript expression in the page (JSON-like values)."""
        result = self.call('Runtime.evaluate', expression=expression, returnByValue=True)
        if 'exceptionDetails' in result:
            raise RuntimeError('%s: %s' % (expression, result['exceptionDetails']))
        return result['result'].get('value')

    def wait_for(self, expression, timeout=60, what=None):
        """Polls until the expression is true in the page; returns its value."""
        deadline = time.monotonic() + timeout
        while True:
            try:
                value = self.evaluate(expression)
            except RuntimeError:
                value = None
            if value:
                return value
            if time.monotonic() > deadline:
                raise AssertionError('timed out waiting for %s' % (what or expression))
            time.sleep(0.1)

    def set_size(self, width, height, mobile=False, scale=1):
        self.call('Emulation.setDeviceMetricsOverride', width=width, height=height,
                  deviceScaleFactor=scale, mobile=mobile)

    def screenshot(self, path, full_page=False):
        params = {'format': 'png'}
        if full_page:
            params['captureBeyondViewport'] = True
            size = self.call('Page.getLayoutMetrics')['cssContentSize']
            params['clip'] = {'x': 0, 'y': 0, 'width': size['width'], 'height': size['height'],
                              'scale': 1}
        data = self.call('Page.captureScreenshot', **params)['data']
        with open(path, 'wb') as f:
            f.write(base64.b64decode(data))

    def page_errors(self):
        """Script errors and security refusals (a Content-Security-Policy breach) so far."""
        self.evaluate('0')  # collects the events that arrived meanwhile
        errors = []
        for event in self.events:
            if event['method'] == 'Runtime.exceptionThrown':
                errors.append(event['params']['exceptionDetails'].get('exception', {}).get(
                    'description', event['params']['exceptionDetails'].get('text')))
            elif event['method'] == 'Log.entryAdded':
                entry = event['params']['entry']
                if entry.get('source') in ('security', 'javascript') or (
                        entry.get('level') == 'error' and 'Content Security Policy' in entry.get('text', '')):
                    errors.append(entry.get('text'))
            elif event['method'] == 'Runtime.consoleAPICalled' and event['params'].get('type') == 'error':
                errors.append(' '.join(str(a.get('value', a.get('description'))) for a in event['params']['args']))
        return errors


def main():
    parser = argparse.ArgumentParser(description='Takes a screenshot of a page with headless Chromium.')
    parser.add_argument('url')
    parser.add_argument('out')
    parser.add_argument('--size', default='1100x800')
    parser.add_argument('--mobile', action='store_true', help='as a phone shows it (touch, viewport)')
    parser.add_argument('--full-page', action='store_true', help='the whole page, not only the screen')
    parser.add_argument('--wait', help='a JavaScript expression to wait for before the picture')
    parser.add_argument('--wait-file', help='a file to wait for before the picture')
    parser.add_argument('--timeout', type=float, default=60, help='for each wait, in seconds')
    args = parser.parse_args()
    width, height = (int(n) for n in args.size.split('x'))
    with Chromium(width, height) as browser:
        browser.set_size(width, height, mobile=args.mobile)
        browser.navigate(args.url)
        if args.wait_file:
            deadline = time.monotonic() + args.timeout
            while not os.path.exists(args.wait_file):
                if time.monotonic() > deadline:
                    raise SystemExit('timed out waiting for ' + args.wait_file)
                time.sleep(0.1)
        if args.wait:
            browser.wait_for(args.wait, args.timeout)
        browser.screenshot(args.out, full_page=args.full_page)
    print(args.out)


if __name__ == '__main__':
    sys.exit(main())

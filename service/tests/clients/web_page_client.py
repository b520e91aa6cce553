#!/usr/bin/python3
"""qm4720d's web page in a real browser (headless Chromium): the simulators' values appear on it,
the trend of a clicked register is drawn by Chart.js with points from the history, a killed
simulator turns its meters stale and then its line lost while the other line stays live, and a
Chart.js that is not installed is said on the page.

    web_page_client.py --sim QM4720SIM --service QM4720D --module MODULE --chromium CHROMIUM
                       --screenshot PAGE.png

The lines and meters are those of qm4720d_lines.py, with [history] and [http] added. Screenshots
for a person to look at: PAGE.png (values and a trend), and PAGE-line-lost.png beside it.
"""
import json
import os
import signal
import time
import urllib.error
import urllib.request

from browser_session import BrowserSession
from qm4720d_lines import ServiceWithLines, service_arguments
from server_under_test import Checks, free_port, wait_for_port

EXTRA_CONFIG = """
[history]
database = "{{dir}}/history.db"

[http]
port = {http_port}
chart_js = "{chart_js}"
"""

# What the simulators hold (qm4720d_lines.py), as the page is to show it.
SHOWN = [("a", 1, "PV", "21.5"), ("a", 1, "OP", "-3.25"), ("a", 1, "SP", "100.25"),
         ("a", 12, "PV", "7.125"), ("b", 3, "PV", "-12.75"), ("b", 3, "SP", "60")]

CHART_JS = "/usr/share/javascript/chart.js/chart.min.js"


def register_row(line, station, register):
    return (f"document.querySelector('tr.register[data-line=\"{line}\"]"
            f"[data-station=\"{station}\"][data-register=\"{register}\"]')")


def meter_state(line, station):
    row = f"document.querySelector('tr.meter[data-line=\"{line}\"][data-station=\"{station}\"]')"
    return f"({row} || {{dataset: {{}}}}).dataset.state"


def cell(line, station, register, name):
    return f"({register_row(line, station, register)}?.querySelector('.{name}')?.textContent)"


def check_live_page(checks, browser):
    for line, station, register, text in SHOWN:
        got = browser.wait_for(f"{cell(line, station, register, 'value')} === {json.dumps(text)}",
                               10)
        checks.check(f"the page shows {register} of station {station} on line {line} as {text}",
                     got, browser.evaluate(cell(line, station, register, "value")))
    for line, station, state in [("a", 1, "answering"), ("a", 12, "answering"),
                                 ("b", 3, "answering"), ("b", 7, "not polled"),
                                 ("b", 9, "silent")]:
        got = browser.wait_for(f"{meter_state(line, station)} === '{state}'", 10)
        checks.check(f"station {station} of line {line} is marked {state}", got,
                     browser.evaluate(meter_state(line, station)))
    # The silent meter's last error: the driver's message and its English gloss.
    error = browser.evaluate(cell("b", 9, "PV", "error"))
    checks.check("the silent meter's PV shows the driver's error with its gloss",
                 error and " — " in error, error)


def check_trend(checks, browser):
    browser.evaluate(f"{register_row('a', 1, 'PV')}.click()")
    points = browser.wait_for("window.qm4720.chartPoints() >= 15 && window.qm4720.chartPoints()",
                              20)
    checks.check("clicking PV of station 1 draws its trend with points from the history",
                 points, browser.last_value)
    drawn = browser.evaluate(
        "(() => { const c = Chart.getChart(document.getElementById('chart'));"
        " const d = c ? c.data.datasets[0].data : [];"
        " return {n: d.length, ys: [...new Set(d.filter(p => p.y !== null).map(p => p.y))],"
        " increasing: d.every((p, i) => i === 0 || p.x > d[i - 1].x)}; })()")
    # A failed read (a reply timeout on a busy machine) is a gap, drawn as null. More points than
    # the first read found: the refreshes have added theirs, none twice.
    checks.check("Chart.js holds the points, every good one 21.5, in time order, none twice",
                 drawn["n"] >= 15 and drawn["ys"] == [21.5] and drawn["increasing"], drawn)
    checks.check("the trend's title names the register",
                 "station 1 · PV" in browser.evaluate(
                     "document.getElementById('trend-title').textContent"),
                 browser.evaluate("document.getElementById('trend-title').textContent"))


def check_line_lost(checks, browser, lines):
    lines.kill_sim("a")
    for station in (1, 12):
        got = browser.wait_for(f"['stale', 'failed', 'line lost'].includes("
                               f"{meter_state('a', station)})", 5)
        checks.check(f"simulator a killed: station {station} turns stale within 5 s", got,
                     browser.evaluate(meter_state("a", station)))
    checks.check("a stale value is no longer shown as a value",
                 browser.wait_for(f"{cell('a', 1, 'PV', 'value')} === '—'", 5),
                 browser.evaluate(cell("a", 1, "PV", "value")))
    got = browser.wait_for("document.querySelector('section.line[data-line=\"a\"]').dataset.state"
                           f" === 'lost' && {meter_state('a', 1)} === 'line lost'"
                           f" && {meter_state('a', 12)} === 'line lost'", 15)
    checks.check("line a and its meters are then marked line lost", got,
                 [browser.evaluate(meter_state("a", s)) for s in (1, 12)])
    # Its link now names no device: the page says so beside the line's state, as the log does.
    reason = "document.querySelector('section.line[data-line=\"a\"] h2 .reason').textContent"
    checks.check("the page says why line a cannot be opened again",
                 browser.wait_for(f"{reason}.includes('no such device')", 10),
                 browser.evaluate(reason))
    checks.check("line b is still answering",
                 browser.evaluate(f"{meter_state('b', 3)} === 'answering'"),
                 browser.evaluate(meter_state("b", 3)))


def chart_js_status(url):
    try:
        with urllib.request.urlopen(url + "chart.js", timeout=5) as r:
            return r.status
    except urllib.error.HTTPError as e:
        return e.code
    except OSError:
        return None


def check_chart_js_missing(checks, browser, lines, url):
    """The configuration reloaded (SIGHUP) with a Chart.js path that does not exist."""
    with open(lines.config) as f:
        text = f.read()
    with open(lines.config, "w") as f:
        f.write(text.replace(CHART_JS, "/nonexistent/chart.min.js"))
    lines.service.send_signal(signal.SIGHUP)
    # The old server answers until the reload replaces it: wait for the new one's answer.
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline and chart_js_status(url) != 404:
        time.sleep(0.1)
    # The browser keeps /chart.js for an hour, as the service tells it to: not this time.
    browser.call("Network.enable")
    browser.call("Network.setCacheDisabled", cacheDisabled=True)
    browser.navigate(url)
    browser.wait_for(f"{register_row('b', 3, 'PV')} !== null", 10)
    browser.evaluate(f"{register_row('b', 3, 'PV')}.click()")
    note = browser.wait_for("document.getElementById('trend').dataset.state === 'error' &&"
                            " document.getElementById('trend-note').textContent", 10)
    checks.check("without Chart.js the page says where it looked and what to install",
                 note and "Chart.js not found at /nonexistent/chart.min.js" in note
                 and "libjs-chart.js" in note, note)


def main():
    args = service_arguments(__doc__, "--chromium", "--screenshot")
    checks = Checks()
    http_port = free_port()
    lines = ServiceWithLines(args.sim, args.service, args.module, free_port(), free_port(),
                             extra_config=EXTRA_CONFIG.format(http_port=http_port,
                                                              chart_js=CHART_JS))
    url = f"http://127.0.0.1:{http_port}/"
    try:
        if not wait_for_port(http_port, lines.service):
            raise SystemExit("qm4720d did not listen for HTTP")
        with BrowserSession(args.chromium) as browser:
            browser.navigate(url)
            check_live_page(checks, browser)
            check_trend(checks, browser)
            browser.screenshot(args.screenshot)
            checks.check("the screenshot is saved", os.path.getsize(args.screenshot) > 10000,
                         args.screenshot)
            check_line_lost(checks, browser, lines)
            base, ext = os.path.splitext(args.screenshot)
            browser.screenshot(base + "-line-lost" + ext)
            check_chart_js_missing(checks, browser, lines, url)
            checks.check("no script error on the page", not browser.page_errors,
                         browser.page_errors)
    finally:
        status = lines.stop()
    checks.check("qm4720d exits 0 on SIGTERM", status == 0, status)
    print("screenshots: " + args.screenshot)
    return checks.finish()


if __name__ == "__main__":
    raise SystemExit(main())
